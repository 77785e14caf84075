#include "Deferred.h"

#include <QJsonValue>
#include <QMutex>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

// A value record of the kind the device clients deliver.
struct Reply
{
    QString error;
    int code = 0;
};

// Counts the deferred-call events (type 1123) delivered to objects of the main thread.
class ProxyEventSpy : public QObject
{
public:
    ProxyEventSpy() { QCoreApplication::instance()->installEventFilter(this); }
    ~ProxyEventSpy() override { QCoreApplication::instance()->removeEventFilter(this); }

    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::User + 123)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

// Runs fn in a thread of its own and waits until that thread has finished.
template<class Fn>
std::unique_ptr<QThread> runInNewThread(Fn fn)
{
    std::unique_ptr<QThread> thread(QThread::create(std::move(fn)));
    thread->start();
    thread->wait();
    return thread;
}

} // namespace

class tst_Deferred : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settledThenRegistered();
    void registeredThenSettled();
    void rejectZeroRunsOnlyArgumentLessCallbacks();
    void secondSettlementIsIgnored();
    void progress();
    void connectionTypes();
    void crossThreadDeliveryToMainThread();
    void crossThreadDeliveryToWorkerThread();
    void thenAliasSuccess();
    void thenAliasFailure();
    void thenAliasProgress();
    void structValuesAreCopied();
    void sharedDataIsFreedWithLastHandle();
};

void tst_Deferred::settledThenRegistered()
{
    Deferred<QJsonValue> resolved;
    resolved.resolve(QJsonValue(7));
    QCOMPARE(resolved.state(), DeferredState::RESOLVED);

    QJsonValue got;
    bool doneZero = false;
    bool failed = false;
    // Runs before done() returns, whatever the connection type.
    resolved.done([&](const QJsonValue& v) { got = v; }, Qt::QueuedConnection)
        .doneZero([&] { doneZero = true; })
        .fail([&](const QJsonValue&) { failed = true; })
        .failZero([&] { failed = true; });
    QCOMPARE(got, QJsonValue(7));
    QVERIFY(doneZero);
    QVERIFY(!failed);

    Deferred<QJsonValue> rejected;
    rejected.reject(QJsonValue("Timeout"));
    QCOMPARE(rejected.state(), DeferredState::REJECTED);
    QJsonValue error;
    int failZero = 0;
    bool done = false;
    rejected.fail([&](const QJsonValue& v) { error = v; })
        .failZero([&] { ++failZero; })
        .done([&](const QJsonValue&) { done = true; })
        .doneZero([&] { done = true; });
    QCOMPARE(error, QJsonValue("Timeout"));
    QCOMPARE(failZero, 1);
    QVERIFY(!done);

    Deferred<> noValues;
    noValues.resolve();
    bool ran = false;
    noValues.done([&] { ran = true; });
    QVERIFY(ran);
}

void tst_Deferred::registeredThenSettled()
{
    Deferred<QJsonValue, int> d;
    QStringList calls;
    d.done([&](const QJsonValue& v, int n) { calls << v.toString() + QString::number(n); })
        .doneZero([&] { calls << "doneZero"; })
        .fail([&](const QJsonValue&, int) { calls << "fail"; })
        .failZero([&] { calls << "failZero"; })
        .done([&](QJsonValue v, int) { calls << "second " + v.toString(); });
    QCOMPARE(d.state(), DeferredState::PENDING);
    QVERIFY(calls.isEmpty());

    // Same thread, automatic connection: everything runs inside resolve(), in order.
    d.resolve(QJsonValue("ok"), 1);
    QCOMPARE(calls, (QStringList {"ok1", "second ok", "doneZero"}));

    Deferred<QJsonValue> r;
    QJsonValue error;
    bool doneCalled = false;
    r.fail([&](const QJsonValue& v) { error = v; }).done([&](const QJsonValue&) {
        doneCalled = true;
    });
    r.reject(QJsonValue("Busy"));
    QCOMPARE(r.state(), DeferredState::REJECTED);
    QCOMPARE(error, QJsonValue("Busy"));
    QVERIFY(!doneCalled);
}

