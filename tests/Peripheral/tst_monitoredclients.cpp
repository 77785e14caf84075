// The board and the system inspector, on one connection against a scripted service.

#include "Board.h"
#include "DeviceTestBench.h"
#include "Inspector.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <functional>

using manager::Board;
using manager::Inspector;
using Call = std::function<bool(QObject*)>;
Q_DECLARE_METATYPE(Call)

namespace {

const QString board = QStringLiteral("ovant/board");
const QString inspector = QStringLiteral("ovant/inspector");

QJsonObject online(QJsonObject device)
{
    device.insert("active", true);
    return {{"service", true}, {"device", device}};
}

const QJsonObject fullStatus = online({{"ignition", true},
                                       {"poleId", "P-17"},
                                       {"temperature", 41.5},
                                       {"voltage", 12.25},
                                       {"uptime", 3600},
                                       {"hardwareStatus", QJsonObject {{"rtcFailed", true}}}});
const QStringList fullValues {"online", "1", "P-17", "41.5", "12.25", "3600", "1"};

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

    void askedOnConnectionAndWhileMonitored();
    void boardStatus_data();
    void boardStatus();
    void ignitionEvents_data();
    void ignitionEvents();
    void reports_data();
    void reports();
    void peripheralPower();
    void commands_data();
    void commands();
    void powerRequests_data();
    void powerRequests();
    void scheduledShutdownKeepsItsDeadline();

private:
    QStringList boardValues() const
    {
        return {m_board->status(),
                QString::number(m_board->ignition()),
                m_board->poleId(),
                QString::number(m_board->temperature()),
                QString::number(m_board->voltage()),
                QString::number(m_board->uptime()),
                QString::number(m_board->rtcFailed())};
    }
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

void TestMonitoredClients::askedOnConnectionAndWhileMonitored()
{
    QCOMPARE(asked(board),
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

void TestMonitoredClients::boardStatus_data()
{
    QTest::addColumn<QJsonObject>("report");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<int>("notified");

    QTest::newRow("same again") << fullStatus << fullValues << 0;
    // Service down, or device not active: the values in the report are not looked at.
    QStringList kept = fullValues;
    kept[0] = "offline";
    QTest::newRow("service down") << QJsonObject {{"service", false}, {"device", online({})}}
                                  << kept << 1;
    kept[0] = "error";
    QTest::newRow("not active") << QJsonObject {{"service", true},
                                                {"device", QJsonObject {{"active", false}}}}
                                << kept << 1;
    QTest::newRow("missing values read as defaults")
        << online({{"uptime", 3660}}) << QStringList({"online", "0", "", "0", "0", "3660", "0"})
        << 6;
}

void TestMonitoredClients::boardStatus()
{
    QFETCH(QJsonObject, report);
    QFETCH(QStringList, values);
    QFETCH(int, notified);

    QVERIFY(m_bench->deliver(board + "/status", fullStatus));
    QCOMPARE(boardValues(), fullValues);
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (auto signal : {&Board::statusChanged, &Board::ignitionChanged, &Board::poleIdChanged,
                        &Board::temperatureChanged, &Board::voltageChanged, &Board::uptimeChanged,
                        &Board::rtcFailedChanged})
        spies.push_back(std::make_unique<QSignalSpy>(m_board, signal));
    QVERIFY(m_bench->deliver(board + "/status", report));
    QCOMPARE(boardValues(), values);
    int count = 0;
    for (const auto& spy : spies)
        count += spy->count();
    QCOMPARE(count, notified);
}

void TestMonitoredClients::ignitionEvents_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QJsonValue>("data");
    QTest::addColumn<int>("ignition"); // -1: not acted upon

    // Announced even when unchanged: the event itself is news.
    QTest::newRow("0") << "IgnitionChanged" << QJsonValue(0) << 0;
    QTest::newRow("1") << "IgnitionChanged" << QJsonValue(1) << 1;
    QTest::newRow("text 0") << "IgnitionChanged" << QJsonValue("0") << 0;
    QTest::newRow("text on") << "IgnitionChanged" << QJsonValue("on") << 1;
    QTest::newRow("false") << "IgnitionChanged" << QJsonValue(false) << 0;
    QTest::newRow("no state") << "IgnitionChanged" << QJsonValue(QJsonValue::Null) << -1;
    QTest::newRow("other spelling") << "ignitionchanged" << QJsonValue(false) << -1;
    QTest::newRow("other event") << "DoorOpened" << QJsonValue(false) << -1;
}

void TestMonitoredClients::ignitionEvents()
{
    QFETCH(QString, name);
    QFETCH(QJsonValue, data);
    QFETCH(int, ignition);

    QVERIFY(m_bench->deliver(board + "/event", {{"name", "IgnitionChanged"}, {"data", true}}));
    QSignalSpy changed(m_board, &Board::ignitionChanged);
    for (int i = 0; i < 2; ++i)
        QVERIFY(m_bench->deliver(board + "/event", {{"name", name}, {"data", data}}));
    QCOMPARE(m_board->ignition(), ignition != 0);
    QCOMPARE(changed.count(), ignition < 0 ? 0 : 2);
}

void TestMonitoredClients::reports_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("onBoard");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");

    const auto row = [](const char* name, const QString& topic, const QByteArray& payload,
                        const char* property, const QVariant& value) {
        QTest::newRow(name) << topic << payload << topic.startsWith(board) << property << value;
    };
    // Information is announced at every report, everything else only when it changes.
    row("board info", board + "/info",
        R"({"device": {"firmwareVersion": "2.1", "hardwareId": "H"},
            "service": {"version": "1.4"}})",
        "info",
        QVariantMap {
            {"firmware", "2.1"}, {"hardwareId", "H"}, {"hardware", ""}, {"version", "1.4"}});
    row("shutdown delay", board + "/config", R"({"device": {"delayShutdownFor": 120}})",
        "delayShutdownFor", 120);
    row("brightness", board + "/display", R"({"brightness": 80})", "displayBrightness", 80);
    row("sensor", board + "/display", R"({"sensor": 35})", "ambientLightSensor", 35);
    row("mode", board + "/display", R"({"mode": "auto"})", "displayBrightnessMode", "auto");
    row("mute", board + "/audio", R"({"mute": true})", "audioEnabled", false);
    row("inspector info", inspector + "/info", R"({"service": {"version": "1.2.3"}})", "info",
        QVariantMap {{"version", "1.2.3"}});
    row("volume", inspector + "/audio", R"({"internal": {"volume": 40}})", "audioVolume", 40);
    row("running", inspector + "/status", R"({"service": true})", "status", "online");
    row("stopped", inspector + "/status", R"({"service": false})", "status", "offline");
    row("empty status", inspector + "/status", "", "status", "offline");
}

