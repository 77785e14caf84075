#include "Barcode.h"
#include "Board.h"
#include "Clock.h"
#include "DeviceTestBench.h"
#include "Dispenser.h"
#include "Ethernet.h"
#include "GPS.h"
#include "Inspector.h"
#include "KVRTTerminal.h"
#include "MessageCapture.h"
#include "Network.h"
#include "RFID.h"
#include "TestBroker.h"
#include "Update.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <memory>

using namespace manager;

namespace {

// Everything a client shows through its properties (and those of the objects it
// hands out), as one text.
QString propertiesOf(const QObject* object)
{
    QStringList parts;
    const QMetaObject* meta = object->metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QVariant value = meta->property(i).read(object);
        QString text = QString::fromLatin1(value.typeName());
        if (QMetaType::typeFlags(value.userType()) & QMetaType::PointerToQObject)
            text = value.value<QObject*>() ? propertiesOf(value.value<QObject*>()) : "null";
        else if (value.canConvert<QString>())
            text = value.toString();
        else if (value.canConvert<QVariantList>())
            text = QJsonDocument(QJsonArray::fromVariantList(value.toList())).toJson();
        parts << QString::fromLatin1(meta->property(i).name()) + '=' + text;
    }
    return parts.join(QLatin1Char(' '));
}

QString barcodeState(const QObject* object)
{
    const auto* scanner = static_cast<const BarcodeManager*>(object);
    const auto& info = scanner->info();
    return QStringList {scanner->status(), info.firmware, info.manufacturer,
                        info.model,        info.type,     info.version}
        .join('|');
}

QString gpsState(const QObject* object)
{
    // The time stamp is left out: it tells when the last data message came.
    const auto* gps = static_cast<const GPSManager*>(object);
    const auto& i = gps->info();
    const auto& s = gps->status();
    const auto& t = gps->telemetry();
    return QStringList {i.firmware, i.manufacturer, i.model, i.imei, i.type, i.version, s.error}
               .join('|')
        + QString::asprintf("|%d|%d|%d|%d", i.assisted, s.fix, s.state, s.simulation)
        + QString::asprintf("|%g|%g|%g|%g|%g|%g|%g|%g|%g", t.latitude, t.longitude, t.altitude,
                            t.direction, t.groundSpeed, t.verticalSpeed, t.verticalAccuracy,
                            t.horizontalAccuracy, t.magneticVariation);
}

// A client kind: how to make it, what it listens to (topics whose fields are read,
// and topics parsed but whose content does not matter), and messages ("suffix json")
// that take it away from its initial state, so that garbage resetting it shows.
struct Kind
{
    const char* base;
    const char* read;
    const char* parsed;
    bool typedReads; // fields of the wrong type are logged and ignored
    bool emptyIsError; // an empty payload is malformed (otherwise it reads as "{}")
    QObject& (*make)(DeviceTestBench& bench, const QString& base);
    QStringList seed;
    QString (*state)(const QObject* client) = propertiesOf;
};

template<class Client>
QObject& make(DeviceTestBench& bench, const QString& base)
{
    return bench.make<Client>(base);
}