void tst_Deferred::rejectZeroRunsOnlyArgumentLessCallbacks()
{
    Deferred<QJsonValue> d;
    bool valueFail = false;
    bool done = false;
    int zeroFail = 0;
    d.fail([&](const QJsonValue&) { valueFail = true; })
        .failZero([&] { ++zeroFail; })
        .done([&](const QJsonValue&) { done = true; });
    d.rejectZero();
    QCOMPARE(d.state(), DeferredState::REJECTED);
    QCOMPARE(zeroFail, 1);
    QVERIFY(!valueFail);
    QVERIFY(!done);

    // Afterwards too: there are no values for a value-taking fail callback.
    d.fail([&](const QJsonValue&) { valueFail = true; }).failZero([&] { ++zeroFail; });
    QCOMPARE(zeroFail, 2);
    QVERIFY(!valueFail);
}

void tst_Deferred::secondSettlementIsIgnored()
{
    Deferred<int> d;
    int doneCount = 0;
    int failCount = 0;
    d.done([&](int) { ++doneCount; }).fail([&](int) { ++failCount; }).failZero([&] {
        ++failCount;
    });
    d.resolve(1);

    QTest::ignoreMessage(QtWarningMsg, "Cannot resolve already processed deferred object.");
    d.resolve(2);
    QTest::ignoreMessage(QtWarningMsg, "Cannot reject already processed deferred object.");
    d.reject(3);
    QTest::ignoreMessage(QtWarningMsg, "Cannot reject already processed deferred object.");
    d.rejectZero();

    QCOMPARE(d.state(), DeferredState::RESOLVED);
    QCOMPARE(doneCount, 1);
    QCOMPARE(failCount, 0);
    int got = 0;
    d.done([&](int v) { got = v; });
    QCOMPARE(got, 1); // the first settlement wins

    Deferred<int> r;
    r.reject(5);
    QTest::ignoreMessage(QtWarningMsg, "Cannot resolve already processed deferred object.");
    r.resolve(6);
    QCOMPARE(r.state(), DeferredState::REJECTED);
    r.fail([&](int v) { got = v; });
    QCOMPARE(got, 5);
}

void tst_Deferred::progress()
{
    Deferred<int> d;
    QVector<int> first;
    QVector<int> second;
    d.progress([&](int v) { first << v; }).progress([&](int v) { second << v; });
    d.notify(10);
    d.notify(20);
    QCOMPARE(first, (QVector<int> {10, 20}));
    QCOMPARE(second, (QVector<int> {10, 20}));
    QCOMPARE(d.state(), DeferredState::PENDING);

    d.resolve(100);
    QTest::ignoreMessage(QtWarningMsg, "Cannot notify already processed deferred object.");
    d.notify(30);
    int late = 0;
    d.progress([&](int) { ++late; });
    QCOMPARE(first.size(), 2);
    QCOMPARE(late, 0);

    Deferred<int> r;
    r.rejectZero();
    QTest::ignoreMessage(QtWarningMsg, "Cannot notify already processed deferred object.");
    r.notify(1);
}

void tst_Deferred::connectionTypes()
{
    // On one thread a queued callback still waits for the event loop.
    Deferred<int> d;
    QStringList calls;
    d.done([&](int) { calls << "queued"; }, Qt::QueuedConnection)
        .done([&](int) { calls << "auto"; })
        .done([&](int) { calls << "direct"; }, Qt::DirectConnection)
        .doneZero([&] { calls << "queuedZero"; }, Qt::QueuedConnection);
    d.resolve(1);
    QCOMPARE(calls, (QStringList {"auto", "direct"}));
    QTRY_COMPARE(calls, (QStringList {"auto", "direct", "queued", "queuedZero"}));

    Deferred<int> p;
    QVector<int> notified;
    p.progress([&](int v) { notified << v; }, Qt::QueuedConnection);
    p.notify(1);
    QVERIFY(notified.isEmpty());
    QTRY_COMPARE(notified, QVector<int> {1});

    // A direct callback runs in the settling thread, wherever it was registered.
    Deferred<int> other;
    QThread* ranOn = nullptr;
    int got = 0;
    other.fail(
        [&](int v) {
            got = v;
            ranOn = QThread::currentThread();
        },
        Qt::DirectConnection);
    const auto settler = runInNewThread([other] { other.reject(3); });
    QCOMPARE(got, 3);
    QCOMPARE(ranOn, settler.get());
}

