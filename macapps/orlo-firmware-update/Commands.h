// The commands of orlo-firmware-update, the utility's command-line twin: the same controller,
// download engine, progress record and stacks as the window, in-process.
#pragma once

#include <QString>
#include <cstdio>
#include <string>

#include "FireWireStack.h"

namespace cli {

// Exit statuses, as the manual documents them.
enum ExitCode : int {
    kSuccess = 0,
    kUsage = 2,
    kNoOrlo = 3,
    kInUse = 4,         // another program holds the Orlo
    kRefused = 5,       // a downgrade not allowed, or an editing application running
    kFailed = 6,        // the update failed: the Orlo may need the update again
    kNoPermission = 7,  // the Orlo's device file may not be opened
};

struct Options {
    bool json = false;  // one JSON document on standard output
    bool allowDowngrade = false;
    bool force = false;      // update although an editing application runs
    std::string device;      // the Orlo to use: its node, GUID or serial number; empty: the only one
    bool all = false;        // update: every Orlo, one after the other
    bool reinstall = false;  // update: an Orlo that has this program's firmware already, too
};

// Where the commands talk: results on `out` (with --json: exactly one JSON document), messages
// and prompts on `err`, answers read from `in`. `terminal`: `in` and `out` are terminals, so
// progress is redrawn in place and a downgrade may be confirmed at a prompt.
struct Console {
    FILE* out = stdout;
    FILE* err = stderr;
    FILE* in = stdin;
    bool terminal = false;
};

// A failure as the command line reports it: with --json the one document on `out`,
// {"error": {"code", "message"}}; without, a line on `err`. Returns `code`.
int Fail(const Options& options, const Console& console, int code, const QString& message);
// A message beside the results, on `err`: a line, or with --json a JSON line {"message": ...}.
void Say(const Options& options, const Console& console, const QString& message);

// Every update unit found: its node's device file, and the Orlo's GUID, firmware and serial
// number, or why it cannot be identified.
int List(fw::FireWireStack& stack, const Options& options, const Console& console);
// Found or why not; the firmware, serial number and embedded version; what an update would be.
int Info(fw::FireWireStack& stack, const Options& options, const Console& console);
// Programs both images, holding the Orlo, deferring quit signals and blocking suspend meanwhile.
// With several Orlos, only the one that options.device names, or with options.all each in turn.
// An Orlo that has this program's firmware already gets nothing unless options.reinstall.
int Update(fw::FireWireStack& stack, const Options& options, const Console& console);

}  // namespace cli