void TestMonitoredClients::reports()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, onBoard);
    QFETCH(QString, property);
    QFETCH(QVariant, value);

    QObject* client = onBoard ? static_cast<QObject*>(m_board) : m_inspector.get();
    const QMetaProperty meta = client->metaObject()->property(
        client->metaObject()->indexOfProperty(qPrintable(property)));
    QSignalSpy notified(client, "2" + meta.notifySignal().methodSignature());
    QVERIFY(m_bench->deliver(topic, payload));
    QVERIFY(m_bench->deliver(topic, payload));
    QCOMPARE(meta.read(client), value);
    QCOMPARE(notified.count(), property == "info" ? 2 : 1);
}

void TestMonitoredClients::peripheralPower()
{
    QStringList seen;
    connect(m_board, &Board::peripheralPowerChanged, this,
            [&](const QString& key, bool on) { seen << key + '=' + QString::number(on); });
    connect(m_board, &Board::peripheralsChanged, this, [&] { seen << "all"; });
    const QString power = board + "/power";
    QVERIFY(m_bench->deliver(power, {{"usbHub", true}, {"display", false}, {"modem", true}}));
    // Null: the service does not know; nothing new: nothing at all.
    QVERIFY(m_bench->deliver(power,
                             {{"usbHub", QJsonValue::Null}, {"display", true}, {"modem", true}}));
    QVERIFY(m_bench->deliver(power, {{"display", true}}));
    QCOMPARE(seen, QStringList({"display=0", "modem=1", "usbHub=1", "all", "display=1", "all"}));
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

void TestMonitoredClients::commands_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QJsonObject>("payload");

    // As QML calls them: through the meta-object system. Commands are always sent.
    const auto invoke = [](const char* method) {
        return Call(
            [method](QObject* client) { return QMetaObject::invokeMethod(client, method); });
    };
    const auto set = [](const char* property, const QVariant& value) {
        return Call([=](QObject* client) { return client->setProperty(property, value); });
    };
    QTest::newRow("power") << Call([](QObject* client) {
        return QMetaObject::invokeMethod(client, "setPeripheralPower", Q_ARG(QString, "usbHub"),
                                         Q_ARG(bool, false));
    }) << board + "/power/set"
                           << QJsonObject {{"usbHub", false}};
    QTest::newRow("brightness") << set("displayBrightness", 42) << board + "/display/set"
                                << QJsonObject {{"brightness", 42}};
    QTest::newRow("mode") << set("displayBrightnessMode", "manual") << board + "/display/set"
                          << QJsonObject {{"mode", "manual"}};
    QTest::newRow("audio") << set("audioEnabled", false) << board + "/audio/set"
                           << QJsonObject {{"mute", true}};
    QTest::newRow("delay") << set("delayShutdownFor", 300) << board + "/config/set"
                           << QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 300}}}};
    QTest::newRow("buzzer") << Call([](QObject* client) {
        return QMetaObject::invokeMethod(client, "playBuzzer", Q_ARG(int, 100), Q_ARG(int, 200));
    }) << board + "/buzzer/play/request/1"
                            << QJsonObject {{"onMsec", 100}, {"offMsec", 200}, {"repeat", 0}};
    QTest::newRow("valid") << invoke("setLedValid") << board + "/led/play/request/1"
                           << leds(3, {led(0, 255, 0, 100), led(0, 0, 0, 50)});
    QTest::newRow("invalid") << invoke("setLedInvalid") << board + "/led/play/request/1"
                             << leds(3, {led(255, 0, 0, 100), led(0, 0, 0, 50)});
    QTest::newRow("test") << invoke("setLedTestPattern") << board + "/led/play/request/1"
                          << leds(30,
                                  {led(255, 0, 0, 1000), led(0, 0, 0, 200), led(0, 255, 0, 1000),
                                   led(0, 0, 0, 200)});
    QTest::newRow("off") << invoke("setLedOff") << board + "/led/off/request/1" << QJsonObject();
    QTest::newRow("volume") << set("audioVolume", 0) << inspector + "/audio/set"
                            << QJsonObject {{"internal", QJsonObject {{"volume", 0}}}};
    QTest::newRow("play") << Call([](QObject* client) {
        return QMetaObject::invokeMethod(client, "audioPlay", Q_ARG(QString, "/opt/Valid.wav"));
    }) << inspector + "/audio/play"
                          << QJsonObject {{"device", "internal"}, {"filepath", "/opt/Valid.wav"}};
}