const QMap<QString, Kind> kinds {
    {"KVRTTerminal",
     {"test/blm",
      "/info /status /config /rfid/scanned /barcode/scanned ovant/rfid/card/found",
      "/rfid/retry /barcode/maintenance/scanned",
      true,
      false,
      make<KVRTTerminal>,
      {R"(/status {"service": true, "state": {"hasRfid": true, "hasObu": true, "hasRoute": true},
          "obu": {"vehicleUuid": "bus-17"}, "device": {"rfid": {"state": 1, "firmware": "r1"}}})",
       R"(/config {"blm": {"obu_host": "obu"}, "validator": {"qr_passback": "true"}})",
       R"(/info {"service": {"version": "2.4.1"}})"}}},
    {"Board",
     {"ovant/board",
      "/info /status /config /display /power /audio /event",
      "",
      true,
      false,
      make<Board>,
      {R"(/status {"service": true, "device": {"active": true, "ignition": true, "poleId": "P",
          "temperature": 41.5, "uptime": 3600, "hardwareStatus": {"rtcFailed": true}}})",
       R"(/power {"display": true})", R"(/audio {"mute": true})",
       R"(/display {"brightness": 80, "sensor": 35, "mode": "auto"})",
       R"(/config {"device": {"delayShutdownFor": 30}})",
       R"(/info {"device": {"firmwareVersion": "2.1"}})"}}},
    {"Inspector",
     {"test/inspector",
      "/info /status /audio",
      "/stats/cpu /stats/memory /stats/disk",
      true,
      false,
      make<Inspector>,
      {R"(/status {"service": true})", R"(/audio {"internal": {"volume": 70}})",
       R"(/info {"service": {"version": "3.1"}})"}}},
    {"Barcode",
     {"ovant/barcode",
      "/info /status /barcode",
      "",
      true,
      true,
      make<BarcodeManager>,
      {R"(/status {"service": true, "device": {"active": true}})",
       R"(/info {"device": {"model": "BS-1"}})"},
      barcodeState}},
    {"GPS",
     {"vehicle/gps",
      "/info /status /data",
      "",
      true,
      true,
      make<GPSManager>,
      {R"(/status {"service": true, "device": {"fix": 3, "state": 2}})",
       R"(/info {"device": {"imei": "3569", "assisted": true}})",
       R"(/data {"latitude": "37.98", "altitude": 70.5})"},
      gpsState}},
    // These two read their fields without type checks: only what is no JSON.
    {"Dispenser",
     {"test/dispenser",
      "/info /status",
      "/card/inserted /card/removed /card/disposed",
      false,
      false,
      make<Dispenser>,
      {R"(/status {"service": true, "device": {"active": true, "cardInRfid": true}})",
       R"(/info {"device": {"model": "D-1"}})"}}},
    {"RFID",
     {"test/rfid",
      "/info /status /card/found /card/autoread",
      "/card/removed",
      false,
      true,
      make<RFID>,
      {R"(/status {"service": true, "device": {"state": 1}})",
       R"(/info {"device": {"uid": "0042"}})"}}},
    {"Network",
     {"test/network",
      "/status",
      "/info",
      true,
      false,
      make<Network>,
      {R"(/status {"stateStr": "connected", "hostname": "kvrt", "primaryConnection":
          {"interface": "eth0", "ipv4": {"address": "192.0.2.5"}}})"}}},
    {"Ethernet",
     {"test/network",
      "/ethernet/state /ethernet/config",
      "",
      true,
      false,
      make<Ethernet>,
      {R"(/ethernet/state {"interface": "eth0", "stateStr": "up", "ipv4": {"address": "192.0.2.5"}})",
       R"(/ethernet/config {"interface": "eth0", "method": "manual", "address": "192.0.2.9"})"}}},
    {"Clock",
     {"test/device",
      "/clock/ntp/status /clock/ntp/config",
      "",
      true,
      true,
      // No time-zone tool (it would change the state at its own pace); the bench's
      // service object owns the client.
      [](DeviceTestBench& bench, const QString& base) -> QObject& {
          return *new Clock(bench.client(), base, &bench.service(), "/nonexistent/timedatectl");
      },
      {R"(/clock/ntp/status {"enabled": true, "synced": true})",
       R"(/clock/ntp/config {"server": "pool.ntp.org"})"}}},
    {"Update",
     {"test/device",
      "/status /update/software/status /update/software/progress /update/software/progess",
      "",
      true,
      false,
      make<Update>,
      {R"(/status {"update": {"software": {"current": "1.4.2", "pending": "1.5.0"}}})",
       R"(/update/software/progress {"message": "Unpacking", "progress": 40, "version": "1.5"})"}}},
};

// Every field any client reads, all of one wrong type.
QByteArray wrongTypes(const QByteArray& value, int padding = 0)
{
    QByteArray text = "{\"padding\": \"" + QByteArray(padding, 'p') + '"';
    for (const QByteArray& key :
         QByteArray("service device state obu route blm validator transaction uid type name data "
                    "mute brightness sensor mode internal simulation latitude longitude altitude "
                    "direction groundSpeed verticalSpeed verticalAccuracy horizontalAccuracy "
                    "magneticVariation update current pending message progress version enabled "
                    "synced server stateStr hostname primaryConnection interface")
             .split(' '))
        text += ", \"" + key + "\": " + value;
    return text + '}';
}

