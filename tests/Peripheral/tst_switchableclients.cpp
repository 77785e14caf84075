// The barcode scanner and the GPS receiver, on one connection against a scripted service.

#include "Barcode.h"
#include "DeviceTestBench.h"
#include "GPS.h"
#include "MessageCapture.h"
#include "TestBroker.h"

#include <QSignalSpy>
#include <QtTest>

using manager::BarcodeManager;
using manager::GPSManager;

namespace {
const QString barcode = QStringLiteral("ovant/barcode");
// No configuration names the GPS topic: the creator chooses it.
const QString gps = QStringLiteral("ovant/gps");
} // namespace

class TestSwitchableClients : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_scanner = &m_bench->make<BarcodeManager>(barcode);
        m_gps = std::make_unique<GPSManager>(m_bench->client(), gps);
        QVERIFY(m_bench->start("ovant/#"));
    }
    void cleanup()
    {
        m_gps.reset();
        m_bench.reset();
    }

    void status_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("status");

        const auto row
            = [](const char* name, const QString& topic, const char* payload, const char* status) {
                  QTest::newRow(name) << topic << QByteArray(payload) << status;
              };
        const QString scanner = barcode + "/status";
        row("service down", scanner, R"({"service": false})", "offline");
        row("no service", scanner, "{}", "offline");
        // Not active: an error, whatever "enabled" says.
        row("not active", scanner,
            R"({"service": true, "device": {"active": false, "enabled": true}})", "error");
        row("no device part", scanner, R"({"service": true})", "error");
        row("enabled", scanner, R"({"service": true, "device": {"active": true, "enabled": true}})",
            "enabled");
        row("disabled", scanner, R"({"service": true, "device": {"active": true}})", "disabled");
        // The receiver's status (fix, state, simulation, error) is announced every time.
        row("receiver", gps + "/status",
            R"({"service": true, "simulation": true, "device": {"fix": 3, "state": 2, "error": "Antenna open"}})",
            "3 2 1 Antenna open");
        row("receiver service down", gps + "/status", R"({"service": false, "device": 1})",
            "0 -1 0 Manager is offline");
    }

    void status()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(QString, status);

        QSignalSpy scanner(m_scanner, &BarcodeManager::statusChanged);
        QSignalSpy receiver(m_gps.get(), &GPSManager::statusChanged);
        QVERIFY(m_bench->deliver(topic, payload));
        QVERIFY(m_bench->deliver(topic, payload));
        if (topic.startsWith(barcode)) {
            QCOMPARE(m_scanner->status(), status);
            QCOMPARE(scanner.count(), 1);
            QCOMPARE(scanner.at(0).at(0).toString(), status);
        } else {
            QCOMPARE(receiver.count(), 2);
            const auto s = receiver.at(1).at(0).value<GPSManager::Status>();
            QCOMPARE(QStringList({QString::number(s.fix), QString::number(s.state),
                                  QString::number(s.simulation), s.error})
                         .join(' '),
                     status);
        }
    }

    void infoScansAndCommands()
    {
        QVERIFY(m_bench->deliver(
            barcode + "/info",
            QJsonObject {{"device", QJsonObject {{"firmware", "3.2"}, {"model", "BS-1"}}},
                         {"service", QJsonObject {{"type", "barcode"}, {"version", "1.0.4"}}}}));
        const auto& info = m_scanner->info();
        QCOMPARE(
            QStringList({info.firmware, info.manufacturer, info.model, info.type, info.version}),
            QStringList({"3.2", "", "BS-1", "barcode", "1.0.4"}));
        // The receiver's identification is announced every time, with its own fields.
        QSignalSpy receiverInfo(m_gps.get(), &GPSManager::infoChanged);
        const QJsonObject fullInfo {
            {"device", QJsonObject {{"firmware", "FW1"}, {"imei", "3569"}, {"assisted", true}}},
            {"service", QJsonObject {{"type", "gps"}, {"version", "2.0"}}}};
        QVERIFY(m_bench->deliver(gps + "/info", fullInfo));
        QVERIFY(m_bench->deliver(gps + "/info", fullInfo));
        QCOMPARE(receiverInfo.count(), 2);
        const auto announced = receiverInfo.at(1).at(0).value<GPSManager::Info>();
        QCOMPARE(
            QStringList({announced.firmware, announced.imei, announced.type, announced.version}),
            QStringList({"FW1", "3569", "gps", "2.0"}));
        QVERIFY(announced.assisted);

        // Every scan is announced, also one without text.
        QSignalSpy scanned(m_scanner, &BarcodeManager::barcodeScanned);
        QVERIFY(m_bench->deliver(barcode + "/barcode", QJsonObject {{"data", "ABC-123"}}));
        QVERIFY(m_bench->deliver(barcode + "/barcode", QJsonObject {{"other", "x"}}));
        QCOMPARE(scanned.count(), 2);
        QCOMPARE(scanned.at(0).at(0).toString(), QStringLiteral("ABC-123"));
        QCOMPARE(scanned.at(1).at(0).toString(), QString());

        // The clients hear their own commands and other topics under their base: these are
        // not parsed, so no malformed messages.
        MessageCapture log;
        TestPeer& service = m_bench->service();
        QVERIFY(m_scanner->enable() && m_gps->enable());
        QVERIFY(m_scanner->disable() && m_gps->disable());
        QVERIFY(service.publish(barcode + "/response/1", QByteArray("garbage")));
        QVERIFY(service.waitForMessages(gps + "/disable"));
        QVERIFY(m_bench->sync());
        for (const QString& topic : {barcode + "/enable", barcode + "/disable", gps + "/enable"})
            QCOMPARE(service.last(topic).payload, QByteArray());
        QCOMPARE(log.messages(QtCriticalMsg) + log.messages(QtWarningMsg), QStringList());
        QCOMPARE(m_scanner->status(), QString());

        manager::MqttClient offline;
        BarcodeManager unconnected(offline, barcode);
        QVERIFY(!unconnected.enable());
        QVERIFY(!unconnected.disable());
    }

    void telemetry_data()
    {
        QTest::addColumn<QJsonValue>("altitude");
        QTest::addColumn<double>("expected");

        // The service sends texts; a plain number means the same.
        QTest::newRow("text") << QJsonValue(" -12.75 ") << -12.75;
        QTest::newRow("exponent") << QJsonValue("1.2e3") << 1200.0;
        QTest::newRow("number") << QJsonValue(12) << 12.0;
        // No reading: the last value stays rather than a made-up 0.
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 70.5;
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << 70.5;
        QTest::newRow("not a number") << QJsonValue("high") << 70.5;
        QTest::newRow("infinite") << QJsonValue("1e999") << 70.5;
        QTest::newRow("bool") << QJsonValue(true) << 70.5;
    }

    void telemetry()
    {
        QFETCH(QJsonValue, altitude);
        QFETCH(double, expected);

        QVERIFY(!m_gps->telemetry().timestamp.isValid());
        QVERIFY(m_bench->deliver(gps + "/data",
                                 QJsonObject {{"latitude", "37.98"}, {"altitude", "70.5"}}));
        QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);
        QJsonObject data {{"direction", "90"}};
        if (!altitude.isUndefined())
            data.insert("altitude", altitude);
        QVERIFY(m_bench->deliver(gps + "/data", data));
        QCOMPARE(telemetry.count(), 1);
        const auto announced = telemetry.at(0).at(0).value<GPSManager::Telemetry>();
        QCOMPARE(announced.altitude, expected);
        QCOMPARE(announced.direction, 90.0);
        QCOMPARE(announced.latitude, 37.98);
        QVERIFY(announced.timestamp.isValid()); // the arrival time
    }

private:
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    BarcodeManager* m_scanner = nullptr;
    std::unique_ptr<GPSManager> m_gps;
};

QTEST_GUILESS_MAIN(TestSwitchableClients)
#include "tst_switchableclients.moc"
