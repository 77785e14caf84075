#include "ProcessGuard.h"

#include <QDebug>
#include <QProcess>

#include <signal.h>

namespace {

// setProcessState() is protected: reached through a member pointer named in a class that
// makes it public, which calls it on any QProcess.
struct StateAccess : QProcess
{
    using QProcess::setProcessState;
};

} // namespace

bool ProcessGuard::signallable(QProcess& process, const char* action)
{
    if (process.state() == QProcess::NotRunning)
        return false;
    const qint64 pid = process.processId();
    if (pid > 0)
        return true;
    qWarning().noquote().nospace() << "WARN: Not sending " << action << " to " << process.program()
                                   << ": its process id is " << pid << "; the process is given up";
    void (QProcess::*setState)(QProcess::ProcessState) = &StateAccess::setProcessState;
    (process.*setState)(QProcess::NotRunning);
    return false;
}

bool ProcessGuard::kill(QProcess& process)
{
    if (!signallable(process, "SIGKILL"))
        return false;
    process.kill();
    return true;
}

bool ProcessGuard::terminate(QProcess& process)
{
    if (!signallable(process, "SIGTERM"))
        return false;
    process.terminate();
    return true;
}

bool ProcessGuard::signal(const QProcess& process, int signalNumber)
{
    const qint64 pid = process.processId();
    if (process.state() == QProcess::NotRunning || pid <= 0)
        return false;
    return ::kill(pid_t(pid), signalNumber) == 0;
}
