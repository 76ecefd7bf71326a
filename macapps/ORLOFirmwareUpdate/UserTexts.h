// What both front ends say to people and have in common: why no Orlo can be used, how an update
// ended, a status as a report quotes it, and the translations of every text a person reads (context
// "UserTexts" for these, the window's and the command line's own contexts for theirs). The
// diagnostic lines on the standard streams stay in English: they are for bug reports.
#pragma once

#include <QString>

#include "UnitDiagnosis.h"
#include "orlofirmwareupdate.h"

// Why no Orlo can be used, in a sentence a user can act on; empty when nothing is in the way.
QString NoOrloText(const NoOrloDiagnosis& diagnosis);

// A status as it is quoted in a report, e.g. 0xE00002D6.
QString StatusText(IOReturn status);

// How an update ended, in a sentence or two: that it succeeded and the power is to be cycled, or
// what failed and what to do.
QString OutcomeText(const Brim::PTA::UpdateOutcome& outcome);

// Loads the translation for the user's languages (LANGUAGE, then LC_ALL, LC_MESSAGES, LANG) into
// the running application, where there is one; English needs none. Call once, after the
// application object exists.
void InstallTranslations();
