// The software-update client against the simulator's updater on a real broker: a
// check and an installation from start to end, the check's time-out, both spellings
// of the progress topic, and malformed messages.

#include "DeviceTestBench.h"
#include "MessageCapture.h"
#include "TestBroker.h"
#include "Update.h"
#include "UpdateService.h"

#include <QtTest>

#include <memory>

using manager::Update;

class TestUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void checkAndInstall();
    void checkTimesOut_data();
    void checkTimesOut();
    void progressTopics_data();
    void progressTopics();
    void garbageKeepsState_data();
    void garbageKeepsState();

private:
    void publish(const QString& suffix, const QByteArray& payload);

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<UpdateService> m_service;
    std::unique_ptr<Update> m_update;
    QStringList m_statuses;
};

void TestUpdate::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void TestUpdate::init()
{
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_service = std::make_unique<UpdateService>();
    m_service->setCheckDelay(50);
    m_service->setStepDelay(20);
    m_service->connectToBroker(m_broker.host(), m_broker.port());
    m_update = std::make_unique<Update>(m_bench->client(), "ovant/device");
    m_statuses.clear();
    connect(m_update.get(), &Update::statusChanged, this,
            [this] { m_statuses.append(m_update->status()); });
    QVERIFY(m_bench->start("ovant/device/#"));
    QTRY_COMPARE(m_update->status(), QStringLiteral("No pending updates"));
    QCOMPARE(m_update->current(), QStringLiteral("1.4.2"));
}

void TestUpdate::cleanup()
{
    m_update.reset();
    m_service.reset();
    m_bench.reset();
    if (!m_broker.isRunning())
        QVERIFY(m_broker.start());
}

void TestUpdate::publish(const QString& suffix, const QByteArray& payload)
{
    QVERIFY(m_bench->service().publish("ovant/device" + suffix, payload));
    QVERIFY(m_bench->sync());
}

void TestUpdate::checkAndInstall()
{
    MessageCapture log;
    m_update->install(); // nothing pending yet
    QVERIFY(m_bench->sync());
    QCOMPARE(m_bench->service().count("ovant/device/update/software/install"), 0);
    QVERIFY(log.contains("[Update] WARN: Cannot install. There are no pending versions"));

    m_update->check();
    QTRY_COMPARE(m_update->status(), QStringLiteral("Ready to install"));
    QCOMPARE(m_update->pending(), QStringLiteral("1.5.0"));
    m_update->install();
    QTRY_COMPARE(m_update->current(), QStringLiteral("1.5.0"));
    QTRY_COMPARE(m_update->status(), QStringLiteral("No pending updates"));
    QCOMPARE(m_statuses,
             QStringList({"No pending updates", "Checking for updates", "Ready to install",
                          "Downloading", "Installing", "No pending updates"}));
    QCOMPARE(m_update->pending(), QString());
    QCOMPARE(m_update->progressMessage(), QStringLiteral("Idle"));
    QCOMPARE(m_update->progressPercent(), 0);
}

void TestUpdate::checkTimesOut_data()
{
    QTest::addColumn<QString>("pending");
    QTest::addColumn<bool>("brokerUp");
    QTest::addColumn<QString>("status");
    QTest::newRow("nothing pending") << "" << true << "No pending updates";
    QTest::newRow("pending known") << "2.0" << true << "Ready to install";
    QTest::newRow("broker gone") << "" << false << "Disconnected";
}

void TestUpdate::checkTimesOut()
{
    QFETCH(QString, pending);
    QFETCH(bool, brokerUp);
    m_service->setOnline(false); // answers nothing
    publish("/update/software/status", QStringLiteral(R"({"pending":"%1"})").arg(pending).toUtf8());
    if (!brokerUp) {
        m_broker.stop();
        QTRY_COMPARE(m_update->status(), QStringLiteral("Disconnected"));
    }
    m_update->setCheckTimeout(300);
    MessageCapture log;
    m_update->check();
    QCOMPARE(m_update->status(), QStringLiteral("Checking for updates"));
    QFETCH(QString, status);
    QTRY_COMPARE(m_update->status(), status);
    // Offline, the check gives way to the connection's state before its time is up.
    QCOMPARE(log.contains("[Update] No pedning updates"), brokerUp);
}

void TestUpdate::progressTopics_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("status");
    for (const char* suffix : {"/update/software/progress", "/update/software/progess"}) {
        QTest::addRow("%s download", suffix) << suffix << "Fetching 2/5"
                                             << "Downloading";
        QTest::addRow("%s install", suffix) << suffix << "Unpacking"
                                            << "Installing";
    }
}

void TestUpdate::progressTopics()
{
    QFETCH(QString, suffix);
    QFETCH(QString, message);
    m_service->setOnline(false); // the progress stands for the answer
    m_update->setCheckTimeout(300);
    m_update->check();
    publish(
        suffix,
        QStringLiteral(R"({"message":"%1","progress":40,"version":"3.1"})").arg(message).toUtf8());
    QCOMPARE(m_update->progressMessage(), message);
    QCOMPARE(m_update->progressPercent(), 40);
    QCOMPARE(m_update->pending(), QStringLiteral("3.1"));
    QTEST(m_update->status(), "status");
    QTest::qWait(600); // the check's time-out was called off
    QTEST(m_update->status(), "status");
}

void TestUpdate::garbageKeepsState_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("logged");
    const QByteArray broken = "{\"update\":";
    for (const char* suffix : {"/status", "/update/software/status", "/update/software/progress",
                               "/update/software/progess"})
        QTest::addRow("%s broken", suffix) << suffix << broken << "Failed to parse JSON message: ";
    QTest::newRow("software a number")
        << "/status" << QByteArray(R"({"update":{"software":5}})") << "software";
    QTest::newRow("update a text") << "/status" << QByteArray(R"({"update":"1.0"})") << "update";
    QTest::newRow("versions numbers")
        << "/update/software/status" << QByteArray(R"({"current":1,"pending":"x"})") << "current";
    QTest::newRow("progress a text")
        << "/update/software/progress" << QByteArray(R"({"message":"a/b","progress":"half"})")
        << "progress";
}

void TestUpdate::garbageKeepsState()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QString, logged);
    MessageCapture log;
    publish(suffix, payload);
    QVERIFY2(log.contains(logged), qPrintable(log.messages().join('\n')));
    QCOMPARE(QStringList({m_update->status(), m_update->current(), m_update->pending(),
                          m_update->progressMessage()}),
             QStringList({"No pending updates", "1.4.2", "", "Idle"}));
}

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
