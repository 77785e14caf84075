// Only positive process ids are signalled. A QProcess whose clone failed after Qt chose
// pidfds (as under qemu-user) reports a running child with the id -1, and kill(-1, ...)
// reaches every process the program may signal. Here that clone fails on purpose: this
// program's own syscall() fails it, and its own kill() counts the ids that are not positive
// instead of passing them on.

#include "ProcessGuard.h"

#include <QProcess>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr long ClonePidfd = 0x1000; // CLONE_PIDFD
std::atomic<bool> failPidfdClone {false};
std::atomic<int> neverReady {-1}; // read end of a pipe nobody writes to
std::atomic<int> nonPositiveKills {0};

} // namespace

extern "C" long syscall(long number, ...)
{
    long w[7];
    va_list arguments;
    va_start(arguments, number);
    for (long& word : w)
        word = va_arg(arguments, long);
    va_end(arguments);
    if (number == SYS_clone && (w[0] & ClonePidfd) && failPidfdClone) {
        // No child, as under the emulator; the pidfd Qt waits on then never reports.
        *reinterpret_cast<int*>(w[2]) = ::dup(neverReady);
        errno = EINVAL;
        return -1;
    }
    static const auto next = reinterpret_cast<long (*)(long, ...)>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, w[0], w[1], w[2], w[3], w[4], w[5], w[6]);
}

extern "C" int kill(pid_t pid, int signalNumber)
{
    if (pid <= 0) {
        ++nonPositiveKills;
        errno = EPERM;
        return -1;
    }
    static const auto next = reinterpret_cast<int (*)(pid_t, int)>(dlsym(RTLD_NEXT, "kill"));
    return next(pid, signalNumber);
}

class TestProcessGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        neverReady = ends[0];
    }
    void signalsOnlyARunningChild_data()
    {
        QTest::addColumn<QString>("child");
        QTest::addColumn<QString>("action");
        for (const char* child : {"not started", "running", "ended", "failed clone"})
            for (const char* action : {"kill", "terminate", "signal"})
                QTest::addRow("%s, %s", child, action) << child << action;
    }
    void signalsOnlyARunningChild()
    {
        QFETCH(QString, child);
        QFETCH(QString, action);
        const int before = nonPositiveKills;
        {
            QProcess process;
            if (child != "not started") {
                failPidfdClone = child == "failed clone";
                process.start("sleep", {child == "ended" ? "0" : "30"});
                failPidfdClone = false;
                QVERIFY(process.waitForStarted());
                if (child == "ended")
                    QVERIFY(process.waitForFinished());
            }
            if (child == "failed clone") {
                if (process.processId() > 0) {
                    ProcessGuard::kill(process);
                    process.waitForFinished();
                    QSKIP("QProcess forks here: there is no pidfd clone to fail");
                }
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("process id is -1"));
            }
            const bool sent = action == "kill" ? ProcessGuard::kill(process)
                : action == "terminate"        ? ProcessGuard::terminate(process)
                                               : ProcessGuard::signal(process, SIGTERM);
            QCOMPARE(sent, child == "running");
            if (sent) {
                QVERIFY(process.waitForFinished());
                QCOMPARE(process.exitStatus(), QProcess::CrashExit);
            } else if (action != "signal") {
                QCOMPARE(process.state(), QProcess::NotRunning);
            }
            ProcessGuard::kill(process); // what signal() left, before the destructor's kill()
        }
        QCOMPARE(int(nonPositiveKills), before);
    }
};

QTEST_GUILESS_MAIN(TestProcessGuard)
#include "tst_processguard.moc"