void TestMonitoredClients::commands()
{
    QFETCH(Call, call);
    QFETCH(QString, topic);
    QFETCH(QJsonObject, payload);

    TestPeer& service = m_bench->service();
    QVERIFY(call(topic.startsWith(board) ? static_cast<QObject*>(m_board) : m_inspector.get()));
    QVERIFY(service.waitForMessages(topic));
    // Indented JSON, and nothing changes before the service reports it.
    QCOMPARE(service.last(topic).json(), payload);
    QCOMPARE(service.last(topic).payload.contains('\n'), !payload.isEmpty());
    QVERIFY(m_board->audioEnabled() && m_board->displayBrightness() == 0
            && m_board->delayShutdownFor() == 0 && m_inspector->audioVolume() == 0);
    // The delay is sent only when it differs from the reported one.
    if (topic.endsWith("/config/set")) {
        QVERIFY(m_bench->deliver(board + "/config", payload));
        m_board->setDelayShutdownFor(300);
        QVERIFY(m_bench->sync());
        QCOMPARE(service.count(topic), 1);
    }
}

void TestMonitoredClients::powerRequests_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<int>("leadMsec");

    // Announced first so that the busy screen shows before the power goes.
    const QString shutdown = inspector + "/power/shutdown/request/1";
    QTest::newRow("reboot") << "reboot" << inspector + "/power/reboot/request/1" << 0;
    QTest::newRow("shutdown") << "shutdown" << shutdown << 0;
    QTest::newRow("scheduled") << "1" << shutdown << 1000;
    QTest::newRow("negative delay: at once") << "-5" << shutdown << 0;
}

void TestMonitoredClients::powerRequests()
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

void TestMonitoredClients::scheduledShutdownKeepsItsDeadline()
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

QTEST_GUILESS_MAIN(TestMonitoredClients)
#include "tst_monitoredclients.moc"
