// The board, the system inspector, the barcode scanner, the GPS receiver and the wired
// network interface, on one connection against a scripted service.

#include "Barcode.h"
#include "Board.h"
#include "DeviceTestBench.h"
#include "Ethernet.h"
#include "GPS.h"
#include "Inspector.h"
#include "MessageCapture.h"
#include "TableRows.h"
#include "TestBroker.h"

#include <QtTest>

using namespace manager;

namespace {

const QString board = QStringLiteral("ovant/board");
const QString inspector = QStringLiteral("ovant/inspector");
const QString barcode = QStringLiteral("ovant/barcode");
// No configuration names the GPS topic: the creator chooses it.
const QString gps = QStringLiteral("ovant/gps");
constexpr int Wait = 20000;

} // namespace

class TestScriptedClients : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_board = &m_bench->make<Board>(board);
        m_inspector = std::make_unique<Inspector>(m_bench->client(), inspector);
        m_scanner = std::make_unique<BarcodeManager>(m_bench->client(), barcode);
        m_gps = std::make_unique<GPSManager>(m_bench->client(), gps);
        m_ethernet = std::make_unique<Ethernet>(m_bench->client(), "ovant/network");
        QVERIFY(m_bench->start("ovant/#"));
    }
    void cleanup()
    {
        m_inspector.reset(), m_scanner.reset(), m_gps.reset(), m_ethernet.reset();
        m_bench.reset();
    }
    void askedOnConnectionAndWhileMonitored()
    {
        QCOMPARE(asked(board), "/status/get {} /display/get {} /power/get {} /audio/get {}");
        QCOMPARE(asked(inspector),
                 "/audio/get {} /stats/memory/get {} /stats/disk/get {} /stats/cpu/get {}");
        TestPeer& service = m_bench->service();
        m_inspector->monitor(100);
        QVERIFY(service.waitForMessages(inspector + "/stats/cpu/get", 4, 20000));
        m_inspector->monitor(0);
        QVERIFY(m_bench->sync());
        const int stopped = service.count(inspector + "/stats/cpu/get");
        QTest::qWait(500);
        QVERIFY(m_bench->sync() && service.count(inspector + "/stats/cpu/get") == stopped);
    }
    void reports_data()
    {
        // Payloads ";"-separated, each delivered twice, FULL the full status; the state as
        // property=value; the signals emitted by the client in all. Values are announced when
        // they change; the report of a service that is down or of a device not active changes
        // the status only. Ignition events are announced even when unchanged, information at
        // every report.
        addTextRows({"topic", "payloads", "state", "emissions"}, R"(
board status | /status | FULL | status=online VALUES | 7
service down | /status | FULL; {"service": false, "device": {"active": true}} | status=offline VALUES | 8
not active | /status | FULL; {"service": true, "device": {"active": false}} | status=error VALUES | 8
missing values read as defaults | /status | FULL; {"service": true, "device": {"active": true, "uptime": 3660}} | status=online ignition=false poleId= temperature=0 voltage=0 uptime=3660 rtcFailed=false | 13
0 | /event | {"name": "IgnitionChanged", "data": 0} | ignition=false | 2
"on" | /event | {"name": "IgnitionChanged", "data": "on"} | ignition=true | 2
false | /event | {"name": "IgnitionChanged", "data": false} | ignition=false | 2
ignition without state | /event | {"name": "IgnitionChanged", "data": null} | ignition=false | 0
other event | /event | {"name": "ignitionchanged", "data": true} | ignition=false | 0
board info | /info | {"device": {"firmwareVersion": "2.1", "hardwareId": "H"}, "service": {"version": "1.4"}} | info={"firmware":"2.1","hardware":"","hardwareId":"H","version":"1.4"} | 2
shutdown delay | /config | {"device": {"delayShutdownFor": 120}} | delayShutdownFor=120 | 1
display | /display | {"brightness": 80, "sensor": 35, "mode": "auto"} | displayBrightness=80 ambientLightSensor=35 displayBrightnessMode=auto | 3
mute | /audio | {"mute": true} | audioEnabled=false | 1
inspector info | /inspector/info | {"service": {"version": "1.2.3"}} | info={"version":"1.2.3"} | 2
volume | /inspector/audio | {"internal": {"volume": 40}} | audioVolume=40 | 1
running | /inspector/status | {"service": true} | status=online | 1
empty status | /inspector/status | | status=offline | 1)");
    }
    void reports()
    {
        QFETCH(QString, topic);
        QFETCH(QString, payloads);
        QFETCH(QString, state);
        state.replace("VALUES",
                      "ignition=true poleId=P-17 temperature=41.5 voltage=12.25 uptime=3600 "
                      "rtcFailed=true");
        payloads.replace("FULL", R"({"service": true, "device": {"active": true, "ignition": true,
            "poleId": "P-17", "temperature": 41.5, "voltage": 12.25, "uptime": 3600,
            "hardwareStatus": {"rtcFailed": true}}})");
        const bool onBoard = !topic.startsWith("/inspector");
        QObject* client = onBoard ? static_cast<QObject*>(m_board) : m_inspector.get();
        const QMetaObject* meta = client->metaObject();
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                spies.push_back(std::make_unique<QSignalSpy>(client, meta->method(i)));
        for (const QString& payload : payloads.split(';'))
            for (int i = 0; i < 2; ++i)
                QVERIFY(m_bench->deliver((onBoard ? board : "ovant") + topic, payload.toUtf8()));
        QStringList shown;
        for (const QString& pair : state.split(' ')) {
            const QString key = pair.section('=', 0, 0);
            // Status and uptime of the board are read by C++ only.
            QVariant value = client->property(qPrintable(key));
            if (onBoard && key == "status")
                value = m_board->status();
            else if (onBoard && key == "uptime")
                value = m_board->uptime();
            const QJsonDocument map(QJsonObject::fromVariantMap(value.toMap()));
            shown << key + '='
                    + (key == "info" ? map.toJson(QJsonDocument::Compact) : value.toString());
        }
        QCOMPARE(shown.join(' '), state);
        int emitted = 0;
        for (const auto& spy : spies)
            emitted += spy->count();
        QTEST(QString::number(emitted), "emissions");
    }
    void peripheralPower()
    {
        QStringList seen;
        connect(m_board, &Board::peripheralPowerChanged, this,
                [&](const QString& key, bool on) { seen << key + '=' + QString::number(on); });
        connect(m_board, &Board::peripheralsChanged, this, [&] { seen << "all"; });
        const QString power = board + "/power";
        QVERIFY(m_bench->deliver(power, {{"usbHub", true}, {"display", false}, {"modem", true}}));
        // Null: the service does not know; nothing new: nothing at all.
        QVERIFY(m_bench->deliver(
            power, {{"usbHub", QJsonValue::Null}, {"display", true}, {"modem", true}}));
        QVERIFY(m_bench->deliver(power, {{"display", true}}));
        QCOMPARE(seen,
                 QStringList({"display=0", "modem=1", "usbHub=1", "all", "display=1", "all"}));
        QVERIFY(m_board->peripheralPower("usbHub") && !m_board->peripheralPower("never reported"));
        // In key order, with the descriptions the settings show.
        const QList<QVariantMap> expected {
            {{"item", "display"}, {"descr", "Display"}, {"value", true}},
            {{"item", "modem"}, {"descr", ""}, {"value", true}},
            {{"item", "usbHub"}, {"descr", "USB Hub"}, {"value", true}}};
        QCOMPARE(m_board->property("peripherals").value<QList<QVariantMap>>(), expected);
        // Written as a whole it only logs: rails are switched one by one.
        QVERIFY(m_board->setProperty("peripherals", QVariant::fromValue(QList<QVariantMap>())));
        QCOMPARE(m_board->peripherals(), expected);
    }
    void commands_data()
    {
        // A property to write or a method to call, on the board or the inspector. The volume is
        // sent even when it is the reported one: the service may have changed it.
        addJsonRows({"arguments", "topic", "json"}, R"([
["setPeripheralPower", ["usbHub", false], "board/power/set", {"usbHub": false}],
["displayBrightness", [42], "board/display/set", {"brightness": 42}],
["displayBrightnessMode", ["manual"], "board/display/set", {"mode": "manual"}],
["audioEnabled", [false], "board/audio/set", {"mute": true}],
["delayShutdownFor", [300], "board/config/set", {"device": {"delayShutdownFor": 300}}],
["playBuzzer", [100, 200], "board/buzzer/play/request/1", {"onMsec": 100, "offMsec": 200, "repeat": 0}],
["setLedValid", [], "board/led/play/request/1", {"repeat": 3, "steps": [{"color": {"r": 0, "g": 255, "b": 0}, "duration": 100}, {"color": {"r": 0, "g": 0, "b": 0}, "duration": 50}]}],
["setLedInvalid", [], "board/led/play/request/1", {"repeat": 3, "steps": [{"color": {"r": 255, "g": 0, "b": 0}, "duration": 100}, {"color": {"r": 0, "g": 0, "b": 0}, "duration": 50}]}],
["setLedTestPattern", [], "board/led/play/request/1", {"repeat": 30, "steps": [{"color": {"r": 255, "g": 0, "b": 0}, "duration": 1000}, {"color": {"r": 0, "g": 0, "b": 0}, "duration": 200}, {"color": {"r": 0, "g": 255, "b": 0}, "duration": 1000}, {"color": {"r": 0, "g": 0, "b": 0}, "duration": 200}]}],
["setLedOff", [], "board/led/off/request/1", {}],
["audioVolume", [0], "inspector/audio/set", {"internal": {"volume": 0}}],
["audioPlay", ["/opt/Valid.wav"], "inspector/audio/play", {"device": "internal", "filepath": "/opt/Valid.wav"}]])");
    }
    void commands()
    {
        const QString member = QTest::currentDataTag();
        const QString topic = "ovant/" + cell("topic").toString();
        const QJsonObject payload = cell("json").toObject();
        QVariantList arguments = cell("arguments").toArray().toVariantList();
        for (QVariant& argument : arguments) // numbers as the int parameters take them
            argument = argument.type() == QVariant::LongLong ? argument.toInt() : argument;
        // As QML calls them: through the meta-object system.
        QObject* client
            = topic.startsWith(board) ? static_cast<QObject*>(m_board) : m_inspector.get();
        const QByteArray name = member.toLatin1();
        const auto argument = [&](int i) {
            return i < arguments.size()
                ? QGenericArgument(arguments[i].typeName(), arguments[i].data())
                : QGenericArgument();
        };
        if (client->metaObject()->indexOfProperty(name) >= 0)
            QVERIFY(client->setProperty(name, arguments.first()));
        else
            QVERIFY(QMetaObject::invokeMethod(client, name, argument(0), argument(1)));
        TestPeer& service = m_bench->service();
        QVERIFY(service.waitForMessages(topic));
        // Indented JSON, and nothing changes before the service reports it.
        QCOMPARE(service.last(topic).json(), payload);
        QCOMPARE(service.last(topic).payload.contains('\n'), !payload.isEmpty());
        QVERIFY(m_board->audioEnabled() && m_board->displayBrightness() == 0
                && m_board->delayShutdownFor() == 0 && m_inspector->audioVolume() == 0);
        // The delay is sent only when it differs from the reported one.
        if (member == "delayShutdownFor") {
            QVERIFY(m_bench->deliver(board + "/config", payload));
            m_board->setDelayShutdownFor(300);
            QVERIFY(m_bench->sync());
            QCOMPARE(service.count(topic), 1);
        }
    }
    void powerRequests()
    {
        // Announced first so that the busy screen shows before the power goes.
        QSignalSpy reboot(m_inspector.get(), &Inspector::systemRebootStarted);
        const QString topic = inspector + "/power/reboot/request/1";
        m_inspector->systemReboot();
        QCOMPARE(reboot.count() * 10 + m_bench->service().count(topic), 10);
        QVERIFY(m_bench->service().waitForMessages(topic, 1, Wait));
        // A delay beyond the timer's range is cut rather than overflowing, and repeated
        // requests neither postpone nor advance the deadline.
        QSignalSpy off(m_inspector.get(), &Inspector::systemShutdownStarted);
        m_inspector->scheduleShutdown(std::numeric_limits<int>::max());
        m_inspector->scheduleShutdown(-5);
        QTest::qWait(200);
        QVERIFY(m_inspector->isShutdownScheduled() && off.isEmpty());
        m_inspector->abortShutdown();
        QVERIFY(!m_inspector->isShutdownScheduled());
        m_inspector->scheduleShutdown(-5); // at once
        QVERIFY(
            m_bench->service().waitForMessages(inspector + "/power/shutdown/request/1", 1, Wait));
        QCOMPARE(off.count(), 1);
    }
    void status_data()
    {
        // A scanner that is not active is in error, whatever "enabled" says. The receiver's
        // status (fix, state, simulation, error) is announced every time.
        addTextRows({"topic", "payload", "status"}, R"(
service down | barcode | {"service": false} | offline
not active | barcode | {"service": true, "device": {"active": false, "enabled": true}} | error
enabled | barcode | {"service": true, "device": {"active": true, "enabled": true}} | enabled
disabled | barcode | {"service": true, "device": {"active": true}} | disabled
receiver | gps | {"service": true, "simulation": true, "device": {"fix": 3, "state": 2, "error": "Antenna open"}} | 3 2 1 Antenna open
receiver service down | gps | {"service": false, "device": 1} | 0 -1 0 Manager is offline)");
    }
    void status()
    {
        QFETCH(QString, topic);
        QFETCH(QString, status);
        topic = "ovant/" + topic + "/status";
        QFETCH(QString, payload);
        QSignalSpy scanner(m_scanner.get(), &BarcodeManager::statusChanged);
        QSignalSpy receiver(m_gps.get(), &GPSManager::statusChanged);
        for (int i = 0; i < 2; ++i)
            QVERIFY(m_bench->deliver(topic, payload.toUtf8()));
        if (topic.startsWith(barcode)) {
            QCOMPARE(scanner.count(), 1);
            QCOMPARE(scanner.at(0).at(0).toString() + m_scanner->status(), status + status);
            return;
        }
        QCOMPARE(receiver.count(), 2);
        const auto s = receiver.at(1).at(0).value<GPSManager::Status>();
        QCOMPARE(QString::asprintf("%d %d %d ", s.fix, s.state, s.simulation) + s.error, status);
    }
    void infoScansAndCommands()
    {
        QVERIFY(m_bench->deliver(barcode + "/info", QByteArray(R"({"device": {"firmware": "3.2",
            "model": "BS-1"}, "service": {"type": "barcode", "version": "1.0.4"}})")));
        const auto& info = m_scanner->info();
        QCOMPARE(
            QStringList({info.firmware, info.manufacturer, info.model, info.type, info.version})
                .join(' '),
            "3.2  BS-1 barcode 1.0.4");
        // The receiver's identification is announced every time, with its own fields.
        QSignalSpy receiverInfo(m_gps.get(), &GPSManager::infoChanged);
        const QByteArray full = R"({"device": {"firmware": "FW1", "imei": "3569", "assisted": true},
            "service": {"type": "gps", "version": "2.0"}})";
        QVERIFY(m_bench->deliver(gps + "/info", full) && m_bench->deliver(gps + "/info", full));
        QCOMPARE(receiverInfo.count(), 2);
        const auto i = receiverInfo.at(1).at(0).value<GPSManager::Info>();
        QCOMPARE(QStringList({i.firmware, i.imei, i.type, i.version}).join(' ')
                     + (i.assisted ? "+" : "-"),
                 "FW1 3569 gps 2.0+");
        // Every scan is announced, also one without text.
        QSignalSpy scanned(m_scanner.get(), &BarcodeManager::barcodeScanned);
        QVERIFY(m_bench->deliver(barcode + "/barcode", QJsonObject {{"data", "ABC-123"}}));
        QVERIFY(m_bench->deliver(barcode + "/barcode", QJsonObject {{"other", "x"}}));
        QCOMPARE(scanned, (QList<QVariantList> {{"ABC-123"}, {""}}));
        // The clients hear their own commands and other topics under their base: these are
        // not parsed, so no malformed messages.
        MessageCapture log;
        TestPeer& service = m_bench->service();
        QVERIFY(m_scanner->enable() && m_gps->enable() && m_scanner->disable() && m_gps->disable());
        QVERIFY(service.publish(barcode + "/response/1", QByteArray("garbage")));
        QVERIFY(service.waitForMessages(gps + "/disable") && m_bench->sync());
        QCOMPARE(log.messages(QtCriticalMsg) + log.messages(QtWarningMsg), QStringList());
        QVERIFY(service.last(barcode + "/enable").payload.isEmpty()
                && m_scanner->status().isEmpty());
        manager::MqttClient offline;
        BarcodeManager unconnected(offline, barcode);
        QVERIFY(!unconnected.enable() && !unconnected.disable());
    }
    void telemetry_data()
    {
        // The service sends texts; a plain number means the same. No reading (nothing, not a
        // number, ...): the last value stays rather than a made-up 0.
        addTextRows({"altitude", "expected"}, R"(
text | " -12.75 " | -12.75
number | 12 | 12
missing | | 70.5
not a number | "high" | 70.5
infinite | "1e999" | 70.5)");
    }
    void telemetry()
    {
        QFETCH(QString, altitude);
        QVERIFY(!m_gps->telemetry().timestamp.isValid());
        QVERIFY(m_bench->deliver(gps + "/data",
                                 QJsonObject {{"latitude", "37.98"}, {"altitude", "70.5"}}));
        QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);
        QJsonObject data {{"direction", "90"}};
        if (!altitude.isEmpty())
            data.insert("altitude", QJsonDocument::fromJson(("[" + altitude + "]").toUtf8())[0]);
        QVERIFY(m_bench->deliver(gps + "/data", data));
        QCOMPARE(telemetry.count(), 1);
        const auto t = telemetry.at(0).at(0).value<GPSManager::Telemetry>();
        QTEST(QString::number(t.altitude), "expected");
        QCOMPARE(QString::asprintf("%g %g", t.direction, t.latitude), "90 37.98");
        QVERIFY(t.timestamp.isValid()); // the arrival time
    }

    void ethernetSavesAKnownConfigurationOnly_data()
    {
        // What the network service told before save() ("lost": the connection was lost and
        // came back), and whether the configuration went out.
        addTextRows({"told", "sent"}, R"(
nothing | | no
state only | state | no
configuration only, no interface | config | no
both | state config | yes
connection lost since | state config lost | no
told again after it | config lost state config | yes)");
    }
    void ethernetSavesAKnownConfigurationOnly()
    {
        QFETCH(QString, told);
        const QString base = "ovant/network/ethernet/";
        const QByteArray text = R"({"interface": "eth0", "method": "manual", "address":
            "192.0.2.9", "netmask": "255.255.255.0", "gateway": "", "dns0": "", "dns1": ""})";
        const QJsonObject config = QJsonDocument::fromJson(text).object();
        for (const QString& step : told.split(' ', Qt::SkipEmptyParts)) {
            if (step != "lost") {
                QVERIFY(m_bench->deliver(base + step, config));
                continue;
            }
            m_broker.stop();
            QTRY_VERIFY_WITH_TIMEOUT(!m_bench->client().isConnected(), Wait);
            QVERIFY2(m_broker.restart(), qPrintable(m_broker.log()));
            QVERIFY(m_bench->service().waitUntilReady());
            QTRY_VERIFY_WITH_TIMEOUT(m_bench->client().isConnected(), Wait);
            QVERIFY(m_bench->sync());
        }
        QCOMPARE(m_ethernet->configKnown(), told.endsWith("config"));
        MessageCapture log;
        const bool sent = m_ethernet->save();
        QTEST(QString(sent ? "yes" : "no"), "sent");
        QVERIFY(m_bench->sync());
        const auto set = m_bench->service().messages(base + "config/set");
        QCOMPARE(set.size(), sent ? 1 : 0);
        QVERIFY(sent ? set[0].json() == config : !log.messages(QtWarningMsg).isEmpty());
    }

private:
    QString asked(const QString& base) const
    {
        QStringList result;
        for (const auto& message : m_bench->service().messages(base + "/#"))
            result << message.topic.mid(base.size()) + ' ' + message.payload;
        return result.join(' ');
    }
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    Board* m_board = nullptr;
    std::unique_ptr<Inspector> m_inspector;
    std::unique_ptr<BarcodeManager> m_scanner;
    std::unique_ptr<GPSManager> m_gps;
    std::unique_ptr<Ethernet> m_ethernet;
};

QTEST_GUILESS_MAIN(TestScriptedClients)
#include "tst_scriptedclients.moc"
