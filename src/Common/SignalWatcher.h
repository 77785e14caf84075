#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

// Turns POSIX signals (SIGTERM, SIGINT, ...) into a Qt signal delivered by the event
// loop, so that a request to stop can end the program cleanly. The handler only
// writes the signal number into a pipe, which is safe inside a signal handler.
// One watcher at a time per process; while it exists it owns the given signals,
// and its destruction restores their default actions.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(const QList<int>& signalNumbers, QObject* parent = nullptr);
    ~SignalWatcher() override;

    // False when the pipe or a handler could not be set up.
    bool isActive() const;

Q_SIGNALS:
    void signalReceived(int signalNumber);

private:
    void onReadable();

    QList<int> m_signals;
    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
};
