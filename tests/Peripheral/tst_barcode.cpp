#include "Barcode.h"
#include "DeviceTestBench.h"
#include "MessageCapture.h"
#include "TestBroker.h"

#include <QSignalSpy>
#include <QtTest>

using manager::BarcodeManager;

namespace {
const QString base = QStringLiteral("ovant/barcode");
} // namespace

class TestBarcode : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_scanner = &m_bench->make<BarcodeManager>(base);
        QVERIFY(m_bench->start(base + "/#"));
    }
    void cleanup() { m_bench.reset(); }

    void statusFollowsService_data();
    void statusFollowsService();
    void infoScansAndCommands();

private:
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    BarcodeManager* m_scanner = nullptr;
};

void TestBarcode::statusFollowsService_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("status");

    QTest::newRow("service down") << QByteArray(R"({"service": false})") << "offline";
    QTest::newRow("no service") << QByteArray("{}") << "offline";
    // Not active: an error, whatever "enabled" says.
    QTest::newRow("not active") << QByteArray(
        R"({"service": true, "device": {"active": false, "enabled": true}})")
                                << "error";
    QTest::newRow("no device part") << QByteArray(R"({"service": true})") << "error";
    QTest::newRow("enabled") << QByteArray(
        R"({"service": true, "device": {"active": true, "enabled": true}})")
                             << "enabled";
    QTest::newRow("disabled") << QByteArray(R"({"service": true, "device": {"active": true}})")
                              << "disabled";
}

void TestBarcode::statusFollowsService()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, status);

    QSignalSpy changed(m_scanner, &BarcodeManager::statusChanged);
    QTest::ignoreMessage(QtWarningMsg, qPrintable("Barcode status is : " + status));
    QVERIFY(m_bench->deliver(base + "/status", payload));
    QVERIFY(m_bench->deliver(base + "/status", payload));
    QCOMPARE(m_scanner->status(), status);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toString(), status);
}

void TestBarcode::infoScansAndCommands()
{
    QVERIFY(m_bench->deliver(
        base + "/info",
        QJsonObject {{"device", QJsonObject {{"firmware", "3.2"}, {"model", "BS-1"}}},
                     {"service", QJsonObject {{"type", "barcode"}, {"version", "1.0.4"}}}}));
    const auto& info = m_scanner->info();
    QCOMPARE(QStringList({info.firmware, info.manufacturer, info.model, info.type, info.version}),
             QStringList({"3.2", "", "BS-1", "barcode", "1.0.4"}));

    // Every scan is announced, also one without text.
    QSignalSpy scanned(m_scanner, &BarcodeManager::barcodeScanned);
    QVERIFY(m_bench->deliver(base + "/barcode", QJsonObject {{"data", "ABC-123"}}));
    QVERIFY(m_bench->deliver(base + "/barcode", QJsonObject {{"other", "x"}}));
    QCOMPARE(scanned.count(), 2);
    QCOMPARE(scanned.at(0).at(0).toString(), QStringLiteral("ABC-123"));
    QCOMPARE(scanned.at(1).at(0).toString(), QString());

    // The client hears its own commands and other topics under its base: they are
    // not parsed, so no malformed messages.
    MessageCapture log;
    TestPeer& service = m_bench->service();
    QVERIFY(m_scanner->enable());
    QVERIFY(m_scanner->disable());
    QVERIFY(service.publish(base + "/response/1", QByteArray("garbage")));
    QVERIFY(service.waitForMessages(base + "/disable"));
    QVERIFY(m_bench->sync());
    QCOMPARE(service.last(base + "/enable").payload, QByteArray());
    QCOMPARE(service.last(base + "/disable").payload, QByteArray());
    QCOMPARE(log.messages(QtCriticalMsg) + log.messages(QtWarningMsg), QStringList());
    QCOMPARE(m_scanner->status(), QString());

    manager::MqttClient offline;
    BarcodeManager unconnected(offline, base);
    QVERIFY(!unconnected.enable());
    QVERIFY(!unconnected.disable());
}

QTEST_GUILESS_MAIN(TestBarcode)
#include "tst_barcode.moc"
