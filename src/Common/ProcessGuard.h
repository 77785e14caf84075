#pragma once

class QProcess;

// Signals the child of a QProcess only through a real process id. A QProcess can report a
// started child whose id is -1 (a clone that failed after Qt chose pidfds, as under
// qemu-user): its kill() and terminate(), and its destructor, would then send
// kill(-1, ...) to every process the program may signal. Such a child is given up instead:
// the QProcess goes back to NotRunning without a signal, so nothing later sends one.
class ProcessGuard
{
public:
    // SIGKILL or SIGTERM to a running child. False when there was none to signal: not
    // running, or without a positive id (then given up, with a warning).
    static bool kill(QProcess& process);
    static bool terminate(QProcess& process);
    // Any other signal (SIGUSR1, ...) under the same rule; nothing is given up.
    static bool signal(const QProcess& process, int signalNumber);

private:
    // True if the process has a positive id; otherwise gives a running one up.
    static bool signallable(QProcess& process, const char* action);
};
