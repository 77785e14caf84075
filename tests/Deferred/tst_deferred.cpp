#include "Deferred.h"

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
} // namespace

class tst_Deferred : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settlement_data()
    {
        QTest::addColumn<QString>("settle"); // resolve, reject or rejectZero
        QTest::addColumn<bool>("registeredBefore");
        QTest::addColumn<int>("connection");
        QTest::addColumn<QStringList>("atOnce");
        QTest::addColumn<QStringList>("later"); // from the event loop
        const QStringList done {"done 7 x", "doneZero"};
        const QStringList fail {"fail 7 x", "failZero"};
        const QStringList progress {"progress 1 p"};
        // Progress runs only while pending; failures without values reach only failZero.
        QTest::newRow("resolve") << "resolve" << true << 0 << progress + done << QStringList();
        QTest::newRow("resolve queued")
            << "resolve" << true << int(Qt::QueuedConnection) << QStringList() << progress + done;
        QTest::newRow("reject") << "reject" << true << 0 << progress + fail << QStringList();
        QTest::newRow("rejectZero")
            << "rejectZero" << true << 0 << progress + QStringList {"failZero"} << QStringList();
        // Registered once settled: run at once, whatever the connection.
        QTest::newRow("resolved, then registered")
            << "resolve" << false << int(Qt::QueuedConnection) << done << QStringList();
        QTest::newRow("rejected, then registered")
            << "reject" << false << 0 << fail << QStringList();
    }
    void settlement()
    {
        QFETCH(QString, settle);
        QFETCH(bool, registeredBefore);
        QFETCH(int, connection);
        QFETCH(QStringList, atOnce);
        QFETCH(QStringList, later);
        const auto type = Qt::ConnectionType(connection);
        Deferred<int, QString> d; // several values at once
        QStringList calls;
        const auto record = [&](const QString& name) {
            return [&calls, name](int n, const QString& s) {
                calls << QString("%1 %2 %3").arg(name).arg(n).arg(s);
            };
        };
        const auto registerAll = [&] {
            d.progress(record("progress"), type)
                .done(record("done"), type)
                .fail(record("fail"), type)
                .doneZero([&] { calls << "doneZero"; }, type)
                .failZero([&] { calls << "failZero"; }, type);
        };
        if (registeredBefore) {
            registerAll();
            d.notify(1, "p");
        }
        settle == "resolve"      ? d.resolve(7, "x")
            : settle == "reject" ? d.reject(7, "x")
                                 : d.rejectZero();
        if (!registeredBefore)
            registerAll();
        QCOMPARE(calls, atOnce);
        QTRY_COMPARE(calls, atOnce + later);
        // Settled once: later attempts change nothing (they only warn).
        const DeferredState state = d.state();
        QCOMPARE(state, settle == "resolve" ? DeferredState::RESOLVED : DeferredState::REJECTED);
        d.resolve(8, "y");
        d.reject(8, "y");
        d.rejectZero();
        d.notify(2, "q");
        QCoreApplication::processEvents();
        QVERIFY(calls == atOnce + later && d.state() == state);
    }
    void threads()
    {
        // Settled in another thread: run in the registering thread, by its event loop,
        // unless direct.
        Deferred<Reply> d;
        Reply got;
        QThread* ranOn = nullptr;
        QThread* directOn = nullptr;
        d.done([&](const Reply& r) {
             got = r;
             ranOn = QThread::currentThread();
         }).done([&](const Reply&) { directOn = QThread::currentThread(); }, Qt::DirectConnection);
        std::unique_ptr<QThread> settler(QThread::create([d] { d.resolve(Reply {"Timeout", 5}); }));
        settler->start();
        settler->wait();
        QVERIFY(directOn == settler.get() && ranOn == nullptr);
        QTRY_COMPARE(got.code, 5);
        QVERIFY(got.error == "Timeout" && ranOn == QThread::currentThread());
        // Registered in a worker thread: run there; dropped once that thread has finished.
        QThread worker;
        worker.start();
        QObject context;
        context.moveToThread(&worker);
        Deferred<QString> live, late;
        std::atomic<QThread*> liveOn {nullptr};
        std::atomic<int> lateCalls {0};
        std::atomic<bool> registered {false};
        QMetaObject::invokeMethod(&context, [&] {
            live.done([&](const QString&) { liveOn = QThread::currentThread(); });
            late.done([&](const QString&) { ++lateCalls; })
                .done([&](const QString&) { ++lateCalls; }, Qt::DirectConnection)
                .failZero([&] { ++lateCalls; });
            registered = true;
        });
        QTRY_VERIFY(registered);
        live.resolve("hello");
        QTRY_COMPARE(liveOn.load(), &worker);
        worker.quit();
        QVERIFY(worker.wait());
        late.resolve("too late");
        QCoreApplication::processEvents();
        QCOMPARE(lateCalls.load(), 0);
    }
    void thenAlias()
    {
        // Follows the next step: its progress, its values, its failure with values.
        for (const bool succeeds : {true, false}) {
            Deferred<int> first;
            Deferred<Reply> second;
            QStringList steps;
            first
                .thenAlias<Reply>([&](int n) {
                    steps << QString("next %1").arg(n);
                    return second;
                })
                .progress([&](const Reply& r) { steps << "progress " + r.error; })
                .done([&](const Reply& r) { steps << QString("done %1").arg(r.code); })
                .fail([&](const Reply& r) { steps << QString("fail %1").arg(r.code); })
                .failZero([&] { steps << "failZero"; });
            first.resolve(1);
            second.notify(Reply {"ejecting", 0});
            succeeds ? second.resolve(Reply {"", 7}) : second.reject(Reply {"Card jammed", 3});
            QCOMPARE(steps.join(", "),
                     succeeds ? QString("next 1, progress ejecting, done 7")
                              : QString("next 1, progress ejecting, fail 3, failZero"));
        }
        // A failure inside a nested chain settles the outer result too (without values).
        Deferred<int> outer, inner;
        Deferred<int> result = outer.thenAlias<int>(
            [inner](int) { return inner.thenAlias<int>([](int) { return Deferred<int>(); }); });
        outer.resolve(1);
        QStringList calls;
        result.fail([&](int) { calls << "fail"; }).failZero([&] { calls << "failZero"; });
        inner.reject(5);
        QCOMPARE(calls, QStringList {"failZero"});
        // Queued chaining waits for the event loop.
        Deferred<int> queued;
        int doubled = 0;
        queued
            .thenAlias<int>(
                [](int v) {
                    Deferred<int> d;
                    d.resolve(v * 2);
                    return d;
                },
                Qt::QueuedConnection)
            .done([&](int v) { doubled = v; });
        queued.resolve(21);
        QCOMPARE(doubled, 0);
        QTRY_COMPARE(doubled, 42);
    }
    void sharedDataIsFreedWithLastHandle()
    {
        // Callbacks holding a handle to their own deferred must not keep it alive once it
        // is settled, whether they ran, can no longer run or were for progress.
        auto token = std::make_shared<int>(0);
        for (const bool resolve : {true, false}) {
            Deferred<int> d;
            Deferred<QString> b;
            Deferred<QString> c = d.thenAlias<QString>([b, token](int) { return b; });
            d.done([d, token](int) {}).fail([d, token](int) {}).progress([d, token](int) {});
            d.doneZero([d, token] {}).failZero([d, token] {});
            c.done([c, token](const QString&) {}).progress([c, token](const QString&) {});
            resolve ? d.resolve(1) : d.rejectZero();
            b.notify("half");
            b.resolve("x");
            d.fail([d, token](int) {}).progress([d, token](int) {});
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
};

QTEST_GUILESS_MAIN(tst_Deferred)
#include "tst_deferred.moc"
