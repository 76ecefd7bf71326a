// The windowing toolkit's scalar types, status codes and references, mapped onto Qt Widgets and
// Linux. Only forward declarations of Qt classes appear here, so code that needs nothing but the
// scalar types (the process list) builds without Qt.
#pragma once

#include <cstdint>

class QWidget;
class QMenu;

using SInt16 = std::int16_t;
using UInt16 = std::uint16_t;
using SInt32 = std::int32_t;
using UInt32 = std::uint32_t;

using OSStatus = std::int32_t;  // status of a toolkit call; 0 is success
using OSErr = std::int16_t;     // the older, 16-bit status of the process calls
using OSType = std::uint32_t;   // four-character code, first character in the top byte
using Boolean = bool;

constexpr OSStatus noErr = 0;
constexpr OSStatus paramErr = -50;              // a null or out-of-range argument
constexpr OSErr procNotFound = -600;            // no such process, or the end of the process list
constexpr OSStatus eventNotHandledErr = -9874;  // lets the toolkit's standard handling run
constexpr OSStatus errUnknownControl = -30584;  // the window has no control with that ID

// Four-character codes are written FourCC("orUD") rather than as the multi-character literal
// 'orUD', whose value is implementation-defined and which GCC warns about.
constexpr OSType FourCC(const char (&code)[5]) {
    return (OSType{static_cast<unsigned char>(code[0])} << 24) |
           (OSType{static_cast<unsigned char>(code[1])} << 16) |
           (OSType{static_cast<unsigned char>(code[2])} << 8) |
           OSType{static_cast<unsigned char>(code[3])};
}

// A window, and each control in it, is a QWidget; a menu, a QMenu. None of them is owned by the
// wrappers that hold these references.
using WindowRef = QWidget*;
using ControlRef = QWidget*;
using MenuRef = QMenu*;
using MenuHandle = QMenu*;

// 16 bits per channel: (65535, 0, 0) is full red.
struct RGBColor {
    UInt16 red;
    UInt16 green;
    UInt16 blue;
};

// Handlers receive these only to keep the toolkit's signature; with Qt connections there is no
// event record to hand over, so both are null.
struct OpaqueEventHandlerCallRef;
struct OpaqueEventRef;
using EventHandlerCallRef = OpaqueEventHandlerCallRef*;
using EventRef = OpaqueEventRef*;
using EventHandlerProcPtr = OSStatus (*)(EventHandlerCallRef handlerRef, EventRef event,
                                         void* userData);

constexpr UInt32 kEventControlHit = 1;  // event kind of class 'cntl': the control was clicked
