#include "UserTexts.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

QString StatusText(IOReturn status) {
    return QString::asprintf("0x%08X", static_cast<unsigned>(status));
}

QString NoOrloText(const NoOrloDiagnosis& diagnosis) {
    using Cause = NoOrloDiagnosis::Cause;
    switch (diagnosis.cause) {
        case Cause::kNone:
            return {};
        case Cause::kNoController:
            return QCoreApplication::translate("UserTexts",
                                               "This computer has no FireWire controller.");
        case Cause::kRegistry:
            return QCoreApplication::translate("UserTexts",
                                               "The device registry cannot be read (status %1).")
                .arg(StatusText(diagnosis.status));
        case Cause::kNoUnit:
            if (!diagnosis.device.empty()) {
                return QCoreApplication::translate(
                           "UserTexts",
                           "No Orlo %1 is connected: orlo-firmware-update list shows those that "
                           "are.")
                    .arg(QString::fromStdString(diagnosis.device));
            }
            return QCoreApplication::translate(
                "UserTexts",
                "No Orlo is on the FireWire bus: check that it is connected and powered.");
        case Cause::kNoPermission:
            return QCoreApplication::translate(
                       "UserTexts",
                       "The Orlo's device file %1 may not be opened: the udev rule %2, which gives "
                       "access to it, is not in effect. Install the package orlo-firmware-update, "
                       "or, with the rule installed there, run: %3")
                .arg(QString::fromStdString(diagnosis.node), QString::fromLatin1(kUdevRulePath),
                     QString::fromLatin1(kUdevApplyCommand));
        case Cause::kInUse:
            if (diagnosis.holder.empty()) {
                return QCoreApplication::translate("UserTexts",
                                                   "The Orlo is in use by another program.");
            }
            return QCoreApplication::translate("UserTexts",
                                               "The Orlo is in use by another program (%1).")
                .arg(QString::fromStdString(PrintableText(diagnosis.holder)));
        case Cause::kNotAnswering:
            return QCoreApplication::translate(
                       "UserTexts",
                       "The Orlo does not answer (status %1): turn it off and on, and check its "
                       "cable.")
                .arg(StatusText(diagnosis.status));
        case Cause::kNotAnOrlo:
            return QCoreApplication::translate(
                       "UserTexts", "The device on the bus is not an Orlo (product version %1).")
                .arg(diagnosis.productVersion);
    }
    return {};
}

QString OutcomeText(const Brim::PTA::UpdateOutcome& outcome) {
    using Result = Brim::PTA::UpdateOutcome::Result;
    const QString status = StatusText(outcome.status);
    switch (outcome.result) {
        case Result::kSucceeded:
            return QCoreApplication::translate(
                "UserTexts",
                "Programming Complete. Cycle the power of the Orlo for the new firmware to take "
                "effect.");
        case Result::kChanged:
            return QCoreApplication::translate(
                "UserTexts",
                "Programming Failed: the Orlo changed since it was identified (it was unplugged, "
                "or another took its place). Nothing was sent to it.");
        case Result::kInUse:
            return QCoreApplication::translate(
                "UserTexts",
                "Programming Failed: the Orlo is in use by another program. It was not updated.");
        case Result::kFpgaFailed:
            return QCoreApplication::translate(
                       "UserTexts",
                       "Programming Failed: the FPGA image failed (status %1). Keep the Orlo "
                       "connected and powered, and update it again.")
                .arg(status);
        case Result::kMcoreFailed:
            return QCoreApplication::translate(
                       "UserTexts",
                       "Programming Failed: the M-CORE image failed (status %1). Keep the Orlo "
                       "connected and powered, and update it again.")
                .arg(status);
        default:
            return QCoreApplication::translate(
                       "UserTexts",
                       "Programming Failed: the update could not be started (status %1).")
                .arg(status);
    }
}

void InstallTranslations() {
    if (QCoreApplication::instance() == nullptr) return;
    // Lives as long as the process; Qt forgets it when the application goes.
    static QTranslator* const translator = new QTranslator;
    static const bool loaded = translator->load(QLocale(), QStringLiteral("orlofirmwareupdate"),
                                                QStringLiteral("_"), QStringLiteral(":/i18n"));
    if (loaded) QCoreApplication::installTranslator(translator);
}
