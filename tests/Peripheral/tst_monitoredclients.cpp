// The board and the system inspector, on one connection against a scripted service.

#include "Board.h"
#include "DeviceTestBench.h"
#include "Inspector.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

using manager::Board;
using manager::Inspector;

namespace {

const QString board = QStringLiteral("ovant/board");
const QString inspector = QStringLiteral("ovant/inspector");

QJsonObject led(int r, int g, int b, int msec)
{
    return {{"color", QJsonObject {{"r", r}, {"g", g}, {"b", b}}}, {"duration", msec}};
}

QJsonObject leds(int repeat, const QJsonArray& steps)
{
    return {{"repeat", repeat}, {"steps", steps}};
}

} // namespace

class TestMonitoredClients : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_board = &m_bench->make<Board>(board);
        m_inspector = std::make_unique<Inspector>(m_bench->client(), inspector);
        QVERIFY(m_bench->start("ovant/#"));
    }
    void cleanup()
    {
        m_inspector.reset();
        m_bench.reset();
    }

    void askedOnConnectionAndWhileMonitored()
    {
        QCOMPARE(
            asked(board),
            QStringList({"/status/get {}", "/display/get {}", "/power/get {}", "/audio/get {}"}));
        QCOMPARE(asked(inspector),
                 QStringList({"/audio/get {}", "/stats/memory/get {}", "/stats/disk/get {}",
                              "/stats/cpu/get {}"}));

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
        QTest::addColumn<QVariantMap>("state");
        QTest::addColumn<int>("emissions"); // signals emitted by the client in all

        const auto row
            = [](const char* name, const QString& suffix, const QList<QByteArray>& payloads,
                 const QVariantMap& state, int emissions) {
                  QTest::newRow(name) << suffix << payloads << state << emissions;
              };
        const QByteArray full = R"({"service": true, "device": {"active": true, "ignition": true,
            "poleId": "P-17", "temperature": 41.5, "voltage": 12.25, "uptime": 3600,
            "hardwareStatus": {"rtcFailed": true}}})";
        const QVariantMap values {{"ignition", true}, {"poleId", "P-17"}, {"temperature", 41.5},
                                  {"voltage", 12.25}, {"uptime", 3600},   {"rtcFailed", true}};
        const auto with = [](QVariantMap map, const QString& status) {
            map.insert("status", status);
            return map;
        };
        // Values are announced when they change; the report of a service that is down or of a
        // device that is not active changes the status only.
        row("board status", "/status", {full}, with(values, "online"), 7);
        row("service down", "/status", {full, R"({"service": false, "device": {"active": true}})"},
            with(values, "offline"), 8);
        row("not active", "/status", {full, R"({"service": true, "device": {"active": false}})"},
            with(values, "error"), 8);
        row("missing values read as defaults", "/status",
            {full, R"({"service": true, "device": {"active": true, "uptime": 3660}})"},
            {{"status", "online"},
             {"ignition", false},
             {"poleId", ""},
             {"temperature", 0},
             {"voltage", 0},
             {"uptime", 3660},
             {"rtcFailed", false}},
            13);
        // Ignition events are announced even when unchanged: the event itself is news.
        for (const auto& [data, on] : std::initializer_list<std::pair<QByteArray, bool>> {
                 {"0", false}, {"1", true}, {"\"0\"", false}, {"\"on\"", true}, {"false", false}})
            row("ignition " + data, "/event",
                {R"({"name": "IgnitionChanged", "data": )" + data + '}'}, {{"ignition", on}}, 2);
        // Without a state, spelled otherwise or another event: not acted upon.
        row("ignition without state", "/event", {R"({"name": "IgnitionChanged", "data": null})"},
            {{"ignition", false}}, 0);
        row("other spelling", "/event", {R"({"name": "ignitionchanged", "data": true})"},
            {{"ignition", false}}, 0);
        row("other event", "/event", {R"({"name": "DoorOpened", "data": true})"},
            {{"ignition", false}}, 0);
        // Information is announced at every report.
        row("board info", "/info", {R"({"device": {"firmwareVersion": "2.1", "hardwareId": "H"},
                                        "service": {"version": "1.4"}})"},
            {{"info",
              QVariantMap {
                  {"firmware", "2.1"}, {"hardwareId", "H"}, {"hardware", ""}, {"version", "1.4"}}}},
            2);
        row("shutdown delay", "/config", {R"({"device": {"delayShutdownFor": 120}})"},
            {{"delayShutdownFor", 120}}, 1);
        row("display", "/display", {R"({"brightness": 80, "sensor": 35, "mode": "auto"})"},
            {{"displayBrightness", 80},
             {"ambientLightSensor", 35},
             {"displayBrightnessMode", "auto"}},
            3);
        row("mute", "/audio", {R"({"mute": true})"}, {{"audioEnabled", false}}, 1);
        row("inspector info", "/inspector/info", {R"({"service": {"version": "1.2.3"}})"},
            {{"info", QVariantMap {{"version", "1.2.3"}}}}, 2);
        row("volume", "/inspector/audio", {R"({"internal": {"volume": 40}})"},
            {{"audioVolume", 40}}, 1);
        row("running", "/inspector/status", {R"({"service": true})"}, {{"status", "online"}}, 1);
        row("stopped", "/inspector/status", {R"({"service": false})"}, {{"status", "offline"}}, 1);
        row("empty status", "/inspector/status", {""}, {{"status", "offline"}}, 1);
    }

    void reports()
    {
        QFETCH(QString, topic);
        QFETCH(QList<QByteArray>, payloads);
        QFETCH(QVariantMap, state);
        QFETCH(int, emissions);

        const bool onBoard = !topic.startsWith("/inspector");
        QObject* client = onBoard ? static_cast<QObject*>(m_board) : m_inspector.get();
        const QMetaObject* meta = client->metaObject();
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                spies.push_back(
                    std::make_unique<QSignalSpy>(client, "2" + meta->method(i).methodSignature()));
        }
        for (const QByteArray& payload : payloads) {
            for (int i = 0; i < 2; ++i)
                QVERIFY(m_bench->deliver((onBoard ? board : "ovant") + topic, payload));
        }
        for (auto it = state.cbegin(); it != state.cend(); ++it) {
            // Status and uptime of the board are read by C++ only.
            const QVariant value = !onBoard || !QStringList({"status", "uptime"}).contains(it.key())
                ? client->property(qPrintable(it.key()))
                : it.key() == "status" ? QVariant(m_board->status())
                                       : QVariant(m_board->uptime());
            QCOMPARE(value.toString(), it.value().toString());
            QCOMPARE(value.toJsonValue(), it.value().toJsonValue());
        }
        int emitted = 0;
        for (const auto& spy : spies)
            emitted += spy->count();
        QCOMPARE(emitted, emissions);
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
        QTest::addColumn<QJsonObject>("payload");

        const auto row = [](const char* member, const QVariantList& arguments, const QString& topic,
                            const QJsonObject& payload) {
            QTest::newRow(member) << member << arguments << topic << payload;
        };
        const QString ledPlay = board + "/led/play/request/1";
        row("setPeripheralPower", {"usbHub", false}, board + "/power/set", {{"usbHub", false}});
        row("displayBrightness", {42}, board + "/display/set", {{"brightness", 42}});
        row("displayBrightnessMode", {"manual"}, board + "/display/set", {{"mode", "manual"}});
        row("audioEnabled", {false}, board + "/audio/set", {{"mute", true}});
        row("delayShutdownFor", {300}, board + "/config/set",
            {{"device", QJsonObject {{"delayShutdownFor", 300}}}});
        row("playBuzzer", {100, 200}, board + "/buzzer/play/request/1",
            {{"onMsec", 100}, {"offMsec", 200}, {"repeat", 0}});
        row("setLedValid", {}, ledPlay, leds(3, {led(0, 255, 0, 100), led(0, 0, 0, 50)}));
        row("setLedInvalid", {}, ledPlay, leds(3, {led(255, 0, 0, 100), led(0, 0, 0, 50)}));
        row("setLedTestPattern", {}, ledPlay,
            leds(30,
                 {led(255, 0, 0, 1000), led(0, 0, 0, 200), led(0, 255, 0, 1000),
                  led(0, 0, 0, 200)}));
        row("setLedOff", {}, board + "/led/off/request/1", {});
        // Sent even when the volume is the reported one: the service may have changed it.
        row("audioVolume", {0}, inspector + "/audio/set",
            {{"internal", QJsonObject {{"volume", 0}}}});
        row("audioPlay", {"/opt/Valid.wav"}, inspector + "/audio/play",
            {{"device", "internal"}, {"filepath", "/opt/Valid.wav"}});
    }

    void commands()
    {
        QFETCH(QString, member);
        QFETCH(QVariantList, arguments);
        QFETCH(QString, topic);
        QFETCH(QJsonObject, payload);

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

    void powerRequests_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("topic");
        QTest::addColumn<int>("leadMsec");

        // Announced first so that the busy screen shows before the power goes.
        const QString shutdown = inspector + "/power/shutdown/request/1";
        QTest::newRow("reboot") << "reboot" << inspector + "/power/reboot/request/1" << 0;
        QTest::newRow("scheduled") << "1" << shutdown << 1000;
        QTest::newRow("negative delay: at once") << "-5" << shutdown << 0;
    }

    void powerRequests()
    {
        QFETCH(QString, call);
        QFETCH(QString, topic);
        QFETCH(int, leadMsec);

        QSignalSpy reboot(m_inspector.get(), &Inspector::systemRebootStarted);
        QSignalSpy off(m_inspector.get(), &Inspector::systemShutdownStarted);
        QElapsedTimer elapsed;
        elapsed.start();
        if (call == "reboot")
            m_inspector->systemReboot();
        else
            m_inspector->scheduleShutdown(call.toInt());
        QTRY_COMPARE_WITH_TIMEOUT(reboot.count() + off.count(), 1, 20000);
        QCOMPARE(reboot.count(), int(call == "reboot"));
        QCOMPARE(m_bench->service().count(topic), 0);
        QVERIFY(m_bench->service().waitForMessages(topic, 1, 20000));
        QVERIFY(elapsed.elapsed() >= (leadMsec + Inspector::PowerRequestDelayMsec) * 3 / 4);
        QCOMPARE(m_bench->service().last(topic).payload, QByteArray());
    }

    void scheduledShutdownKeepsItsDeadline()
    {
        // Repeated ignition-off reports must not postpone, nor advance, the power-off; a
        // delay beyond the timer's range is cut rather than overflowing.
        QSignalSpy off(m_inspector.get(), &Inspector::systemShutdownStarted);
        m_inspector->scheduleShutdown(std::numeric_limits<int>::max());
        m_inspector->scheduleShutdown(0);
        QTest::qWait(200);
        QVERIFY(m_inspector->isShutdownScheduled());
        m_inspector->abortShutdown();
        QVERIFY(!m_inspector->isShutdownScheduled());
        QCOMPARE(off.count(), 0);
    }

private:
    QStringList asked(const QString& base) const
    {
        QStringList result;
        for (const auto& message : m_bench->service().messages(base + "/#"))
            result << message.topic.mid(base.size()) + ' ' + message.payload;
        return result;
    }

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    Board* m_board = nullptr;
    std::unique_ptr<Inspector> m_inspector;
};

QTEST_GUILESS_MAIN(TestMonitoredClients)
#include "tst_monitoredclients.moc"
