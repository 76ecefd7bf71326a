// What the recorded sessions hold: the controller identifies the unit, as the window does on a
// tick, then runs an update of both images. The download's pauses cost nothing.
#pragma once

#include "orlofirmwareupdate.h"

struct ControllerSession {
    bool found = false;
    Brim::PTA::UpdateOutcome outcome;  // kNone when the unit was not found
};

inline ControllerSession IdentifyAndUpdate(fw::FireWireStack& stack) {
    SetDownloadPause([](UInt32) {});
    ControllerSession session;
    {
        Brim::PTA::COrloFirmwareUpdate controller(stack);
        session.found = controller.IsFound();
        if (session.found && controller.DoUpdate()) {
            controller.WaitForRun();
            session.outcome = controller.GetUpdateOutcome();
        }
    }
    SetDownloadPause(nullptr);
    return session;
}
