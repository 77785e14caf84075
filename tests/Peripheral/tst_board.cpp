#include "Board.h"
#include "DeviceTestBench.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

using manager::Board;

namespace {

const QString base = QStringLiteral("ovant/board");

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

QJsonObject led(int r, int g, int b, int msec)
{
    return {{"color", QJsonObject {{"r", r}, {"g", g}, {"b", b}}}, {"duration", msec}};
}

} // namespace

class TestBoard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_board = &m_bench->make<Board>(base);
        QVERIFY(m_bench->start(base + "/#"));
    }
    void cleanup() { m_bench.reset(); }

    void statusReports();
    void ignitionEvents_data();
    void ignitionEvents();
    void infoConfigDisplayAndAudio();
    void peripheralPower();
    void commands_data();
    void commands();

private:
    bool deliver(const char* suffix, const QJsonObject& json)
    {
        return m_bench->deliver(base + suffix, json);
    }
    QStringList deviceValues() const
    {
        return {m_board->status(),
                QString::number(m_board->ignition()),
                m_board->poleId(),
                QString::number(m_board->temperature()),
                QString::number(m_board->voltage()),
                QString::number(m_board->uptime()),
                QString::number(m_board->rtcFailed())};
    }

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    Board* m_board = nullptr;
};

void TestBoard::statusReports()
{
    // On connection the board asked for its states, in order.
    TestPeer& service = m_bench->service();
    QStringList asked;
    for (const auto& message : service.messages(base + "/+/get"))
        asked << message.topic.mid(base.size()) + ' ' + message.payload;
    QCOMPARE(asked,
             QStringList({"/status/get {}", "/display/get {}", "/power/get {}", "/audio/get {}"}));

    QSignalSpy uptime(m_board, &Board::uptimeChanged);
    QSignalSpy rtc(m_board, &Board::rtcFailedChanged);
    for (const char* line :
         {"Ignition changed : true", "Pole Id changed : P-17", "Temperature changed : 41.5",
          "Voltage changed : 12.25", "Uptime changed : 3600", "RTC Status changed : FAIL"})
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("[Board] ") + line));
    QTest::ignoreMessage(QtInfoMsg, "[Board] Status changed : online");
    QVERIFY(deliver("/status", fullStatus));
    QVERIFY(deliver("/status", fullStatus));
    const QStringList values {"online", "1", "P-17", "41.5", "12.25", "3600", "1"};
    QCOMPARE(deviceValues(), values);
    QCOMPARE(uptime.count() + rtc.count(), 2);

    // Service down, or device not active: the values in the report are not looked at.
    QStringList expected = values;
    QTest::ignoreMessage(QtInfoMsg, "[Board] Status changed : offline");
    QVERIFY(deliver("/status", {{"service", false}, {"device", online({{"ignition", false}})}}));
    expected[0] = "offline";
    QCOMPARE(deviceValues(), expected);
    QTest::ignoreMessage(QtInfoMsg, "[Board] Status changed : error");
    QVERIFY(deliver("/status", {{"service", true}, {"device", QJsonObject {{"active", false}}}}));
    expected[0] = "error";
    QCOMPARE(deviceValues(), expected);

    // Missing values read as their defaults.
    QTest::ignoreMessage(QtDebugMsg, "[Board] RTC Status changed : OK");
    QVERIFY(deliver("/status", online({{"uptime", 3660}})));
    QCOMPARE(deviceValues(), QStringList({"online", "0", "", "0", "0", "3660", "0"}));
    QCOMPARE(m_board->property("poleId").toString(), QString());
}

void TestBoard::ignitionEvents_data()
{
    QTest::addColumn<QJsonValue>("data");
    QTest::addColumn<bool>("ignition");

    // Announced even when unchanged: the event itself is news.
    QTest::newRow("0") << QJsonValue(0) << false;
    QTest::newRow("1") << QJsonValue(1) << true;
    QTest::newRow("text 0") << QJsonValue("0") << false;
    QTest::newRow("text on") << QJsonValue("on") << true;
    QTest::newRow("false") << QJsonValue(false) << false;
    QTest::newRow("true") << QJsonValue(true) << true;
}

