#include "SignalWatcher.h"

#include <QDebug>
#include <QPointer>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Write end of the active watcher's pipe, read by the signal handler.
std::atomic<int> s_writeFd {-1};

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = s_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // Non-blocking: if the pipe is full, earlier bytes already wake the reader.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(const QList<int>& signalNumbers, QObject* parent)
    : QObject(parent)
{
    if (s_writeFd.load() >= 0) {
        qWarning().noquote().nospace() << "[SignalWatcher] Another watcher is active; not watching";
        return;
    }
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning().noquote().nospace()
            << "[SignalWatcher] Cannot create pipe : " << std::strerror(errno);
        m_pipe[0] = m_pipe[1] = -1;
        return;
    }
    s_writeFd.store(m_pipe[1]);

    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);

    for (const int signalNumber : signalNumbers) {
        struct sigaction action
        {
        };
        action.sa_handler = forwardSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(signalNumber, &action, nullptr) == 0) {
            m_signals.append(signalNumber);
        } else {
            qWarning().noquote().nospace() << "[SignalWatcher] Cannot handle signal "
                                           << signalNumber << " : " << std::strerror(errno);
        }
    }
}

SignalWatcher::~SignalWatcher()
{
    for (const int signalNumber : qAsConst(m_signals)) {
        struct sigaction action
        {
        };
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signalNumber, &action, nullptr);
    }
    if (m_pipe[1] >= 0) {
        s_writeFd.store(-1);
        delete m_notifier;
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
}

bool SignalWatcher::isActive() const
{
    return m_notifier && !m_signals.isEmpty();
}

void SignalWatcher::onReadable()
{
    QList<int> received;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t count = ::read(m_pipe[0], buffer, sizeof(buffer));
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            received.append(buffer[i]);
    }
    // A receiver may delete this watcher.
    const QPointer<SignalWatcher> guard(this);
    for (const int signalNumber : qAsConst(received)) {
        if (!guard)
            return;
        Q_EMIT signalReceived(signalNumber);
    }
}
