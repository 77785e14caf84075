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

#include <QtTest>

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

// These two keep their state in plain structures.
QString barcodeState(const QObject* object)
{
    const auto* scanner = static_cast<const BarcodeManager*>(object);
    const auto& i = scanner->info();
    return QStringList {scanner->status(), i.firmware, i.manufacturer, i.model, i.type, i.version}
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
        + QString::asprintf("|%d|%d|%d|%d|%g|%g|%g|%g|%g|%g|%g|%g|%g", i.assisted, s.fix, s.state,
                            s.simulation, t.latitude, t.longitude, t.altitude, t.direction,
                            t.groundSpeed, t.verticalSpeed, t.verticalAccuracy,
                            t.horizontalAccuracy, t.magneticVariation);
}

enum Flags { Untyped = 0, Typed = 1, EmptyIsError = 2 };

// A client kind: its base topic and the topics whose fields it reads (after '|': those it
// parses but whose content does not matter), whether fields of the wrong type are logged
// and ignored, whether an empty payload is malformed (otherwise it reads as "{}"), how to
// make it, and messages ("suffix json", one a line) that take it away from its initial
// state, so that garbage resetting it shows.
struct Kind
{
    const char* topics;
    int flags;
    QObject& (*make)(DeviceTestBench& bench, const QString& base);
    const char* seed;
    QString (*state)(const QObject* client) = propertiesOf;
};

template<class Client>
QObject& make(DeviceTestBench& bench, const QString& base)
{
    return bench.make<Client>(base);
}

// No time-zone tool: it would change the state at its own pace.
QObject& makeClock(DeviceTestBench& bench, const QString& base)
{
    return bench.make<Clock>(base, nullptr, "/nonexistent/timedatectl");
}