void TestBoard::ignitionEvents()
{
    QFETCH(QJsonValue, data);
    QFETCH(bool, ignition);

    QSignalSpy changed(m_board, &Board::ignitionChanged);
    QVERIFY(deliver("/event", {{"name", "IgnitionChanged"}, {"data", data}}));
    QVERIFY(deliver("/event", {{"name", "IgnitionChanged"}, {"data", data}}));
    QCOMPARE(m_board->ignition(), ignition);
    QCOMPARE(changed.count(), 2);

    // An event without a state, another event or another spelling: only logged.
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring ignition event without a state: data of type null");
    QTest::ignoreMessage(QtInfoMsg,
                         "[Board] Event received : ignitionchanged [QVariant(bool, true)]");
    QVERIFY(deliver("/event", {{"name", "IgnitionChanged"}, {"data", QJsonValue::Null}}));
    QVERIFY(deliver("/event", {{"name", "ignitionchanged"}, {"data", true}}));
    QVERIFY(deliver("/event", {{"name", "DoorOpened"}, {"data", true}}));
    QCOMPARE(m_board->ignition(), ignition);
    QCOMPARE(changed.count(), 2);
}

void TestBoard::infoConfigDisplayAndAudio()
{
    QSignalSpy info(m_board, &Board::infoChanged);
    QTest::ignoreMessage(QtInfoMsg, "[Board] Processing info topic ovant/board/info");
    QVERIFY(deliver("/info",
                    {{"device", QJsonObject {{"firmwareVersion", "2.1"}, {"hardwareId", "H"}}},
                     {"service", QJsonObject {{"version", "1.4"}}}}));
    QCOMPARE(m_board->info(),
             (QVariantMap {
                 {"firmware", "2.1"}, {"hardwareId", "H"}, {"hardware", ""}, {"version", "1.4"}}));
    QCOMPARE(info.count(), 1);

    QTest::ignoreMessage(QtInfoMsg, "[Board] Board shutdown delay changed : 120 sec(s)");
    QVERIFY(deliver("/config", {{"device", QJsonObject {{"delayShutdownFor", 120}}}}));
    QCOMPARE(m_board->delayShutdownFor(), 120);

    QSignalSpy brightness(m_board, &Board::displayBrightnessChanged);
    QTest::ignoreMessage(QtDebugMsg, "[Board] Display brightness changed : 80");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Display sensor changed : 35");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Display brightness mode changed : auto");
    QVERIFY(deliver("/display", {{"brightness", 80}, {"sensor", 35}, {"mode", "auto"}}));
    QVERIFY(deliver("/display", {{"brightness", 80}, {"sensor", 35}, {"mode", "auto"}}));
    QCOMPARE(m_board->ambientLightSensor(), 35);
    QCOMPARE(m_board->displayBrightnessMode(), QStringLiteral("auto"));
    QCOMPARE(brightness.count(), 1);

    QSignalSpy audio(m_board, &Board::audioEnabledChanged);
    QVERIFY(deliver("/audio", {{"mute", true}}));
    QVERIFY(deliver("/audio", {{"mute", true}}));
    QCOMPARE(m_board->property("audioEnabled").toBool(), false);
    QCOMPARE(audio.count(), 1);
}

void TestBoard::peripheralPower()
{
    QStringList seen;
    connect(m_board, &Board::peripheralPowerChanged, this,
            [&](const QString& key, bool on) { seen << key + '=' + QString::number(on); });
    connect(m_board, &Board::peripheralsChanged, this, [&] { seen << "all"; });
    QTest::ignoreMessage(QtInfoMsg, "[Board] Peripheral power changed 'usbHub' : true");
    QVERIFY(deliver("/power", {{"usbHub", true}, {"display", false}, {"modem", true}}));
    // Null: the service does not know; nothing new: nothing at all.
    QVERIFY(deliver("/power", {{"usbHub", QJsonValue::Null}, {"display", true}, {"modem", true}}));
    QVERIFY(deliver("/power", {{"display", true}}));
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
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^\\[Board\\] --- SET PERIPHERALS : "));
    m_board->setPeripherals({});
    QCOMPARE(m_board->peripherals(), expected);
}

