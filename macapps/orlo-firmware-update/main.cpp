// orlo-firmware-update: the update utility without a window, for terminals, ssh and scripts.
//
//   orlo-firmware-update [--json] [--simulate] [--verbose] [--record FILE]
//                        [--device NODE|GUID|SERIAL | --all] [--allow-downgrade] [--force]
//                        [--reinstall] list | info | update
//
// Exit statuses and the JSON documents are described in its manual, orlo-firmware-update(1).
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Commands.h"
#include "DemoOrlo.h"
#include "LinuxFireWireStack.h"
#include "ProcessStart.h"
#include "RecordingStack.h"
#include "UserTexts.h"
#include "Version.h"

namespace {

// The diagnostic lines of the controller and the download sequence go to std::cout and
// std::cerr; here they are the --verbose output, on standard error. The command's own output
// goes through stdio, so that standard output holds only it.
class Diagnostics {
  public:
    explicit Diagnostics(bool verbose)
        : _out(std::cout.rdbuf(verbose ? std::cerr.rdbuf() : &_discard)),
          _err(std::cerr.rdbuf(verbose ? std::cerr.rdbuf() : &_discard)) {}
    ~Diagnostics() {
        std::cout.rdbuf(_out);
        std::cerr.rdbuf(_err);
    }

  private:
    struct Discard : std::streambuf {
        int overflow(int c) override { return c; }
    } _discard;
    std::streambuf* _out;
    std::streambuf* _err;
};

// The bytes given for --record, as the command line holds them: a file name need not be text in
// any encoding, and the parser's values are text.
std::optional<std::string> RecordArgument(int argc, char* argv[]) {
    std::optional<std::string> value;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--") break;
        if (argument == "--record" && i + 1 < argc) {
            value = argv[++i];
        } else if (argument.rfind("--record=", 0) == 0) {
            value = std::string(argument.substr(9));
        }
    }
    return value;
}

}  // namespace

int main(int argc, char* argv[]) {
    PrepareProcess();
    QCoreApplication application(argc, argv);
    InstallTranslations();
    QCoreApplication::setApplicationName(QStringLiteral("orlo-firmware-update"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kOrloFirmwareUpdateVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "Cli",
        "Updates the firmware of the Orlo, a FireWire video I/O device.\n\n"
        "Commands:\n"
        "  list    every Orlo found: its device file, GUID, firmware and serial number\n"
        "  info    the Orlo's firmware and serial number, and what an update would be\n"
        "  update  programs the FPGA image and the M-CORE image of this program"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption json(
        QStringLiteral("json"),
        QCoreApplication::translate("Cli",
                                    "One JSON document on standard output; progress "
                                    "as JSON lines on standard error."));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QCoreApplication::translate("Cli", "Use a simulated Orlo: no hardware needed."));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QCoreApplication::translate("Cli",
                                    "Also print the diagnostic lines of each step "
                                    "on standard error."));
    const QCommandLineOption allowDowngrade(
        QStringLiteral("allow-downgrade"),
        QCoreApplication::translate("Cli", "Update although it is a downgrade."));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QCoreApplication::translate("Cli", "Update although an editing application runs."));
    const QCommandLineOption record(
        QStringLiteral("record"),
        QCoreApplication::translate(
            "Cli",
            "Write every call to the FireWire stack to FILE (JSON Lines), for a bug "
            "report."),
        QStringLiteral("FILE"));
    const QCommandLineOption device(
        QStringLiteral("device"),
        QCoreApplication::translate("Cli",
                                    "The Orlo to use when several are connected: its device file, "
                                    "GUID or serial number, as list shows them."),
        QStringLiteral("NODE|GUID|SERIAL"));
    const QCommandLineOption all(
        QStringLiteral("all"),
        QCoreApplication::translate("Cli", "Update every Orlo connected, one after the other."));
    const QCommandLineOption reinstall(
        QStringLiteral("reinstall"),
        QCoreApplication::translate("Cli",
                                    "Update an Orlo that has this program's firmware already."));
    parser.addOptions(
        {json, simulate, verbose, allowDowngrade, force, record, device, all, reinstall});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QCoreApplication::translate("Cli", "list, info or update"));

    const auto usage = [&parser](const QString& problem) {
        std::cerr << problem.toStdString() << "\n\n" << parser.helpText().toStdString();
        return cli::kUsage;
    };
    if (!parser.parse(QCoreApplication::arguments())) return usage(parser.errorText());
    if (parser.isSet(help)) {
        std::cout << parser.helpText().toStdString();
        return cli::kSuccess;
    }
    if (parser.isSet(version)) {
        std::cout << "orlo-firmware-update " << kOrloFirmwareUpdateVersion << "\n";
        return cli::kSuccess;
    }
    const QStringList commands = parser.positionalArguments();
    if (commands.size() != 1) return usage(QCoreApplication::translate("Cli", "Give one command."));
    const QString command = commands.front();
    const auto run = command == QLatin1String("list")     ? cli::List
                     : command == QLatin1String("info")   ? cli::Info
                     : command == QLatin1String("update") ? cli::Update
                                                          : nullptr;
    if (run == nullptr)
        return usage(QCoreApplication::translate("Cli", "Unknown command: %1").arg(command));
    if ((parser.isSet(all) || parser.isSet(reinstall)) && run != cli::Update) {
        return usage(QCoreApplication::translate("Cli", "--all and --reinstall are for update."));
    }
    if (parser.isSet(device) && (run == cli::List || parser.isSet(all))) {
        return usage(QCoreApplication::translate(
            "Cli", "--device is for info and update, and not with --all."));
    }

    const Diagnostics diagnostics(parser.isSet(verbose));
    cli::Options options;
    options.json = parser.isSet(json);
    options.allowDowngrade = parser.isSet(allowDowngrade);
    options.force = parser.isSet(force);
    options.device = parser.value(device).toStdString();
    options.all = parser.isSet(all);
    options.reinstall = parser.isSet(reinstall);
    cli::Console console;
    console.terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);

    std::unique_ptr<fw::FireWireStack> stack;
    if (parser.isSet(simulate)) {
        auto bus = std::make_unique<sim::SimulatedBus>();
        bus->SetLogging(false);  // nobody reads it, and it would hold every block
        sim::PlugInDemoOrlo(*bus);
        stack = std::move(bus);
    } else {
        stack = std::make_unique<linuxfw::LinuxFireWireStack>();
    }
    if (!parser.isSet(record)) return run(*stack, options, console);
    const std::string file =
        RecordArgument(argc, argv).value_or(parser.value(record).toStdString());
    recording::RecordingStack recorder(*stack, file);
    if (!recorder.Opened()) {
        return cli::Fail(
            options, console, cli::kUsage,
            QCoreApplication::translate("Cli", "Cannot write the recording %1: %2")
                .arg(parser.value(record), QString::fromStdString(recorder.Problem())));
    }
    const int status = run(recorder, options, console);
    if (!recorder.Finish()) {
        cli::Say(options, console,
                 QCoreApplication::translate("Cli", "The recording %1 is incomplete: %2")
                     .arg(parser.value(record), QString::fromStdString(recorder.Problem())));
    }
    return status;
}
