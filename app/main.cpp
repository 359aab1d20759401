// Program entry: the four windows, created in order (main window first, so
// it is the main form), then the message loop until the main window closes.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <exception>

#include "app/Unit1.h"
#include "app/termination_signals.h"
#include "playback/Unit4.h"
#include "settings/Unit3.h"
#include "settings/Unit5.h"
#include "settings/setup_context.h"

namespace {

// Exceptions must not cross the event loop: anything escaping a handler is
// shown and the program goes on.
class RecorderApplication final : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            QMessageBox::critical(nullptr, applicationName(), QString::fromStdString(e.what()));
        } catch (...) {
            QMessageBox::critical(nullptr, applicationName(), "Unknown error");
        }
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    RecorderApplication app(argc, argv);
    app.setApplicationName("IPCam Recorder");
    app.setQuitOnLastWindowClosed(false);
    try {
        ipcam::TForm1 form1;
        ipcam::MainController& controller = form1.controller();
        ipcam::SetupContext context = form1.setupContext();
        ipcam::TForm3 form3(context, &form1);
        ipcam::TForm4 form4([&controller] { return controller.settings().aviDirectory; },
                            [&controller] { controller.setSkipActivation(true); });
        ipcam::TForm2 form2(context, &form3);
        form3.setEmailDialog(&form2);
        form1.setForms(&form3, &form4);

        // A shutdown or Ctrl+C closes the main window as the user would, which
        // writes a running recording to its file.
        ipcam::TerminationSignals termination;
        QObject::connect(&termination, &ipcam::TerminationSignals::terminationRequested, &form1,
                         [&form1] { form1.close(); });

        form1.show();
        QTimer::singleShot(0, &form1, [&form1] { form1.activateFirstTime(); });
        return app.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, app.applicationName(), QString::fromStdString(e.what()));
        return 1;
    }
}
