// The registry lookup as tests use it: on buses whose registry always answers, so a failed
// lookup fails the test instead of reading as an empty bus.
#pragma once

#include <gtest/gtest.h>

#include "FireWireStack.h"

inline fw::UnitHandle FindFirstUnit(fw::FireWireStack& stack, UInt32 specifierId,
                                    UInt32 softwareVersion) {
    fw::UnitHandle unit;
    EXPECT_EQ(kIOReturnSuccess, stack.FindUnit(specifierId, softwareVersion, unit));
    return unit;
}
