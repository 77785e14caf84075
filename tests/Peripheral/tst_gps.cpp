#include "DeviceTestBench.h"
#include "GPS.h"
#include "MessageCapture.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using manager::GPSManager;

namespace {

// No configuration names the GPS topic: the creator chooses it.
const QString base = QStringLiteral("vehicle/gps");

QString topic(const char* suffix)
{
    return base + QLatin1String(suffix);
}

const QJsonObject fullInfo {{"device",
                             QJsonObject {{"firmware", "FW1"},
                                          {"manufacturer", "Quectel"},
                                          {"model", "L76"},
                                          {"imei", "356938035643809"},
                                          {"assisted", true}}},
                            {"service", QJsonObject {{"type", "gps"}, {"version", "2.0"}}}};

const QJsonObject onlineStatus {
    {"service", true},
    {"simulation", true},
    {"device", QJsonObject {{"fix", 3}, {"state", 2}, {"error", "Antenna open"}}}};

const QJsonObject fullData {
    {"latitude", "37.9838"},     {"longitude", "23.7275"},      {"altitude", "70.5"},
    {"direction", "181.25"},     {"groundSpeed", "12.5"},       {"verticalSpeed", "-0.5"},
    {"verticalAccuracy", "3.5"}, {"horizontalAccuracy", "1.5"}, {"magneticVariation", "4.25"}};

QList<double> values(const GPSManager::Telemetry& data)
{
    return {data.latitude,         data.longitude,          data.altitude,
            data.direction,        data.groundSpeed,        data.verticalSpeed,
            data.verticalAccuracy, data.horizontalAccuracy, data.magneticVariation};
}

const QList<double> fullValues {37.9838, 23.7275, 70.5, 181.25, 12.5, -0.5, 3.5, 1.5, 4.25};

} // namespace

class TestGps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startsEmpty();
    void infoAnnouncedEveryTime();
    void statusOfflineWhateverTheDeviceSays();
    void statusOnline();
    void telemetryWholeRecord();
    void telemetryPartialUpdates();
    void telemetryNumbersAndTexts_data();
    void telemetryNumbersAndTexts();
    void enableAndDisable();

    void garbageIsNotJson_data();
    void garbageIsNotJson();
    void garbageWithWrongTypes();
    void otherTopicsAreIgnoredSilently();

private:
    void publishAndSettle(const QString& topic, const QByteArray& payload);
    void publishAndSettle(const QString& topic, const QJsonObject& json);
    void setKnownState();
    void verifyKnownState();

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<GPSManager> m_gps;
};

void TestGps::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void TestGps::init()
{
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_gps = std::make_unique<GPSManager>(m_bench->client(), base);
    QVERIFY(m_bench->start(base + QStringLiteral("/#")));
}

void TestGps::cleanup()
{
    m_gps.reset();
    m_bench.reset();
}

void TestGps::publishAndSettle(const QString& topic, const QByteArray& payload)
{
    QVERIFY(m_bench->service().publish(topic, payload));
    QVERIFY(m_bench->sync());
}

void TestGps::publishAndSettle(const QString& topic, const QJsonObject& json)
{
    publishAndSettle(topic, QJsonDocument(json).toJson(QJsonDocument::Compact));
}

void TestGps::setKnownState()
{
    publishAndSettle(topic("/info"), fullInfo);
    publishAndSettle(topic("/status"), onlineStatus);
    publishAndSettle(topic("/data"), fullData);
    verifyKnownState();
}

void TestGps::verifyKnownState()
{
    QCOMPARE(m_gps->info().model, QStringLiteral("L76"));
    QCOMPARE(m_gps->info().assisted, true);
    QCOMPARE(m_gps->info().version, QStringLiteral("2.0"));
    QCOMPARE(m_gps->status().fix, 3);
    QCOMPARE(m_gps->status().state, 2);
    QCOMPARE(m_gps->status().simulation, true);
    QCOMPARE(m_gps->status().error, QStringLiteral("Antenna open"));
    QCOMPARE(values(m_gps->telemetry()), fullValues);
}

