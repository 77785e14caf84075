// POSIX signals turned into Qt signals, delivered by the event loop.

#include "SignalWatcher.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

namespace {

void (*currentHandler(int signalNumber))(int)
{
    struct sigaction action
    {
    };
    sigaction(signalNumber, nullptr, &action);
    return action.sa_handler;
}

} // namespace

class TestSignalWatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void deliversThroughEventLoop();
    void restoresDefaultsWhenDestroyed();
    void oneWatcherAtATime();
};

void TestSignalWatcher::deliversThroughEventLoop()
{
    SignalWatcher watcher({SIGUSR1, SIGUSR2});
    QVERIFY(watcher.isActive());
    QSignalSpy spy(&watcher, &SignalWatcher::signalReceived);

    QCOMPARE(::raise(SIGUSR1), 0);
    QCOMPARE(::raise(SIGUSR2), 0);
    QCOMPARE(::raise(SIGUSR1), 0);
    // Nothing happens inside the signal handler itself.
    QCOMPARE(spy.count(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 30000);
    QCOMPARE(spy.at(0).at(0).toInt(), int(SIGUSR1));
    QCOMPARE(spy.at(1).at(0).toInt(), int(SIGUSR2));
    QCOMPARE(spy.at(2).at(0).toInt(), int(SIGUSR1));
}

void TestSignalWatcher::restoresDefaultsWhenDestroyed()
{
    {
        SignalWatcher watcher({SIGUSR1});
        QVERIFY(currentHandler(SIGUSR1) != SIG_DFL);
    }
    QVERIFY(currentHandler(SIGUSR1) == SIG_DFL);
}

void TestSignalWatcher::oneWatcherAtATime()
{
    SignalWatcher first({SIGUSR1});
    SignalWatcher second({SIGUSR2});
    QVERIFY(first.isActive());
    QVERIFY(!second.isActive());
    QVERIFY(currentHandler(SIGUSR2) == SIG_DFL);

    QSignalSpy spy(&first, &SignalWatcher::signalReceived);
    QCOMPARE(::raise(SIGUSR1), 0);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 30000);
}

QTEST_GUILESS_MAIN(TestSignalWatcher)
#include "tst_signalwatcher.moc"