QByteArray nested(int depth)
{
    return QByteArray(depth, '[') + QByteArray(depth, ']');
}

} // namespace

class TestDeviceClients : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void garbageIsLoggedAndChangesNothing_data();
    void garbageIsLoggedAndChangesNothing();

private:
    TestBroker m_broker;
    // One client per kind, kept from row to row: garbage must leave it as it was.
    QString m_kind;
    std::unique_ptr<DeviceTestBench> m_bench;
    QObject* m_client = nullptr;
};

void TestDeviceClients::garbageIsLoggedAndChangesNothing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("json");

    const QList<QPair<const char*, QByteArray>> notJson {
        {"text", "not json at all"},
        {"truncated", R"({"service": true, "device": {)"},
        {"binary", QByteArray("\xff\xfe{\x01\x00\x02", 6)},
        {"single quotes", "{'service': true}"},
        // A document is an object or an array; a bare value is none.
        {"bare value", "42"},
        {"1 MB", QByteArray(1024 * 1024, 'x')},
        {"nested too deep", nested(100000)},
    };
    const QList<QPair<const char*, QByteArray>> wrong {
        {"wrong types", wrongTypes("[1]")},
        {"deep wrong types", wrongTypes(nested(400))},
        {"1 MB of wrong types", wrongTypes("[]", 1024 * 1024)},
    };
    for (auto it = kinds.begin(); it != kinds.end(); ++it) {
        const Kind& kind = it.value();
        const QStringList read = QString(kind.read).split(' ');
        for (const QString& suffix : read + QString(kind.parsed).split(' ', Qt::SkipEmptyParts)) {
            const QString topic = suffix.startsWith('/') ? kind.base + suffix : suffix;
            const auto row = [&](const char* name, const QByteArray& payload, bool json) {
                QTest::addRow("%s %s %s", qPrintable(it.key()), qPrintable(suffix), name)
                    << it.key() << topic << payload << json;
            };
            for (const auto& payload : notJson)
                row(payload.first, payload.second, false);
            if (kind.emptyIsError)
                row("empty", QByteArray(), false);
            if (kind.typedReads && read.contains(suffix)) {
                for (const auto& payload : wrong)
                    row(payload.first, payload.second, true);
            }
        }
    }
}

void TestDeviceClients::garbageIsLoggedAndChangesNothing()
{
    QFETCH(QString, kind);
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, json);

    const Kind& k = kinds[kind];
    if (kind != m_kind) {
        m_bench.reset();
        m_kind = kind;
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_client = &k.make(*m_bench, k.base);
        QVERIFY(m_bench->start(QString::fromLatin1(k.base) + "/#"));
        const QString initial = k.state(m_client);
        for (const QString& message : k.seed) {
            const int space = message.indexOf(' ');
            QVERIFY(m_bench->deliver(k.base + message.left(space), message.mid(space).toUtf8()));
        }
        QVERIFY2(k.state(m_client) != initial, "the seed changes the client's state");
    }

    const QString before = k.state(m_client);
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    const QMetaObject* meta = m_client->metaObject();
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            spies.push_back(std::make_unique<QSignalSpy>(m_client, meta->method(i)));
    }
    MessageCapture log(false);
    QVERIFY(m_bench->deliver(topic, payload));

    QCOMPARE(k.state(m_client), before);
    if (json) {
        // Read, but the malformed fields are logged and ignored.
        QVERIFY(!(log.messages(QtWarningMsg) + log.messages(QtCriticalMsg)).isEmpty());
    } else {
        QCOMPARE(log.messages(QtCriticalMsg).filter("Failed to parse JSON message").size(), 1);
        // A payload is logged up to 512 bytes, with its full length when longer.
        const QString line = log.messages(QtCriticalMsg).constFirst();
        QVERIFY2(line.size() < 700, qPrintable(line.left(700)));
        if (payload.size() > 512 && line.contains(payload.left(20)))
            QVERIFY(line.contains(QString("... (%1 bytes)").arg(payload.size())));
        for (const auto& spy : spies)
            QVERIFY2(spy->isEmpty(), spy->signal().constData());
    }
}

QTEST_GUILESS_MAIN(TestDeviceClients)
#include "tst_deviceclients.moc"