void TestGps::startsEmpty()
{
    QCOMPARE(m_gps->info().firmware, QString());
    QCOMPARE(m_gps->info().assisted, false);
    QCOMPARE(m_gps->status().fix, 0);
    QCOMPARE(m_gps->status().state, 0);
    QCOMPARE(m_gps->status().error, QString());
    QCOMPARE(values(m_gps->telemetry()), (QList<double> {0, 0, 0, 0, 0, 0, 0, 0, 0}));
    QVERIFY(!m_gps->telemetry().timestamp.isValid());
}

void TestGps::infoAnnouncedEveryTime()
{
    QSignalSpy info(m_gps.get(), &GPSManager::infoChanged);
    publishAndSettle(topic("/info"), fullInfo);
    publishAndSettle(topic("/info"), fullInfo);
    QCOMPARE(info.count(), 2);

    const auto announced = info.at(1).at(0).value<GPSManager::Info>();
    for (const GPSManager::Info& record : {announced, m_gps->info()}) {
        QCOMPARE(record.firmware, QStringLiteral("FW1"));
        QCOMPARE(record.manufacturer, QStringLiteral("Quectel"));
        QCOMPARE(record.model, QStringLiteral("L76"));
        QCOMPARE(record.imei, QStringLiteral("356938035643809"));
        QCOMPARE(record.assisted, true);
        QCOMPARE(record.type, QStringLiteral("gps"));
        QCOMPARE(record.version, QStringLiteral("2.0"));
    }

    // Missing fields read as empty or false.
    publishAndSettle(topic("/info"), QJsonObject {{"device", QJsonObject {{"model", "L80"}}}});
    QCOMPARE(info.count(), 3);
    QCOMPARE(m_gps->info().model, QStringLiteral("L80"));
    QCOMPARE(m_gps->info().imei, QString());
    QCOMPARE(m_gps->info().assisted, false);
    QCOMPARE(m_gps->info().version, QString());
}

void TestGps::statusOfflineWhateverTheDeviceSays()
{
    publishAndSettle(topic("/status"), onlineStatus);
    QSignalSpy status(m_gps.get(), &GPSManager::statusChanged);

    publishAndSettle(
        topic("/status"),
        QJsonObject {{"service", false},
                     {"simulation", true},
                     {"device", QJsonObject {{"fix", 3}, {"state", 2}, {"error", "x"}}}});
    QCOMPARE(status.count(), 1);
    const auto announced = status.at(0).at(0).value<GPSManager::Status>();
    for (const GPSManager::Status& record : {announced, m_gps->status()}) {
        QCOMPARE(record.fix, 0);
        QCOMPARE(record.state, -1);
        QCOMPARE(record.simulation, false);
        QCOMPARE(record.error, QStringLiteral("Manager is offline"));
    }

    // No "service" at all: offline too, and announced again.
    publishAndSettle(topic("/status"), QJsonObject {{"device", QJsonObject {{"state", 5}}}});
    QCOMPARE(status.count(), 2);
    QCOMPARE(m_gps->status().state, -1);
}

void TestGps::statusOnline()
{
    QSignalSpy status(m_gps.get(), &GPSManager::statusChanged);
    publishAndSettle(topic("/status"), onlineStatus);
    QCOMPARE(status.count(), 1);
    const auto announced = status.at(0).at(0).value<GPSManager::Status>();
    QCOMPARE(announced.fix, 3);
    QCOMPARE(announced.state, 2);
    QCOMPARE(announced.simulation, true);
    QCOMPARE(announced.error, QStringLiteral("Antenna open"));

    // Announced every time, also unchanged.
    publishAndSettle(topic("/status"), onlineStatus);
    QCOMPARE(status.count(), 2);

    // A null error is no error.
    publishAndSettle(
        topic("/status"),
        QJsonObject {
            {"service", true},
            {"device", QJsonObject {{"fix", 1}, {"state", 1}, {"error", QJsonValue::Null}}}});
    QCOMPARE(m_gps->status().error, QString());
    QCOMPARE(m_gps->status().fix, 1);
    QCOMPARE(m_gps->status().simulation, false);

    publishAndSettle(topic("/status"), onlineStatus);
    publishAndSettle(topic("/status"),
                     QJsonObject {{"service", true}, {"device", QJsonObject {{"fix", 2}}}});
    QCOMPARE(m_gps->status().error, QString());
    QCOMPARE(m_gps->status().state, 0);
    QCOMPARE(status.count(), 5);
}