void tst_Deferred::crossThreadDeliveryToMainThread()
{
    ProxyEventSpy spy;
    Deferred<int> d;
    int got = 0;
    int zeroCalls = 0;
    QThread* ranOn = nullptr;
    int eventsAtCall = -1;
    d.done([&](int v) {
         got = v;
         ranOn = QThread::currentThread();
         eventsAtCall = spy.count;
     }).doneZero([&] { ++zeroCalls; });

    runInNewThread([d] { d.resolve(42); });
    QCOMPARE(d.state(), DeferredState::RESOLVED);
    QCOMPARE(got, 0); // waits for this thread's event loop
    QCOMPARE(zeroCalls, 0);

    QTRY_COMPARE(got, 42);
    QTRY_COMPARE(zeroCalls, 1);
    QCOMPARE(ranOn, QThread::currentThread());
    QCOMPARE(eventsAtCall, 1); // run while the event of type 1123 was being handled
}

void tst_Deferred::crossThreadDeliveryToWorkerThread()
{
    QThread worker;
    worker.start();
    QObject context;
    context.moveToThread(&worker);

    Deferred<QString> live;
    Deferred<QString> late;
    QMutex mutex;
    QString got;
    QThread* ranOn = nullptr;
    std::atomic<int> lateCalls {0};
    std::atomic<bool> registered {false};
    QMetaObject::invokeMethod(&context, [&] {
        live.done([&](const QString& v) {
            QMutexLocker locker(&mutex);
            got = v;
            ranOn = QThread::currentThread();
        });
        late.done([&](const QString&) { ++lateCalls; })
            .done([&](const QString&) { ++lateCalls; }, Qt::DirectConnection)
            .failZero([&] { ++lateCalls; });
        registered = true;
    });
    QTRY_VERIFY(registered);

    live.resolve("hello");
    QTRY_VERIFY([&] {
        QMutexLocker locker(&mutex);
        return ranOn != nullptr;
    }());
    QCOMPARE(ranOn, &worker);
    QCOMPARE(got, QString("hello"));

    // The callbacks of a finished thread are dropped together with its proxy.
    worker.quit();
    QVERIFY(worker.wait());
    late.resolve("too late");
    QCoreApplication::processEvents();
    QCOMPARE(lateCalls.load(), 0);
}

void tst_Deferred::thenAliasSuccess()
{
    Deferred<QJsonValue> first;
    Deferred<Reply> second;
    QJsonValue passed;
    Deferred<Reply> chained = first.thenAlias<Reply>([&](const QJsonValue& v) {
        passed = v;
        return second;
    });
    Reply got;
    bool failed = false;
    chained.done([&](const Reply& r) { got = r; }).failZero([&] { failed = true; });

    first.resolve(QJsonValue("card"));
    QCOMPARE(passed, QJsonValue("card"));
    QCOMPARE(chained.state(), DeferredState::PENDING);

    second.resolve(Reply {"", 7});
    QCOMPARE(chained.state(), DeferredState::RESOLVED);
    QCOMPARE(got.code, 7);
    QVERIFY(!failed);

    // The follow-up's own failure is passed on with its values.
    Deferred<int> start;
    Deferred<Reply> failing;
    Reply error;
    int failZero = 0;
    start.thenAlias<Reply>([&](int) { return failing; })
        .fail([&](const Reply& r) { error = r; })
        .failZero([&] { ++failZero; });
    start.resolve(1);
    failing.reject(Reply {"Card jammed", 3});
    QCOMPARE(error.error, QString("Card jammed"));
    QCOMPARE(failZero, 1);

    // Queued chaining waits for the event loop, then follows as usual.
    Deferred<int> queued;
    Deferred<int> result = queued.thenAlias<int>(
        [](int v) {
            Deferred<int> d;
            d.resolve(v * 2);
            return d;
        },
        Qt::QueuedConnection);
    int doubled = 0;
    result.done([&](int v) { doubled = v; });
    queued.resolve(21);
    QCOMPARE(result.state(), DeferredState::PENDING);
    QTRY_COMPARE(doubled, 42);
}

