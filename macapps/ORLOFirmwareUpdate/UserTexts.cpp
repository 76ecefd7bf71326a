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
                       "The Orlo's device file %1 may not be opened: the udev rule that gives "
                       "access to it is not installed. Install it with: %2")
                .arg(QString::fromStdString(diagnosis.node),
                     QString::fromStdString(UdevRuleInstallCommand()));
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

void InstallTranslations() {
    if (QCoreApplication::instance() == nullptr) return;
    // Lives as long as the process; Qt forgets it when the application goes.
    static QTranslator* const translator = new QTranslator;
    static const bool loaded = translator->load(QLocale(), QStringLiteral("orlofirmwareupdate"),
                                                QStringLiteral("_"), QStringLiteral(":/i18n"));
    if (loaded) QCoreApplication::installTranslator(translator);
}