void TestGps::telemetryWholeRecord()
{
    QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);
    publishAndSettle(topic("/data"), fullData);
    QCOMPARE(telemetry.count(), 1);
    const auto announced = telemetry.at(0).at(0).value<GPSManager::Telemetry>();
    QCOMPARE(values(announced), fullValues);
    QCOMPARE(values(m_gps->telemetry()), fullValues);
    // Stamped with the arrival time.
    QVERIFY(announced.timestamp.isValid());
    QCOMPARE(announced.timestamp, m_gps->telemetry().timestamp);
    QVERIFY(qAbs(announced.timestamp.secsTo(QDateTime::currentDateTimeUtc())) < 3600);
}

void TestGps::telemetryPartialUpdates()
{
    publishAndSettle(topic("/data"), fullData);
    QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);

    publishAndSettle(topic("/data"), QJsonObject {{"latitude", "38.5"}});
    QCOMPARE(telemetry.count(), 1);
    QList<double> expected = fullValues;
    expected[0] = 38.5;
    QCOMPARE(values(telemetry.at(0).at(0).value<GPSManager::Telemetry>()), expected);

    // Null or missing: no new value.
    publishAndSettle(topic("/data"),
                     QJsonObject {{"latitude", QJsonValue::Null}, {"altitude", "-3"}});
    expected[2] = -3;
    QCOMPARE(values(m_gps->telemetry()), expected);

    // An empty record is still announced.
    publishAndSettle(topic("/data"), QJsonObject());
    QCOMPARE(telemetry.count(), 3);
    QCOMPARE(values(m_gps->telemetry()), expected);
}

void TestGps::telemetryNumbersAndTexts_data()
{
    QTest::addColumn<QJsonValue>("altitude");
    QTest::addColumn<double>("expected");
    QTest::addColumn<QString>("warning");

    const QString notNumber = QStringLiteral("Ignoring telemetry 'altitude': not a number (%1)");
    QTest::newRow("text") << QJsonValue("12") << 12.0 << QString();
    QTest::newRow("text with fraction") << QJsonValue(" -12.75 ") << -12.75 << QString();
    QTest::newRow("text with exponent") << QJsonValue("1.2e3") << 1200.0 << QString();
    // The service sends texts; a plain number means the same.
    QTest::newRow("number") << QJsonValue(12) << 12.0 << QString();
    // No reading: the last value stays rather than a made-up 0.
    QTest::newRow("not a number") << QJsonValue("high") << 70.5 << notNumber.arg("string");
    QTest::newRow("empty text") << QJsonValue("") << 70.5 << notNumber.arg("string");
    QTest::newRow("nan") << QJsonValue("nan") << 70.5 << notNumber.arg("string");
    QTest::newRow("infinite") << QJsonValue("1e999") << 70.5 << notNumber.arg("string");
    QTest::newRow("bool") << QJsonValue(true) << 70.5 << notNumber.arg("bool");
    QTest::newRow("object") << QJsonValue(QJsonObject {{"m", 12}}) << 70.5
                            << notNumber.arg("object");
}

void TestGps::telemetryNumbersAndTexts()
{
    QFETCH(QJsonValue, altitude);
    QFETCH(double, expected);
    QFETCH(QString, warning);

    publishAndSettle(topic("/data"), fullData);
    QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    publishAndSettle(topic("/data"), QJsonObject {{"altitude", altitude}, {"direction", "90"}});
    QCOMPARE(telemetry.count(), 1);
    QCOMPARE(m_gps->telemetry().altitude, expected);
    QCOMPARE(m_gps->telemetry().direction, 90.0);
}

void TestGps::enableAndDisable()
{
    TestPeer& service = m_bench->service();
    MessageCapture log;
    QVERIFY(m_gps->enable());
    QVERIFY(m_gps->disable());
    QVERIFY(service.waitForMessages(topic("/disable"), 1));
    QCOMPARE(service.count(topic("/enable")), 1);
    QCOMPARE(service.last(topic("/enable")).payload, QByteArray());
    QCOMPARE(service.last(topic("/disable")).payload, QByteArray());
    // Its own commands come back under the wildcard: not parsed, not reported.
    QVERIFY(m_bench->sync());
    QCOMPARE(log.messages(QtCriticalMsg), QStringList());

    manager::MqttClient offline;
    GPSManager unconnected(offline, base);
    QCOMPARE(unconnected.enable(), false);
    QCOMPARE(unconnected.disable(), false);
}

