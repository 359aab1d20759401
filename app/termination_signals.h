#pragma once
// Turns SIGTERM, SIGINT and SIGHUP (a shutdown, a logout, Ctrl+C) into a Qt
// signal on the user-interface thread, so the program closes its main window
// the ordinary way and finishes a running recording instead of dying in the
// middle of it. For a service, SIGHUP asks to read the settings again
// (`systemctl reload`) instead.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace ipcam {

class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    // What SIGHUP means: the terminal hung up (the program ends), or the
    // service is to read its settings again.
    enum class Hangup { Ends, Reloads };
    explicit TerminationSignals(Hangup hangup = Hangup::Ends, QObject* parent = nullptr);
    // Puts the default handlers back.
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signalNumber);
    void reloadRequested();

private:
    void onReadable();

    Hangup hangup_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace ipcam