void TestBoard::commands_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QJsonObject>("payload");
    QTest::addColumn<QString>("log");

    QTest::newRow("power") << "setPeripheralPower"
                           << "/power/set" << QJsonObject {{"usbHub", false}}
                           << "Setting peripheral power: usbHub (false)";
    QTest::newRow("brightness") << "displayBrightness"
                                << "/display/set" << QJsonObject {{"brightness", 42}}
                                << "Setting display brightness : 42";
    QTest::newRow("mode") << "displayBrightnessMode"
                          << "/display/set" << QJsonObject {{"mode", "manual"}}
                          << "Setting display brightness mode : manual";
    QTest::newRow("audio") << "audioEnabled"
                           << "/audio/set" << QJsonObject {{"mute", true}}
                           << "Setting audio enabled : false";
    QTest::newRow("delay") << "delayShutdownFor"
                           << "/config/set"
                           << QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 300}}}}
                           << "Setting board shutdown delay : 300 sec(s)";
    QTest::newRow("buzzer") << "playBuzzer"
                            << "/buzzer/play/request/1"
                            << QJsonObject {{"onMsec", 100}, {"offMsec", 200}, {"repeat", 0}}
                            << "Playing buzzer : on=100 msec, off=200 msec, repeat=0";
    QTest::newRow("valid") << "setLedValid"
                           << "/led/play/request/1"
                           << QJsonObject {{"repeat", 3},
                                           {"steps",
                                            QJsonArray {led(0, 255, 0, 100), led(0, 0, 0, 50)}}}
                           << "Setting LEDs to : VALID";
    QTest::newRow("invalid") << "setLedInvalid"
                             << "/led/play/request/1"
                             << QJsonObject {{"repeat", 3},
                                             {"steps",
                                              QJsonArray {led(255, 0, 0, 100), led(0, 0, 0, 50)}}}
                             << "Setting LEDs to : INVALID";
    QTest::newRow("test") << "setLedTestPattern"
                          << "/led/play/request/1"
                          << QJsonObject {{"repeat", 30},
                                          {"steps",
                                           QJsonArray {led(255, 0, 0, 1000), led(0, 0, 0, 200),
                                                       led(0, 255, 0, 1000), led(0, 0, 0, 200)}}}
                          << "Setting LEDs to : TEST";
    QTest::newRow("off") << "setLedOff"
                         << "/led/off/request/1" << QJsonObject() << "";
}

void TestBoard::commands()
{
    QFETCH(QString, call);
    QFETCH(QString, suffix);
    QFETCH(QJsonObject, payload);
    QFETCH(QString, log);

    // As QML calls them: through the meta-object system.
    if (!log.isEmpty())
        QTest::ignoreMessage(QtInfoMsg, qPrintable("[Board] " + log));
    const QByteArray name = call.toLatin1();
    if (call == "setPeripheralPower")
        QVERIFY(
            QMetaObject::invokeMethod(m_board, name, Q_ARG(QString, "usbHub"), Q_ARG(bool, false)));
    else if (call == "playBuzzer")
        QVERIFY(QMetaObject::invokeMethod(m_board, name, Q_ARG(int, 100), Q_ARG(int, 200)));
    else if (call.startsWith("set"))
        QVERIFY(QMetaObject::invokeMethod(m_board, name));
    else
        QVERIFY(m_board->setProperty(name,
                                     payload.begin()->isObject() ? 300
                                         : payload.begin()->isBool()
                                         ? QVariant(false)
                                         : payload.begin()->toVariant()));
    TestPeer& service = m_bench->service();
    QVERIFY(service.waitForMessages(base + suffix));
    // Indented JSON, and nothing changes before the board reports it.
    QCOMPARE(service.last(base + suffix).json(), payload);
    QCOMPARE(service.last(base + suffix).payload.contains('\n'), !payload.isEmpty());
    QCOMPARE(m_board->audioEnabled() && m_board->displayBrightness() == 0
                 && m_board->delayShutdownFor() == 0,
             true);
    // The delay is sent only when it differs from the reported one.
    if (call == "delayShutdownFor") {
        QVERIFY(deliver("/config", payload));
        m_board->setDelayShutdownFor(300);
        QVERIFY(m_bench->sync());
        QCOMPARE(service.count(base + suffix), 1);
    }
}

QTEST_GUILESS_MAIN(TestBoard)
#include "tst_board.moc"
