// Program entry: the command line, where the files live and the activity
// log; then the four windows, created in order (main window first, so it is
// the main form), and the message loop until the main window closes. With
// --headless: the recording engine alone, no window and no display, until
// SIGTERM or SIGINT; SIGHUP reads the settings again.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "frontends/window/Unit1.h"
#include "app/command_line.h"
#include "app/desktop_paths.h"
#include "engine/recorder_engine.h"
#include "frontends/headless/headless_service.h"
#include "frontends/web/web_engine_glue.h"
#include "frontends/web/web_password.h"
#include "app/log_file.h"
#include "app/termination_signals.h"
#include "camera/ffmpeg_log.h"
#include "base/activity_log.h"
#include "frontends/window/Unit4.h"
#include "frontends/window/Unit3.h"
#include "frontends/window/Unit5.h"
#include "frontends/window/setup_context.h"

namespace {

// Exceptions must not cross the event loop: anything escaping a handler is
// logged (and, with a display, shown once the handler has returned), and
// the program goes on.
template <class Application, bool kShown>
class GuardedApplication final : public Application {
public:
    using Application::Application;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return Application::notify(receiver, event);
        } catch (const std::exception& e) {
            report(QString::fromStdString(e.what()));
        } catch (...) {
            report(QStringLiteral("Unknown error"));
        }
        return false;
    }

private:
    void report(const QString& text) {
        qCCritical(lcApp).noquote() << "Error in an event handler:" << text;
        if constexpr (kShown) {
            QTimer::singleShot(0, this, [text] { QMessageBox::critical(nullptr, Application::applicationName(), text); });
        }
    }
};
using RecorderApplication = GuardedApplication<QApplication, true>;
using HeadlessApplication = GuardedApplication<QCoreApplication, false>;

ipcam::EngineOptions engineOptions(const ipcam::DesktopPaths& paths) {
    ipcam::EngineOptions options;
    options.settingsPath = paths.settingsFile;
    options.snapshotPath = paths.snapshotFile;
    options.fallbackDirectory = paths.fallbackDirectory;
    return options;
}

int runHeadless(int argc, char** argv, const ipcam::DesktopPaths& paths) {
    HeadlessApplication app(argc, argv);
    app.setApplicationName("IPCam Recorder");
    app.setApplicationVersion("1.5");
    try {
        // The engine first; the service is its client.
        ipcam::RecorderEngine engine(engineOptions(paths));
        ipcam::HeadlessService service(engine);
        // SIGTERM (systemctl stop, a shutdown) or Ctrl+C: the running
        // recording is finished, then the program ends with 0. SIGHUP
        // (systemctl reload): the settings are read again.
        ipcam::TerminationSignals termination(ipcam::TerminationSignals::Hangup::Reloads);
        QObject::connect(&termination, &ipcam::TerminationSignals::terminationRequested, &service,
                         [&service](int signalNumber) {
                             qCInfo(lcApp).noquote() << "Signal" << signalNumber << "received: ending";
                             service.stop();
                         });
        QObject::connect(&termination, &ipcam::TerminationSignals::reloadRequested, &service, [&service] {
            qCInfo(lcApp).noquote() << "Signal" << SIGHUP << "received: reading the settings again";
            service.reload();
        });
        service.start();
        return app.exec();
    } catch (const std::exception& e) {
        qCCritical(lcApp).noquote() << "Ended by an error:" << e.what();
        return 1;
    }
}

std::string ownProgramPath(const char* argv0) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return exe.string();
    return std::filesystem::absolute(argv0 ? argv0 : "ipcam-recorder", ec).string();
}

}  // namespace

int main(int argc, char** argv) {
    // The command line is read before any window system is needed, so --help
    // and --version work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const ipcam::CommandLine commandLine = ipcam::parseCommandLine(arguments);
    if (!commandLine.error.isEmpty()) {
        std::fprintf(stderr, "ipcam-recorder: %s\nTry 'ipcam-recorder --help' for the options.\n",
                     qPrintable(commandLine.error));
        return 2;
    }
    if (commandLine.version) {
        std::printf("%s\n", ipcam::kProgramVersionText);
        return 0;
    }
    ipcam::DesktopPaths paths = ipcam::resolveDesktopPaths(
        ipcam::systemPathEnvironment(ownProgramPath(argv[0]), commandLine.settingsFile.toStdString()));
    if (commandLine.help) {
        std::printf("%s\nSettings file in use: %s\nActivity log: %s\n", qPrintable(commandLine.helpText),
                    paths.settingsFile.c_str(), paths.logFile.c_str());
        return 0;
    }

    if (commandLine.setWebPassword)
        return ipcam::setWebPasswordCommand(paths.settingsFile);

    if (commandLine.headless) {
        // A service's first-run recordings go into its working directory
        // (its state folder), not into a desktop user's videos folder.
        paths.fallbackDirectory = QDir::currentPath().toStdString();
    }
    std::string pathError;
    const bool pathsReady = ipcam::prepareDesktopPaths(paths, &pathError);
    ipcam::LogFile log({pathsReady ? paths.logFile : std::string()});
    ipcam::LogFile::install(&log);
    ipcam::setWebLogFile(pathsReady ? paths.logFile : std::string());
    ipcam::installFfmpegLog();  // FFmpeg's messages go to the same log
    qCInfo(lcApp).noquote() << ipcam::kProgramVersionText << "started; settings file"
                            << QString::fromStdString(paths.settingsFile);
    if (!pathsReady) qCWarning(lcApp).noquote() << QString::fromStdString(pathError);

    int result = 1;
    if (commandLine.headless) {
        result = runHeadless(argc, argv, paths);
    } else {
        RecorderApplication app(argc, argv);
        app.setApplicationName("IPCam Recorder");
        app.setApplicationVersion("1.5");
        app.setDesktopFileName("ipcam-recorder");
        app.setQuitOnLastWindowClosed(false);
        try {
            // The engine first; the windows are its clients.
            ipcam::RecorderEngine engine(engineOptions(paths));
            ipcam::TForm1 form1(engine);
            ipcam::SetupContext context = form1.setupContext();
            ipcam::TForm3 form3(context, &form1);
            ipcam::TForm4 form4([&form1] { return form1.engine().state().folder.inUse; },
                                [&form1] { form1.spareNextActivation(); });
            ipcam::TForm2 form2(context, &form3);
            form3.setEmailDialog(&form2);
            form1.setForms(&form3, &form4);

            // A shutdown or Ctrl+C closes the main window as the user would, which
            // writes a running recording to its file.
            ipcam::TerminationSignals termination;
            QObject::connect(&termination, &ipcam::TerminationSignals::terminationRequested, &form1,
                             [&form1] { form1.close(); });

            form1.show();
            QMetaObject::invokeMethod(&form1, [&form1] { form1.activateFirstTime(); }, Qt::QueuedConnection);
            result = app.exec();
        } catch (const std::exception& e) {
            qCCritical(lcApp).noquote() << "Ended by an error:" << e.what();
            QMessageBox::critical(nullptr, app.applicationName(), QString::fromStdString(e.what()));
            result = 1;
        }
    }
    qCInfo(lcApp).noquote() << ipcam::kProgramVersionText << "ended; settings file"
                            << QString::fromStdString(paths.settingsFile);
    ipcam::LogFile::install(nullptr);
    return result;
}
