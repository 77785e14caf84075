// The board, the system inspector, the barcode scanner and the GPS receiver, on one
// connection against a scripted service.

#include "Barcode.h"
#include "Board.h"
#include "DeviceTestBench.h"
#include "GPS.h"
#include "Inspector.h"
#include "MessageCapture.h"
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
        QVERIFY(m_bench->start("ovant/#"));
    }
    void cleanup() { m_inspector.reset(), m_scanner.reset(), m_gps.reset(), m_bench.reset(); }

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
        QVERIFY(m_bench->sync());
        QCOMPARE(service.count(inspector + "/stats/cpu/get"), stopped);
    }

    void reports_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QList<QByteArray>>("payloads"); // each delivered twice
        QTest::addColumn<QString>("state"); // property=value ...
        QTest::addColumn<int>("emissions"); // signals emitted by the client in all

        const auto row
            = [](const char* name, const QString& suffix, const QList<QByteArray>& payloads,
                 const QString& state, int emissions) {
                  QTest::newRow(name) << suffix << payloads << state << emissions;
              };
        const QByteArray full = R"({"service": true, "device": {"active": true, "ignition": true,
            "poleId": "P-17", "temperature": 41.5, "voltage": 12.25, "uptime": 3600,
            "hardwareStatus": {"rtcFailed": true}}})";
        const QString values
            = "ignition=true poleId=P-17 temperature=41.5 voltage=12.25 uptime=3600 rtcFailed=true";
        // Values are announced when they change; the report of a service that is down or of a
        // device that is not active changes the status only.
        row("board status", "/status", {full}, "status=online " + values, 7);
        row("service down", "/status", {full, R"({"service": false, "device": {"active": true}})"},
            "status=offline " + values, 8);
        row("not active", "/status", {full, R"({"service": true, "device": {"active": false}})"},
            "status=error " + values, 8);
        row("missing values read as defaults", "/status",
            {full, R"({"service": true, "device": {"active": true, "uptime": 3660}})"},
            "status=online ignition=false poleId= temperature=0 voltage=0 uptime=3660 "
            "rtcFailed=false",
            13);
        // Ignition events are announced even when unchanged: the event itself is news.
        for (const char* data : {"0", "\"on\"", "false"})
            row(data, "/event",
                {R"({"name": "IgnitionChanged", "data": )" + QByteArray(data) + '}'},
                QString("ignition=") + (data[1] == 'o' ? "true" : "false"), 2);
        // Without a state or another event: not acted upon.
        row("ignition without state", "/event", {R"({"name": "IgnitionChanged", "data": null})"},
            "ignition=false", 0);
        row("other event", "/event", {R"({"name": "ignitionchanged", "data": true})"},
            "ignition=false", 0);
        // Information is announced at every report.
        row("board info", "/info",
            {R"({"device": {"firmwareVersion": "2.1", "hardwareId": "H"}, "service": {"version": "1.4"}})"},
            R"(info={"firmware":"2.1","hardware":"","hardwareId":"H","version":"1.4"})", 2);
        row("shutdown delay", "/config", {R"({"device": {"delayShutdownFor": 120}})"},
            "delayShutdownFor=120", 1);
        row("display", "/display", {R"({"brightness": 80, "sensor": 35, "mode": "auto"})"},
            "displayBrightness=80 ambientLightSensor=35 displayBrightnessMode=auto", 3);
        row("mute", "/audio", {R"({"mute": true})"}, "audioEnabled=false", 1);
        row("inspector info", "/inspector/info", {R"({"service": {"version": "1.2.3"}})"},
            R"(info={"version":"1.2.3"})", 2);
        row("volume", "/inspector/audio", {R"({"internal": {"volume": 40}})"}, "audioVolume=40", 1);
        row("running", "/inspector/status", {R"({"service": true})"}, "status=online", 1);
        row("empty status", "/inspector/status", {""}, "status=offline", 1);
    }

    void reports()
    {
        QFETCH(QString, topic);
        QFETCH(QList<QByteArray>, payloads);
        QFETCH(QString, state);

        const bool onBoard = !topic.startsWith("/inspector");
        QObject* client = onBoard ? static_cast<QObject*>(m_board) : m_inspector.get();
        const QMetaObject* meta = client->metaObject();
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                spies.push_back(std::make_unique<QSignalSpy>(client, meta->method(i)));
        }
        for (const QByteArray& payload : payloads) {
            for (int i = 0; i < 2; ++i)
                QVERIFY(m_bench->deliver((onBoard ? board : "ovant") + topic, payload));
        }
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
        QTEST(emitted, "emissions");
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
        QCOMPARE(m_board->peripheralPower("usbHub"), true);
        QCOMPARE(m_board->peripheralPower("never reported"), false);
        // In key order, with the descriptions the settings show.
        const QList<QVariantMap> expected {
            {{"item", "display"}, {"descr", "Display"}, {"value", true}},
            {{"item", "modem"}, {"descr", ""}, {"value", true}},
            {{"item", "usbHub"}, {"descr", "USB Hub"}, {"value", true}},
        };
        QCOMPARE(m_board->property("peripherals").value<QList<QVariantMap>>(), expected);
        // Written as a whole it only logs: rails are switched one by one.
        QVERIFY(m_board->setProperty("peripherals", QVariant::fromValue(QList<QVariantMap>())));
        QCOMPARE(m_board->peripherals(), expected);
    }

    void commands_data()
    {
        QTest::addColumn<QString>("member"); // a property to write or a method to call
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("json");

        const auto row = [](const char* member, const QVariantList& arguments, const QString& topic,
                            const QByteArray& payload) {
            QTest::newRow(member) << member << arguments << topic << payload;
        };
        const QString led = board + "/led/play/request/1";
        const QByteArray off = R"({"color":{"r":0,"g":0,"b":0},"duration":)";
        row("setPeripheralPower", {"usbHub", false}, board + "/power/set", R"({"usbHub":false})");
        row("displayBrightness", {42}, board + "/display/set", R"({"brightness":42})");
        row("displayBrightnessMode", {"manual"}, board + "/display/set", R"({"mode":"manual"})");
        row("audioEnabled", {false}, board + "/audio/set", R"({"mute":true})");
        row("delayShutdownFor", {300}, board + "/config/set",
            R"({"device":{"delayShutdownFor":300}})");
        row("playBuzzer", {100, 200}, board + "/buzzer/play/request/1",
            R"({"onMsec":100,"offMsec":200,"repeat":0})");
        row("setLedValid", {}, led,
            R"({"repeat":3,"steps":[{"color":{"r":0,"g":255,"b":0},"duration":100},)" + off
                + "50}]}");
        row("setLedInvalid", {}, led,
            R"({"repeat":3,"steps":[{"color":{"r":255,"g":0,"b":0},"duration":100},)" + off
                + "50}]}");
        row("setLedTestPattern", {}, led,
            R"({"repeat":30,"steps":[{"color":{"r":255,"g":0,"b":0},"duration":1000},)" + off
                + R"(200},{"color":{"r":0,"g":255,"b":0},"duration":1000},)" + off + "200}]}");
        row("setLedOff", {}, board + "/led/off/request/1", "");
        // Sent even when the volume is the reported one: the service may have changed it.
        row("audioVolume", {0}, inspector + "/audio/set", R"({"internal":{"volume":0}})");
        row("audioPlay", {"/opt/Valid.wav"}, inspector + "/audio/play",
            R"({"device":"internal","filepath":"/opt/Valid.wav"})");
    }

    void commands()
    {
        QFETCH(QString, member);
        QFETCH(QVariantList, arguments);
        QFETCH(QString, topic);
        QFETCH(QByteArray, json);
        const QJsonObject payload = QJsonDocument::fromJson(json).object();

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
            QVERIFY(m_bench->deliver(board + "/config", json));
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
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("status");

        const auto row
            = [](const char* name, const QString& topic, const char* payload, const char* status) {
                  QTest::newRow(name) << topic << QByteArray(payload) << status;
              };
        const QString scanner = barcode + "/status";
        row("service down", scanner, R"({"service": false})", "offline");
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

        QSignalSpy scanner(m_scanner.get(), &BarcodeManager::statusChanged);
        QSignalSpy receiver(m_gps.get(), &GPSManager::statusChanged);
        QVERIFY(m_bench->deliver(topic, payload) && m_bench->deliver(topic, payload));
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
        QVERIFY(m_scanner->enable() && m_gps->enable());
        QVERIFY(m_scanner->disable() && m_gps->disable());
        QVERIFY(service.publish(barcode + "/response/1", QByteArray("garbage")));
        QVERIFY(service.waitForMessages(gps + "/disable"));
        QVERIFY(m_bench->sync());
        QCOMPARE(service.last(barcode + "/enable").payload, QByteArray());
        QCOMPARE(log.messages(QtCriticalMsg) + log.messages(QtWarningMsg), QStringList());
        QCOMPARE(m_scanner->status(), QString());

        manager::MqttClient offline;
        BarcodeManager unconnected(offline, barcode);
        QVERIFY(!unconnected.enable() && !unconnected.disable());
    }

    void telemetry_data()
    {
        QTest::addColumn<QJsonValue>("altitude");
        QTest::addColumn<double>("expected");

        // The service sends texts; a plain number means the same.
        QTest::newRow("text") << QJsonValue(" -12.75 ") << -12.75;
        QTest::newRow("number") << QJsonValue(12) << 12.0;
        // No reading: the last value stays rather than a made-up 0.
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 70.5;
        QTest::newRow("not a number") << QJsonValue("high") << 70.5;
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << 70.5;
        QTest::newRow("bool") << QJsonValue(true) << 70.5;
        QTest::newRow("infinite") << QJsonValue("1e999") << 70.5;
    }

    void telemetry()
    {
        QFETCH(QJsonValue, altitude);
        QVERIFY(!m_gps->telemetry().timestamp.isValid());
        QVERIFY(m_bench->deliver(gps + "/data",
                                 QJsonObject {{"latitude", "37.98"}, {"altitude", "70.5"}}));
        QSignalSpy telemetry(m_gps.get(), &GPSManager::telemetryChanged);
        QJsonObject data {{"direction", "90"}};
        if (!altitude.isUndefined())
            data.insert("altitude", altitude);
        QVERIFY(m_bench->deliver(gps + "/data", data));
        QCOMPARE(telemetry.count(), 1);
        const auto t = telemetry.at(0).at(0).value<GPSManager::Telemetry>();
        QTEST(t.altitude, "expected");
        QCOMPARE(QString::asprintf("%g %g", t.direction, t.latitude), "90 37.98");
        QVERIFY(t.timestamp.isValid()); // the arrival time
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
};

QTEST_GUILESS_MAIN(TestScriptedClients)
#include "tst_scriptedclients.moc"
