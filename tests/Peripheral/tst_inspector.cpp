#include "DeviceTestBench.h"
#include "Inspector.h"
#include "MessageCapture.h"
#include "TestBroker.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using manager::Inspector;

namespace {
const QString base = QStringLiteral("test/inspector");
const QString shutdown = base + "/power/shutdown/request/1";
QJsonObject volume(int percent)
{
    return {{"internal", QJsonObject {{"volume", percent}}}};
}
} // namespace

class TestInspector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_inspector = &m_bench->make<Inspector>(base);
        QVERIFY(m_bench->start(base + "/#"));
    }
    void cleanup() { m_bench.reset(); }

    void refreshAndMonitor();
    void status_data();
    void status();
    void infoAudioAndStatistics();
    void powerRequests_data();
    void powerRequests();
    void scheduledShutdownKeepsItsDeadlineAndCanBeAborted();

private:
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    Inspector* m_inspector = nullptr;
};

void TestInspector::refreshAndMonitor()
{
    // On connection the volume and the statistics are asked for; information and
    // status are published by the service itself.
    TestPeer& service = m_bench->service();
    QStringList asked;
    for (const auto& message : service.messages(base + "/#"))
        asked << message.topic.mid(base.size()) + ' ' + message.payload;
    QCOMPARE(asked,
             QStringList({"/audio/get {}", "/stats/memory/get {}", "/stats/disk/get {}",
                          "/stats/cpu/get {}"}));

    QTest::ignoreMessage(QtInfoMsg, "[Inspector] Monitor started : 100 msec(s)");
    m_inspector->monitor(100);
    QVERIFY(service.waitForMessages(base + "/stats/cpu/get", 4, 20000));
    QTest::ignoreMessage(QtInfoMsg, "[Inspector] Monitor stopped");
    m_inspector->monitor(0);
    QVERIFY(m_bench->sync());
    const int stopped = service.count(base + "/stats/cpu/get");
    QTest::qWait(500);
    QVERIFY(m_bench->sync());
    QCOMPARE(service.count(base + "/stats/cpu/get"), stopped);
}

void TestInspector::status_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");

    QTest::newRow("running") << QByteArray(R"({"service": true})") << "online";
    QTest::newRow("stopped") << QByteArray(R"({"service": false})") << "offline";
    QTest::newRow("empty") << QByteArray() << "offline";
}

void TestInspector::status()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);

    QSignalSpy spy(m_inspector, &Inspector::statusChanged);
    QTest::ignoreMessage(QtInfoMsg, qPrintable("[Inspector] Status changed : " + expected));
    QVERIFY(m_bench->deliver(base + "/status", payload));
    QVERIFY(m_bench->deliver(base + "/status", payload));
    QCOMPARE(m_inspector->status(), expected);
    QCOMPARE(spy.count(), 1);
}

void TestInspector::infoAudioAndStatistics()
{
    QSignalSpy info(m_inspector, &Inspector::infoChanged);
    const QJsonObject version {{"service", QJsonObject {{"version", "1.2.3"}}}};
    QVERIFY(m_bench->deliver(base + "/info", version));
    QVERIFY(m_bench->deliver(base + "/info", version));
    QCOMPARE(m_inspector->info(), (QVariantMap {{"version", "1.2.3"}}));
    QCOMPARE(info.count(), 2);

    QSignalSpy volumeSpy(m_inspector, &Inspector::audioVolumeChanged);
    QVERIFY(m_bench->deliver(base + "/audio", volume(40)));
    QVERIFY(m_bench->deliver(base + "/audio", volume(40)));
    QCOMPARE(m_inspector->property("audioVolume").toInt(), 40);
    QCOMPARE(volumeSpy.count(), 1);

    // Commands are always sent; the volume follows the service's report only.
    TestPeer& service = m_bench->service();
    m_inspector->setProperty("audioVolume", 40);
    m_inspector->audioPlay("/opt/Valid.wav");
    QVERIFY(service.waitForMessages(base + "/audio/play"));
    QCOMPARE(service.last(base + "/audio/set").json(), volume(40));
    QCOMPARE(service.last(base + "/audio/play").json(),
             (QJsonObject {{"device", "internal"}, {"filepath", "/opt/Valid.wav"}}));
    QVERIFY(service.last(base + "/audio/play").payload.contains('\n'));

    // Statistics are asked for but not evaluated; a report without a volume reads as 0.
    for (const char* stats : {"/stats/cpu", "/stats/memory", "/stats/disk"})
        QVERIFY(m_bench->deliver(base + stats, volume(3)));
    QCOMPARE(m_inspector->memory(), QVariantMap());
    QCOMPARE(volumeSpy.count(), 1);
    QVERIFY(m_bench->deliver(base + "/audio", QJsonObject {{"external", 10}}));
    QCOMPARE(m_inspector->audioVolume(), 0);
}

void TestInspector::powerRequests_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<int>("leadMsec");

    // Announced first so that the busy screen shows before the power goes.
    QTest::newRow("reboot") << "reboot" << base + "/power/reboot/request/1" << 0;
    QTest::newRow("shutdown") << "shutdown" << shutdown << 0;
    QTest::newRow("scheduled") << "1" << shutdown << 1000;
    // Negative: at once; beyond the timer's range it is cut rather than overflowing.
    QTest::newRow("negative delay") << "-5" << shutdown << 0;
}

void TestInspector::powerRequests()
{
    QFETCH(QString, call);
    QFETCH(QString, topic);
    QFETCH(int, leadMsec);

    QSignalSpy reboot(m_inspector, &Inspector::systemRebootStarted);
    QSignalSpy off(m_inspector, &Inspector::systemShutdownStarted);
    QElapsedTimer elapsed;
    elapsed.start();
    if (call == "reboot")
        m_inspector->systemReboot();
    else if (call == "shutdown")
        m_inspector->systemShutdown();
    else
        m_inspector->scheduleShutdown(call.toInt());
    QTRY_COMPARE_WITH_TIMEOUT(reboot.count() + off.count(), 1, 20000);
    QCOMPARE(reboot.count(), int(call == "reboot"));
    QCOMPARE(m_bench->service().count(topic), 0);
    QVERIFY(m_bench->service().waitForMessages(topic, 1, 20000));
    QVERIFY(elapsed.elapsed() >= (leadMsec + Inspector::PowerRequestDelayMsec) * 3 / 4);
    QCOMPARE(m_bench->service().last(topic).payload, QByteArray());
}

void TestInspector::scheduledShutdownKeepsItsDeadlineAndCanBeAborted()
{
    QSignalSpy off(m_inspector, &Inspector::systemShutdownStarted);
    MessageCapture log;
    m_inspector->abortShutdown(); // nothing to abort: nothing logged
    m_inspector->scheduleShutdown(std::numeric_limits<int>::max());
    // A second request does not replace the deadline: repeated ignition-off
    // reports must not postpone the power-off.
    m_inspector->scheduleShutdown(1);
    QVERIFY(m_inspector->isShutdownScheduled());
    m_inspector->abortShutdown();
    QVERIFY(!m_inspector->isShutdownScheduled());
    QCOMPARE(log.messages().filter("[Inspector] "),
             QStringList({"[Inspector] Scheduling System shutdown in : 2147483647 sec(s)",
                          "[Inspector] Aborting System shutdown"}));
    QTest::qWait(200);
    QCOMPARE(off.count(), 0);
}

QTEST_GUILESS_MAIN(TestInspector)
#include "tst_inspector.moc"
