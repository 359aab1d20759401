#include "app/command_line.h"

#include <QCommandLineParser>

namespace ipcam {

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and the settings file in use, then exit."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Show the version, then exit."));
    const QCommandLineOption settingsOption(QStringLiteral("settings"),
                                            QStringLiteral("Use this settings file instead of the usual one."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"), QStringLiteral("Record without a window, display or desktop (a system service)."));
    const QCommandLineOption webPasswordOption(
        QStringLiteral("set-web-password"),
        QStringLiteral("Read the web page's password from standard input, store its hash in the settings, then exit."));
    parser.addOption(helpOption);
    parser.addOption(webPasswordOption);
    parser.addOption(headlessOption);
    parser.addOption(versionOption);
    parser.addOption(settingsOption);

    CommandLine result;
    QStringList args = arguments;
    if (args.isEmpty()) args << QStringLiteral("ipcam-recorder");
    if (!parser.parse(args)) {
        result.error = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
    } else if (parser.isSet(settingsOption) && parser.value(settingsOption).isEmpty()) {
        result.error = QStringLiteral("--settings needs a file name.");
    }
    result.help = parser.isSet(helpOption);
    result.version = parser.isSet(versionOption);
    result.settingsFile = parser.value(settingsOption);
    result.headless = parser.isSet(headlessOption);
    result.setWebPassword = parser.isSet(webPasswordOption);
    result.helpText = QStringLiteral(
        "Usage: ipcam-recorder [options]\n"
        "Records one network camera: live preview, Motion-JPEG AVI files, motion detection and alarm e-mail.\n"
        "\n"
        "Options:\n"
        "  -h, --help        Show this help and the settings file in use, then exit.\n"
        "  -v, --version     Show the version, then exit.\n"
        "  --settings FILE   Use this settings file instead of the usual one.\n"
        "  --headless        Record without a window, display or desktop (a system service):\n"
        "                    by the weekly schedule and by motion, boxes written to the log.\n"
        "  --set-web-password\n"
        "                    Read the web page's password (one line) from standard input, store only\n"
        "                    its salted hash in the settings file, then exit.\n");
    return result;
}

}  // namespace ipcam