void TestGps::garbageIsNotJson_data()
{
    QTest::addColumn<QString>("suffix");
    for (const char* suffix : {"/info", "/status", "/data"})
        QTest::newRow(suffix) << QString::fromLatin1(suffix);
}

void TestGps::garbageIsNotJson()
{
    QFETCH(QString, suffix);
    setKnownState();
    QSignalSpy info(m_gps.get(), &GPSManager::infoChanged);
    QSignalSpy status(m_gps.get(), &GPSManager::statusChanged);
    QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);

    const QList<QByteArray> payloads {
        "not json at all",
        "{\"latitude\": \"1\"",
        QByteArray(),
        "true",
        QByteArray("\x00\x01\x02", 3),
        QByteArray(1024 * 1024, '{'),
        QByteArray(100000, '[') + QByteArray(100000, ']'),
    };
    for (const QByteArray& payload : payloads) {
        QTest::ignoreMessage(
            QtCriticalMsg,
            qPrintable("Failed to parse JSON message: " + QString::fromUtf8(payload)));
        publishAndSettle(base + suffix, payload);
    }
    verifyKnownState();
    QCOMPARE(info.count() + status.count() + telemetry.count(), 0);
}

void TestGps::garbageWithWrongTypes()
{
    setKnownState();
    QSignalSpy status(m_gps.get(), &GPSManager::statusChanged);

    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'service' of type number, expected bool");
    publishAndSettle(topic("/status"), QJsonObject {{"service", 1}});
    QCOMPARE(status.count(), 0);

    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'fix' of type string, expected integer");
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'state' of type number, expected integer");
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'error' of type object, expected string");
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'simulation' of type string, expected bool");
    publishAndSettle(
        topic("/status"),
        QJsonObject {
            {"service", true},
            {"simulation", "yes"},
            {"device",
             QJsonObject {{"fix", "3D"}, {"state", 2.5}, {"error", QJsonObject {{"code", 1}}}}}});
    QCOMPARE(status.count(), 1);

    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'device' of type string, expected object");
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'assisted' of type string, expected bool");
    publishAndSettle(topic("/info"), QJsonObject {{"device", "L76"}});
    publishAndSettle(topic("/info"),
                     QJsonObject {{"device",
                                   QJsonObject {{"firmware", "FW1"},
                                                {"manufacturer", "Quectel"},
                                                {"model", "L76"},
                                                {"imei", "356938035643809"},
                                                {"assisted", "yes"}}},
                                  {"service", fullInfo.value("service")}});

    QTest::ignoreMessage(QtWarningMsg, "Ignoring telemetry 'latitude': not a number (array)");
    publishAndSettle(topic("/data"),
                     "{\"latitude\": " + QByteArray(500, '[') + QByteArray(500, ']') + "}");
    // An array document carries no fields.
    publishAndSettle(topic("/data"), QByteArray("[\"1\", \"2\"]"));

    verifyKnownState();
}

void TestGps::otherTopicsAreIgnoredSilently()
{
    setKnownState();
    MessageCapture log;
    QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);
    TestPeer& service = m_bench->service();
    QVERIFY(service.publish(topic("/data/raw"), QByteArray("$GPGGA,123519,4807.038,N")));
    QVERIFY(service.publish(topic("/nmea"), QByteArray()));
    QVERIFY(service.publish(topic("/data/"), QByteArray("{\"latitude\": \"1\"}")));
    QVERIFY(m_bench->sync());
    QCOMPARE(telemetry.count(), 0);
    QCOMPARE(log.messages(QtCriticalMsg), QStringList());
    QCOMPARE(log.messages(QtWarningMsg), QStringList());
    verifyKnownState();
}

QTEST_GUILESS_MAIN(TestGps)
#include "tst_gps.moc"