void tst_Deferred::thenAliasFailure()
{
    Deferred<QJsonValue> first;
    bool nextCalled = false;
    bool valueFail = false;
    bool done = false;
    int zeroFail = 0;
    Deferred<Reply> chained = first.thenAlias<Reply>([&](const QJsonValue&) {
        nextCalled = true;
        return Deferred<Reply>();
    });
    chained.fail([&](const Reply&) { valueFail = true; })
        .failZero([&] { ++zeroFail; })
        .done([&](const Reply&) { done = true; });

    first.reject(QJsonValue("Timeout"));
    QCOMPARE(chained.state(), DeferredState::REJECTED);
    QCOMPARE(zeroFail, 1);
    QVERIFY(!valueFail);
    QVERIFY(!done);
    QVERIFY(!nextCalled);

    // The same through rejectZero(), along a chain of two steps.
    Deferred<int> a;
    int last = 0;
    a.thenAlias<int>([](int) { return Deferred<int>(); })
        .thenAlias<int>([](int) { return Deferred<int>(); })
        .failZero([&] { last = -1; });
    a.rejectZero();
    QCOMPARE(last, -1);

    // A nested chain whose inner step fails: the outer result settles too.
    Deferred<int> outer;
    Deferred<int> inner;
    int outerFailed = 0;
    Deferred<int> result = outer.thenAlias<int>(
        [inner](int) { return inner.thenAlias<int>([](int) { return Deferred<int>(); }); });
    result.failZero([&] { ++outerFailed; });
    outer.resolve(1);
    QCOMPARE(result.state(), DeferredState::PENDING);
    inner.reject(5);
    QCOMPARE(result.state(), DeferredState::REJECTED);
    QCOMPARE(outerFailed, 1);
}

void tst_Deferred::thenAliasProgress()
{
    Deferred<int> first;
    Deferred<QString> second;
    QStringList steps;
    first.thenAlias<QString>([&](int) { return second; })
        .progress([&](const QString& s) { steps << s; })
        .done([&](const QString& s) { steps << "done " + s; });
    first.resolve(1);
    second.notify("ejecting");
    second.notify("waiting for removal");
    second.resolve("collected");
    QCOMPARE(steps, (QStringList {"ejecting", "waiting for removal", "done collected"}));
}

void tst_Deferred::structValuesAreCopied()
{
    Deferred<Reply> d;
    QVector<Reply> got;
    d.done([&](const Reply& r) { got << r; });
    d.done([&](const Reply& r) { got << r; }, Qt::QueuedConnection);
    {
        Reply reply {"No card", 2};
        d.resolve(reply);
        reply.error = "changed";
    }
    QTRY_COMPARE(got.size(), 2);
    for (const Reply& r : got) {
        QCOMPARE(r.error, QString("No card"));
        QCOMPARE(r.code, 2);
    }

    // Values handed over from another thread arrive intact.
    Deferred<Reply> remote;
    Reply received;
    remote.fail([&](Reply r) { received = r; });
    runInNewThread([remote] { remote.reject(Reply {QString("Timeout").repeated(100), 5}); });
    QTRY_COMPARE(received.code, 5);
    QCOMPARE(received.error, QString("Timeout").repeated(100));
}

void tst_Deferred::sharedDataIsFreedWithLastHandle()
{
    // Callbacks that hold a handle to their own deferred must not keep it alive once it is
    // settled, whether they ran, can no longer run or were for progress.
    auto token = std::make_shared<int>(0);
    {
        Deferred<int> d;
        d.done([d, token](int) {})
            .fail([d, token](int) {})
            .progress([d, token](int) {})
            .doneZero([d, token] {})
            .failZero([d, token] {});
        d.resolve(1);
        d.fail([d, token](int) {}).progress([d, token](int) {}).failZero([d, token] {});
    }
    QCOMPARE(token.use_count(), 1L);

    {
        Deferred<int> d;
        d.done([d, token](int) {}).progress([d, token](int) {});
        d.rejectZero();
    }
    QCOMPARE(token.use_count(), 1L);

    // A chain whose every part captures handles.
    {
        Deferred<int> a;
        Deferred<QString> b;
        Deferred<QString> c = a.thenAlias<QString>([b, token](int) { return b; });
        c.done([c, token](const QString&) {}).progress([c, token](const QString&) {});
        b.progress([b, token](const QString&) {});
        a.resolve(1);
        b.notify("half");
        b.resolve("x");
    }
    QCOMPARE(token.use_count(), 1L);

    // A queued call keeps what it needs until it has run.
    bool ran = false;
    {
        Deferred<int> q;
        q.done([q, token, &ran](int) { ran = q.state() == DeferredState::RESOLVED; },
               Qt::QueuedConnection);
        q.resolve(1);
    }
    QTRY_VERIFY(ran);
    QCOMPARE(token.use_count(), 1L);
}

QTEST_GUILESS_MAIN(tst_Deferred)
#include "tst_deferred.moc"
