#pragma once
// Turns SIGTERM, SIGINT and SIGHUP (a shutdown, a logout, Ctrl+C) into a Qt
// signal on the user-interface thread, so the program closes its main window
// the ordinary way and finishes a running recording instead of dying in the
// middle of it.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace ipcam {

class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    // Puts the default handlers back.
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace ipcam