const QMap<QString, Kind> kinds {
    {"KVRTTerminal",
     {"test/blm /info /status /config /rfid/scanned /barcode/scanned ovant/rfid/card/found"
      "|/rfid/retry /barcode/maintenance/scanned",
      Typed, make<KVRTTerminal>, R"(
/status {"service": true, "state": {"hasRfid": true, "hasObu": true, "hasRoute": true}, "obu": {"vehicleUuid": "bus-17"}, "device": {"rfid": {"state": 1, "firmware": "r1"}}}
/config {"blm": {"obu_host": "obu"}, "validator": {"qr_passback": "true"}}
/info {"service": {"version": "2.4.1"}})"}},
    {"Board",
     {"ovant/board /info /status /config /display /power /audio /event", Typed, make<Board>, R"(
/status {"service": true, "device": {"active": true, "ignition": true, "poleId": "P", "temperature": 41.5, "uptime": 3600, "hardwareStatus": {"rtcFailed": true}}}
/power {"display": true}
/audio {"mute": true}
/display {"brightness": 80, "sensor": 35, "mode": "auto"}
/config {"device": {"delayShutdownFor": 30}}
/info {"device": {"firmwareVersion": "2.1"}})"}},
    {"Inspector",
     {"test/inspector /info /status /audio|/stats/cpu /stats/memory /stats/disk", Typed,
      make<Inspector>, R"(
/status {"service": true}
/audio {"internal": {"volume": 70}}
/info {"service": {"version": "3.1"}})"}},
    {"Barcode",
     {"ovant/barcode /info /status /barcode", Typed | EmptyIsError, make<BarcodeManager>, R"(
/status {"service": true, "device": {"active": true}}
/info {"device": {"model": "BS-1"}})",
      barcodeState}},
    {"GPS",
     {"vehicle/gps /info /status /data", Typed | EmptyIsError, make<GPSManager>, R"(
/status {"service": true, "device": {"fix": 3, "state": 2}}
/info {"device": {"imei": "3569", "assisted": true}}
/data {"latitude": "37.98", "altitude": 70.5})",
      gpsState}},
    {"Dispenser",
     {"test/dispenser /info /status|/card/inserted /card/removed /card/disposed", Untyped,
      make<Dispenser>, R"(
/status {"service": true, "device": {"active": true, "cardInRfid": true}}
/info {"device": {"model": "D-1"}})"}},
    {"RFID",
     {"test/rfid /info /status /card/found /card/autoread|/card/removed", EmptyIsError, make<RFID>,
      R"(
/status {"service": true, "device": {"state": 1}}
/info {"device": {"uid": "0042"}})"}},
    {"Network", {"test/network /status|/info", Typed, make<Network>, R"(
/status {"stateStr": "connected", "hostname": "kvrt", "primaryConnection": {"interface": "eth0", "ipv4": {"address": "192.0.2.5"}}})"}},
    {"Ethernet", {"test/network /ethernet/state /ethernet/config", Typed, make<Ethernet>, R"(
/ethernet/state {"interface": "eth0", "stateStr": "up", "ipv4": {"address": "192.0.2.5"}}
/ethernet/config {"interface": "eth0", "method": "manual", "address": "192.0.2.9"})"}},
    {"Clock",
     {"test/device /clock/ntp/status /clock/ntp/config", Typed | EmptyIsError, makeClock, R"(
/clock/ntp/status {"enabled": true, "synced": true}
/clock/ntp/config {"server": "pool.ntp.org"})"}},
    {"Update",
     {"test/device /status /update/software/status /update/software/progress "
      "/update/software/progess",
      Typed, make<Update>, R"(
/status {"update": {"software": {"current": "1.4.2", "pending": "1.5.0"}}}
/update/software/progress {"message": "Unpacking", "progress": 40, "version": "1.5"})"}},
};

// Every field any client reads, all of one wrong type.
QByteArray wrongTypes(const QByteArray& value)
{
    QByteArray text = "{\"padding\": 0";
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
        {"truncated", R"({"service": true, "device": {)"},
        {"binary", QByteArray("\xff\xfe{\x01\x00\x02", 6)},
        // Every message is an object: an array or a bare value is none.
        {"array", "[]"},
        {"bare value", "42"},
        {"1 MB", QByteArray(1024 * 1024, 'x')},
        {"nested too deep", nested(100000)},
    };
    for (auto it = kinds.begin(); it != kinds.end(); ++it) {
        const Kind& kind = it.value();
        const QStringList topics = QString(kind.topics).split('|');
        QStringList read = topics[0].split(' ');
        const QString base = read.takeFirst();
        for (const QString& suffix : read + topics.value(1).split(' ', Qt::SkipEmptyParts)) {
            const QString topic = suffix.startsWith('/') ? base + suffix : suffix;
            const auto row = [&](const char* name, const QByteArray& payload, bool json) {
                QTest::addRow("%s %s %s", qPrintable(it.key()), qPrintable(suffix), name)
                    << it.key() << topic << payload << json;
            };
            for (const auto& payload : notJson)
                row(payload.first, payload.second, false);
            if (kind.flags & EmptyIsError)
                row("empty", QByteArray(), false);
            if ((kind.flags & Typed) && read.contains(suffix)) {
                row("wrong types", wrongTypes("[1]"), true);
                row("deep wrong types", wrongTypes(nested(400)), true);
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
        const QString base = QString(k.topics).section(' ', 0, 0);
        m_client = &k.make(*m_bench, base);
        QVERIFY(m_bench->start(base + "/#"));
        const QString initial = k.state(m_client);
        for (const QString& message : QString(k.seed).split('\n', Qt::SkipEmptyParts)) {
            const int space = message.indexOf(' ');
            QVERIFY(m_bench->deliver(base + message.left(space), message.mid(space).toUtf8()));
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
        return;
    }
    QCOMPARE(log.messages(QtCriticalMsg).filter("Failed to parse JSON message").size(), 1);
    // A payload is logged up to 512 bytes, with its full length when longer.
    const QString line = log.messages(QtCriticalMsg).constFirst();
    QVERIFY2(line.size() < 700, qPrintable(line.left(700)));
    if (payload.size() > 512 && line.contains(payload.left(20)))
        QVERIFY(line.contains(QString("... (%1 bytes)").arg(payload.size())));
    for (const auto& spy : spies)
        QVERIFY2(spy->isEmpty(), spy->signal().constData());
}

QTEST_GUILESS_MAIN(TestDeviceClients)
#include "tst_deviceclients.moc"
