#include "DeviceTestBench.h"
#include "GPS.h"
#include "TestBroker.h"

#include <QSignalSpy>
#include <QtTest>

using manager::GPSManager;

namespace {
// No configuration names the GPS topic: the creator chooses it.
const QString base = QStringLiteral("vehicle/gps");
} // namespace

class TestGps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_gps = &m_bench->make<GPSManager>(base);
        QVERIFY(m_bench->start(base + "/#"));
    }
    void cleanup() { m_bench.reset(); }

    void infoAndStatusAnnouncedEveryTime();
    void telemetry_data();
    void telemetry();

private:
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    GPSManager* m_gps = nullptr;
};

void TestGps::infoAndStatusAnnouncedEveryTime()
{
    QSignalSpy info(m_gps, &GPSManager::infoChanged);
    const QJsonObject fullInfo {
        {"device", QJsonObject {{"firmware", "FW1"}, {"imei", "3569"}, {"assisted", true}}},
        {"service", QJsonObject {{"type", "gps"}, {"version", "2.0"}}}};
    QVERIFY(m_bench->deliver(base + "/info", fullInfo));
    QVERIFY(m_bench->deliver(base + "/info", fullInfo));
    QCOMPARE(info.count(), 2);
    const auto announced = info.at(1).at(0).value<GPSManager::Info>();
    QCOMPARE(QStringList({announced.firmware, announced.imei, announced.type, announced.version}),
             QStringList({"FW1", "3569", "gps", "2.0"}));
    QVERIFY(announced.assisted);

    QSignalSpy status(m_gps, &GPSManager::statusChanged);
    const QJsonObject online {
        {"service", true},
        {"simulation", true},
        {"device", QJsonObject {{"fix", 3}, {"state", 2}, {"error", "Antenna open"}}}};
    for (int i = 0; i < 2; ++i)
        QVERIFY(m_bench->deliver(base + "/status", online));
    QCOMPARE(status.count(), 2);
    auto s = status.at(1).at(0).value<GPSManager::Status>();
    QCOMPARE(QVariantList({s.fix, s.state, s.simulation, s.error}),
             QVariantList({3, 2, true, "Antenna open"}));

    // A service that is down: offline, whatever its device says.
    QVERIFY(m_bench->deliver(base + "/status", QJsonObject {{"service", false}, {"device", 1}}));
    s = m_gps->status();
    QCOMPARE(QVariantList({s.fix, s.state, s.simulation, s.error}),
             QVariantList({0, -1, false, "Manager is offline"}));
    QCOMPARE(status.count(), 3);
}

void TestGps::telemetry_data()
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

void TestGps::telemetry()
{
    QFETCH(QJsonValue, altitude);
    QFETCH(double, expected);

    QVERIFY(!m_gps->telemetry().timestamp.isValid());
    QVERIFY(m_bench->deliver(base + "/data",
                             QJsonObject {{"latitude", "37.98"}, {"altitude", "70.5"}}));
    QSignalSpy telemetry(m_gps, &GPSManager::telemetryChanged);
    if (expected == 70.5 && !altitude.isUndefined() && !altitude.isNull())
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression("^Ignoring telemetry 'altitude': not a number \\(\\w+\\)$"));
    QJsonObject data {{"direction", "90"}};
    if (!altitude.isUndefined())
        data.insert("altitude", altitude);
    QVERIFY(m_bench->deliver(base + "/data", data));
    QCOMPARE(telemetry.count(), 1);
    const auto announced = telemetry.at(0).at(0).value<GPSManager::Telemetry>();
    QCOMPARE(announced.altitude, expected);
    QCOMPARE(announced.direction, 90.0);
    QCOMPARE(announced.latitude, 37.98);
    // Stamped with the arrival time.
    QVERIFY(announced.timestamp.isValid());
}

QTEST_GUILESS_MAIN(TestGps)
#include "tst_gps.moc"
