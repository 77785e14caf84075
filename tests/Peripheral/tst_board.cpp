#include "Board.h"
#include "DeviceTestBench.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using manager::Board;

namespace {

const QString base = QStringLiteral("ovant/board");

QString topic(const char* suffix)
{
    return base + QLatin1String(suffix);
}

QJsonObject onlineStatus(const QJsonObject& device)
{
    QJsonObject dev = device;
    dev.insert(QStringLiteral("active"), true);
    return QJsonObject {{"service", true}, {"device", dev}};
}

const QJsonObject fullStatus
    = onlineStatus({{"ignition", true},
                    {"poleId", "P-17"},
                    {"temperature", 41.5},
                    {"voltage", 12.25},
                    {"uptime", 3600},
                    {"hardwareStatus", QJsonObject {{"rtcFailed", true}}}});

// The parser's own description of why a payload is no JSON, as the client logs it.
QString parseError(const QByteArray& payload)
{
    QJsonParseError error;
    QJsonDocument::fromJson(payload, &error);
    return error.errorString();
}

QByteArray nested(int depth)
{
    return QByteArray(depth, '[') + QByteArray(depth, ']');
}

} // namespace

class TestBoard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void subscribesAndRefreshesOnConnection();
    void statusOnlineSetsDeviceValues();
    void statusOfflineOrErrorKeepsDeviceValues();
    void repeatedStatusEmitsNothing();
    void emptyStatusMeansOffline();
    void ignitionEvents();
    void infoAlwaysAnnounced();
    void configReportsShutdownDelay();
    void setDelayShutdownForPublishesOnlyNewValues();
    void displayValues();
    void audioEnabled();
    void powerSkipsNullValues();
    void peripheralsInKeyOrder();
    void setPeripheralsOnlyLogs();
    void readableFromQml();
    void monitorRefreshesPeriodically();
    void commands_data();
    void commands();
    void ledOffSendsEmptyRequest();
    void commandsDoNotChangeState();

    void garbageIsNotJson_data();
    void garbageIsNotJson();
    void garbageWithWrongTypes();
    void garbageLargeAndDeep();
    void otherTopicsAreIgnored();

private:
    // Publishes as the service and waits until the board has handled it.
    void publishAndSettle(const QString& topic, const QByteArray& payload);
    void publishAndSettle(const QString& topic, const QJsonObject& json);
    void settle();

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<Board> m_board;
};

void TestBoard::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void TestBoard::init()
{
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_board = std::make_unique<Board>(m_bench->client(), base);
    QVERIFY(m_bench->start(base + QStringLiteral("/#")));
}

void TestBoard::cleanup()
{
    m_board.reset();
    m_bench.reset();
}

void TestBoard::settle()
{
    QVERIFY(m_bench->sync());
}

void TestBoard::publishAndSettle(const QString& topic, const QByteArray& payload)
{
    QVERIFY(m_bench->service().publish(topic, payload));
    settle();
}

void TestBoard::publishAndSettle(const QString& topic, const QJsonObject& json)
{
    publishAndSettle(topic, QJsonDocument(json).toJson(QJsonDocument::Compact));
}

void TestBoard::subscribesAndRefreshesOnConnection()
{
    // The connection made in init() already asked for the four states, in order.
    TestPeer& service = m_bench->service();
    QTRY_COMPARE_WITH_TIMEOUT(service.count(base + QStringLiteral("/+/get")), 4, 10000);
    const auto gets = service.messages(base + QStringLiteral("/+/get"));
    QCOMPARE(gets.at(0).topic, topic("/status/get"));
    QCOMPARE(gets.at(1).topic, topic("/display/get"));
    QCOMPARE(gets.at(2).topic, topic("/power/get"));
    QCOMPARE(gets.at(3).topic, topic("/audio/get"));
    for (const auto& get : gets)
        QCOMPARE(get.payload, QByteArray("{}"));

    // After a broker restart the board subscribes again and asks again.
    service.clear();
    m_broker.stop();
    QVERIFY(m_broker.restart());
    QVERIFY(service.waitUntilReady());
    QTRY_COMPARE_WITH_TIMEOUT(service.count(base + QStringLiteral("/+/get")), 4, 20000);
    QVERIFY(m_bench->sync(20000));
    publishAndSettle(topic("/status"), fullStatus);
    QCOMPARE(m_board->status(), QStringLiteral("online"));
}

void TestBoard::statusOnlineSetsDeviceValues()
{
    QSignalSpy status(m_board.get(), &Board::statusChanged);
    QSignalSpy ignition(m_board.get(), &Board::ignitionChanged);
    QSignalSpy poleId(m_board.get(), &Board::poleIdChanged);
    QSignalSpy temperature(m_board.get(), &Board::temperatureChanged);
    QSignalSpy voltage(m_board.get(), &Board::voltageChanged);
    QSignalSpy uptime(m_board.get(), &Board::uptimeChanged);
    QSignalSpy rtc(m_board.get(), &Board::rtcFailedChanged);

    QCOMPARE(m_board->status(), QString());
    QTest::ignoreMessage(QtInfoMsg, "[Board] Status changed : online");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Ignition changed : true");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Pole Id changed : P-17");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Temperature changed : 41.5");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Voltage changed : 12.25");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Uptime changed : 3600");
    QTest::ignoreMessage(QtDebugMsg, "[Board] RTC Status changed : FAIL");
    publishAndSettle(topic("/status"), fullStatus);

    QCOMPARE(m_board->status(), QStringLiteral("online"));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(m_board->poleId(), QStringLiteral("P-17"));
    QCOMPARE(m_board->temperature(), 41.5);
    QCOMPARE(m_board->voltage(), 12.25);
    QCOMPARE(m_board->uptime(), 3600);
    QCOMPARE(m_board->rtcFailed(), true);
    for (QSignalSpy* spy : {&status, &ignition, &poleId, &temperature, &voltage, &uptime, &rtc})
        QCOMPARE(spy->count(), 1);

    // The same values through the property system, as QML reads them.
    QCOMPARE(m_board->property("ignition").toBool(), true);
    QCOMPARE(m_board->property("poleId").toString(), QStringLiteral("P-17"));
    QCOMPARE(m_board->property("rtcFailed").toBool(), true);

    // A value going back to its default is a change too.
    QTest::ignoreMessage(QtDebugMsg, "[Board] RTC Status changed : OK");
    publishAndSettle(topic("/status"),
                     onlineStatus({{"ignition", true},
                                   {"poleId", "P-17"},
                                   {"temperature", 41.5},
                                   {"voltage", 12.25},
                                   {"uptime", 3600},
                                   {"hardwareStatus", QJsonObject {{"rtcFailed", false}}}}));
    QCOMPARE(m_board->rtcFailed(), false);
    QCOMPARE(rtc.count(), 2);
    QCOMPARE(ignition.count(), 1);
}

void TestBoard::statusOfflineOrErrorKeepsDeviceValues()
{
    publishAndSettle(topic("/status"), fullStatus);
    QSignalSpy status(m_board.get(), &Board::statusChanged);
    QSignalSpy ignition(m_board.get(), &Board::ignitionChanged);
    QSignalSpy temperature(m_board.get(), &Board::temperatureChanged);

    // Service down: the device values in the message are not looked at.
    QTest::ignoreMessage(QtInfoMsg, "[Board] Status changed : offline");
    publishAndSettle(
        topic("/status"),
        QJsonObject {{"service", false},
                     {"device",
                      QJsonObject {{"active", true}, {"ignition", false}, {"temperature", -5.0}}}});
    QCOMPARE(m_board->status(), QStringLiteral("offline"));
    QCOMPARE(status.count(), 1);
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(m_board->temperature(), 41.5);
    QCOMPARE(m_board->uptime(), 3600);

    // Device not active: "error", values kept as well.
    QTest::ignoreMessage(QtInfoMsg, "[Board] Status changed : error");
    publishAndSettle(
        topic("/status"),
        QJsonObject {{"service", true},
                     {"device", QJsonObject {{"active", false}, {"ignition", false}}}});
    QCOMPARE(m_board->status(), QStringLiteral("error"));
    QCOMPARE(status.count(), 2);
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(ignition.count(), 0);
    QCOMPARE(temperature.count(), 0);

    // Back online with the same values: only the status changes.
    publishAndSettle(topic("/status"), fullStatus);
    QCOMPARE(m_board->status(), QStringLiteral("online"));
    QCOMPARE(status.count(), 3);
    QCOMPARE(ignition.count(), 0);
    QCOMPARE(temperature.count(), 0);
}

void TestBoard::repeatedStatusEmitsNothing()
{
    publishAndSettle(topic("/status"), fullStatus);
    QList<std::shared_ptr<QSignalSpy>> spies;
    for (const char* signal :
         {SIGNAL(statusChanged()), SIGNAL(ignitionChanged()), SIGNAL(poleIdChanged()),
          SIGNAL(temperatureChanged()), SIGNAL(voltageChanged()), SIGNAL(uptimeChanged()),
          SIGNAL(rtcFailedChanged())})
        spies.append(std::make_shared<QSignalSpy>(m_board.get(), signal));

    publishAndSettle(topic("/status"), fullStatus);
    publishAndSettle(topic("/status"), fullStatus);
    for (const auto& spy : spies)
        QCOMPARE(spy->count(), 0);

    // Only the uptime moved on: only its signal.
    QJsonObject later = fullStatus;
    QJsonObject device = later.value("device").toObject();
    device.insert("uptime", 3660);
    later.insert("device", device);
    publishAndSettle(topic("/status"), later);
    QCOMPARE(m_board->uptime(), 3660);
    int emitted = 0;
    for (const auto& spy : spies)
        emitted += spy->count();
    QCOMPARE(emitted, 1);
}

void TestBoard::emptyStatusMeansOffline()
{
    publishAndSettle(topic("/status"), fullStatus);
    publishAndSettle(topic("/status"), QByteArray());
    QCOMPARE(m_board->status(), QStringLiteral("offline"));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(m_board->poleId(), QStringLiteral("P-17"));
}

void TestBoard::ignitionEvents()
{
    QSignalSpy ignition(m_board.get(), &Board::ignitionChanged);
    QCOMPARE(m_board->ignition(), false);

    const auto event = [](const QJsonValue& data) {
        return QJsonObject {{"name", "IgnitionChanged"}, {"data", data}};
    };

    // Off while already off: announced all the same.
    QTest::ignoreMessage(QtInfoMsg,
                         "[Board] Event received : IgnitionChanged [QVariant(qlonglong, 0)]");
    publishAndSettle(topic("/event"), event(0));
    QCOMPARE(m_board->ignition(), false);
    QCOMPARE(ignition.count(), 1);

    publishAndSettle(topic("/event"), event(1));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(ignition.count(), 2);

    publishAndSettle(topic("/event"), event(1));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(ignition.count(), 3);

    publishAndSettle(topic("/event"), event(QStringLiteral("0")));
    QCOMPARE(m_board->ignition(), false);
    publishAndSettle(topic("/event"), event(QStringLiteral("on")));
    QCOMPARE(m_board->ignition(), true);
    publishAndSettle(topic("/event"), event(false));
    QCOMPARE(m_board->ignition(), false);
    publishAndSettle(topic("/event"), event(true));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(ignition.count(), 7);

    // An event without a state says nothing about the ignition.
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring ignition event without a state: data of type undefined");
    publishAndSettle(topic("/event"), QJsonObject {{"name", "IgnitionChanged"}});
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring ignition event without a state: data of type null");
    publishAndSettle(topic("/event"), event(QJsonValue::Null));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(ignition.count(), 7);

    // Other events and other spellings are only logged.
    QTest::ignoreMessage(QtInfoMsg,
                         "[Board] Event received : ignitionchanged [QVariant(qlonglong, 0)]");
    publishAndSettle(topic("/event"), QJsonObject {{"name", "ignitionchanged"}, {"data", 0}});
    publishAndSettle(topic("/event"), QJsonObject {{"name", "DoorOpened"}, {"data", 0}});
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(ignition.count(), 7);

    // The next status report compares with the event's value.
    publishAndSettle(topic("/status"), onlineStatus({{"ignition", true}}));
    QCOMPARE(ignition.count(), 7);
}

void TestBoard::infoAlwaysAnnounced()
{
    QSignalSpy info(m_board.get(), &Board::infoChanged);
    const QJsonObject message {{"device",
                                QJsonObject {{"firmwareVersion", "2.1.0"},
                                             {"hardwareId", "HW-9"},
                                             {"hardwareVersion", "C"}}},
                               {"service", QJsonObject {{"version", "1.4"}}}};
    QTest::ignoreMessage(QtInfoMsg, "[Board] Processing info topic ovant/board/info");
    QVERIFY(m_bench->service().publish(topic("/info"), message));
    QTRY_COMPARE_WITH_TIMEOUT(info.count(), 1, 10000);
    const QVariantMap expected {
        {"firmware", "2.1.0"}, {"hardwareId", "HW-9"}, {"hardware", "C"}, {"version", "1.4"}};
    QCOMPARE(m_board->info(), expected);
    QCOMPARE(m_board->property("info").toMap(), expected);

    QVERIFY(m_bench->service().publish(topic("/info"), message));
    QTRY_COMPARE_WITH_TIMEOUT(info.count(), 2, 10000);
    QCOMPARE(m_board->info(), expected);

    // Missing fields read as empty texts.
    QVERIFY(m_bench->service().publish(
        topic("/info"), QJsonObject {{"service", QJsonObject {{"version", "1.5"}}}}));
    QTRY_COMPARE_WITH_TIMEOUT(info.count(), 3, 10000);
    QCOMPARE(
        m_board->info(),
        (QVariantMap {{"firmware", ""}, {"hardwareId", ""}, {"hardware", ""}, {"version", "1.5"}}));
}

void TestBoard::configReportsShutdownDelay()
{
    QSignalSpy delay(m_board.get(), &Board::delayShutdownForChanged);
    QCOMPARE(m_board->delayShutdownFor(), 0);

    QTest::ignoreMessage(QtInfoMsg, "[Board] Board shutdown delay changed : 120 sec(s)");
    publishAndSettle(topic("/config"),
                     QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 120}}}});
    QCOMPARE(m_board->delayShutdownFor(), 120);
    QCOMPARE(m_board->property("delayShutdownFor").toInt(), 120);
    QCOMPARE(delay.count(), 1);

    publishAndSettle(topic("/config"),
                     QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 120}}}});
    QCOMPARE(delay.count(), 1);
}

void TestBoard::setDelayShutdownForPublishesOnlyNewValues()
{
    TestPeer& service = m_bench->service();
    const QString configSet = topic("/config/set");
    QSignalSpy delay(m_board.get(), &Board::delayShutdownForChanged);

    // 0 is the value before any report: nothing to send.
    m_board->setDelayShutdownFor(0);
    QVERIFY(m_bench->sync());
    QCOMPARE(service.count(configSet), 0);

    QTest::ignoreMessage(QtInfoMsg, "[Board] Setting board shutdown delay : 300 sec(s)");
    m_board->setDelayShutdownFor(300);
    QVERIFY(service.waitForMessages(configSet, 1));
    QCOMPARE(service.last(configSet).json(),
             (QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 300}}}}));
    // The value follows the board's report, not the request.
    QCOMPARE(m_board->delayShutdownFor(), 0);
    QCOMPARE(delay.count(), 0);

    publishAndSettle(topic("/config"),
                     QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 300}}}});
    QCOMPARE(m_board->delayShutdownFor(), 300);
    QCOMPARE(delay.count(), 1);

    service.clear();
    m_board->setDelayShutdownFor(300);
    m_board->setProperty("delayShutdownFor", 300);
    QVERIFY(m_bench->sync());
    QCOMPARE(service.count(configSet), 0);

    // Through the property, as the settings page writes it.
    m_board->setProperty("delayShutdownFor", 60);
    QVERIFY(service.waitForMessages(configSet, 1));
    QCOMPARE(service.last(configSet).json(),
             (QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 60}}}}));
}

void TestBoard::displayValues()
{
    QSignalSpy brightness(m_board.get(), &Board::displayBrightnessChanged);
    QSignalSpy sensor(m_board.get(), &Board::ambientLightSensorChanged);
    QSignalSpy mode(m_board.get(), &Board::displayBrightnessModeChanged);

    QTest::ignoreMessage(QtDebugMsg, "[Board] Display brightness changed : 80");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Display sensor changed : 35");
    QTest::ignoreMessage(QtDebugMsg, "[Board] Display brightness mode changed : auto");
    publishAndSettle(topic("/display"),
                     QJsonObject {{"brightness", 80}, {"sensor", 35}, {"mode", "auto"}});
    QCOMPARE(m_board->displayBrightness(), 80);
    QCOMPARE(m_board->ambientLightSensor(), 35);
    QCOMPARE(m_board->displayBrightnessMode(), QStringLiteral("auto"));
    QCOMPARE(brightness.count(), 1);
    QCOMPARE(sensor.count(), 1);
    QCOMPARE(mode.count(), 1);

    publishAndSettle(topic("/display"),
                     QJsonObject {{"brightness", 80}, {"sensor", 40}, {"mode", "auto"}});
    QCOMPARE(brightness.count(), 1);
    QCOMPARE(sensor.count(), 2);
    QCOMPARE(mode.count(), 1);

    // The service always reports all three: a missing one reads as 0 or empty.
    publishAndSettle(topic("/display"), QJsonObject {{"brightness", 50}});
    QCOMPARE(m_board->displayBrightness(), 50);
    QCOMPARE(m_board->ambientLightSensor(), 0);
    QCOMPARE(m_board->displayBrightnessMode(), QString());
    QCOMPARE(brightness.count(), 2);
    QCOMPARE(sensor.count(), 3);
    QCOMPARE(mode.count(), 2);
}

void TestBoard::audioEnabled()
{
    QSignalSpy audio(m_board.get(), &Board::audioEnabledChanged);
    QCOMPARE(m_board->audioEnabled(), true);

    publishAndSettle(topic("/audio"), QJsonObject {{"mute", false}});
    QCOMPARE(m_board->audioEnabled(), true);
    QCOMPARE(audio.count(), 0);

    publishAndSettle(topic("/audio"), QJsonObject {{"mute", true}});
    QCOMPARE(m_board->audioEnabled(), false);
    QCOMPARE(m_board->property("audioEnabled").toBool(), false);
    QCOMPARE(audio.count(), 1);

    publishAndSettle(topic("/audio"), QJsonObject {{"mute", true}});
    QCOMPARE(audio.count(), 1);

    publishAndSettle(topic("/audio"), QJsonObject {{"mute", false}});
    QCOMPARE(m_board->audioEnabled(), true);
    QCOMPARE(audio.count(), 2);
}

void TestBoard::powerSkipsNullValues()
{
    publishAndSettle(topic("/power"), QJsonObject {{"display", true}, {"touch", true}});
    QCOMPARE(m_board->peripheralPower("display"), true);
    QCOMPARE(m_board->peripheralPower("touch"), true);

    // Record both signals in one sequence to check their order.
    QStringList sequence;
    connect(m_board.get(), &Board::peripheralPowerChanged, this,
            [&](const QString& key, bool value) {
                sequence << key + QLatin1Char('=') + (value ? "true" : "false");
            });
    connect(m_board.get(), &Board::peripheralsChanged, this, [&] { sequence << "peripherals"; });

    QTest::ignoreMessage(QtInfoMsg, "[Board] Peripheral power changed 'display' : false");
    publishAndSettle(topic("/power"),
                     QJsonObject {{"display", false}, {"touch", QJsonValue::Null}});
    QCOMPARE(sequence, (QStringList {"display=false", "peripherals"}));
    QCOMPARE(m_board->peripheralPower("display"), false);
    QCOMPARE(m_board->peripheralPower("touch"), true);

    // Several changes: one signal each, then one peripheralsChanged.
    sequence.clear();
    publishAndSettle(topic("/power"),
                     QJsonObject {{"display", true}, {"touch", false}, {"usbHub", true}});
    QCOMPARE(sequence, (QStringList {"display=true", "touch=false", "usbHub=true", "peripherals"}));

    // Nothing new: nothing at all.
    sequence.clear();
    publishAndSettle(topic("/power"), QJsonObject {{"display", true}, {"usbHub", true}});
    publishAndSettle(topic("/power"), QByteArray());
    QCOMPARE(sequence, QStringList());

    QCOMPARE(m_board->peripheralPower("neverReported"), false);
}

void TestBoard::peripheralsInKeyOrder()
{
    QCOMPARE(m_board->peripherals(), QList<QVariantMap>());

    publishAndSettle(topic("/power"),
                     QJsonObject {{"usbHub", true}, {"display", false}, {"modem", true}});
    const QList<QVariantMap> expected {
        {{"item", "display"}, {"descr", "Display"}, {"value", false}},
        {{"item", "modem"}, {"descr", ""}, {"value", true}},
        {{"item", "usbHub"}, {"descr", "USB Hub"}, {"value", true}},
    };
    QCOMPARE(m_board->peripherals(), expected);
    QCOMPARE(m_board->property("peripherals").value<QList<QVariantMap>>(), expected);

    // Every rail the board knows, with its description.
    publishAndSettle(topic("/power"),
                     QJsonObject {{"ftdi", true},
                                  {"mPCIe1", true},
                                  {"mPCIe2", true},
                                  {"qrReader", true},
                                  {"rfidReader", true},
                                  {"touch", true},
                                  {"usbHost1", true}});
    QStringList descriptions;
    for (const QVariantMap& peripheral : m_board->peripherals())
        descriptions << peripheral.value("descr").toString();
    QCOMPARE(descriptions,
             (QStringList {"Display", "FTDI", "mPCIe #1", "mPCIe #2", "", "QR Reader",
                           "RFID Reader", "Touch", "USB Host", "USB Hub"}));
}

void TestBoard::readableFromQml()
{
    publishAndSettle(topic("/power"), QJsonObject {{"usbHub", true}, {"display", false}});
    publishAndSettle(topic("/status"), fullStatus);

    QQmlEngine engine;
    engine.rootContext()->setContextProperty("board", m_board.get());
    const auto evaluate = [&](const QString& text) {
        QQmlExpression expression(engine.rootContext(), nullptr, text);
        const QVariant result = expression.evaluate();
        if (expression.hasError())
            qWarning() << expression.error().toString();
        return result;
    };
    QCOMPARE(evaluate("board.peripherals.length").toInt(), 2);
    QCOMPARE(evaluate("board.peripherals[1].descr").toString(), QStringLiteral("USB Hub"));
    QCOMPARE(evaluate("board.peripherals[0].value").toBool(), false);
    QCOMPARE(evaluate("board.peripheralPower('usbHub')").toBool(), true);
    QCOMPARE(evaluate("board.ignition && board.temperature === 41.5").toBool(), true);
    QCOMPARE(evaluate("board.audioEnabled").toBool(), true);

    m_bench->service().clear();
    evaluate("board.playBuzzer(100, 200)");
    QVERIFY(m_bench->service().waitForMessages(topic("/buzzer/play/request/1"), 1));
    QCOMPARE(m_bench->service().last(topic("/buzzer/play/request/1")).json(),
             (QJsonObject {{"onMsec", 100}, {"offMsec", 200}, {"repeat", 0}}));
}

void TestBoard::setPeripheralsOnlyLogs()
{
    publishAndSettle(topic("/power"), QJsonObject {{"display", true}});
    QSignalSpy peripherals(m_board.get(), &Board::peripheralsChanged);
    m_bench->service().clear();

    const QList<QVariantMap> list {{{"item", "display"}, {"value", false}}};
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^\\[Board\\] --- SET PERIPHERALS : .*display"));
    m_board->setProperty("peripherals", QVariant::fromValue(list));
    QVERIFY(m_bench->sync());
    QCOMPARE(peripherals.count(), 0);
    QCOMPARE(m_board->peripheralPower("display"), true);
    QCOMPARE(m_bench->service().count(topic("/power/set")), 0);
}

void TestBoard::monitorRefreshesPeriodically()
{
    TestPeer& service = m_bench->service();
    const QString statusGet = topic("/status/get");
    QTRY_COMPARE_WITH_TIMEOUT(service.count(statusGet), 1, 10000);
    service.clear();

    QTest::ignoreMessage(QtInfoMsg, "[Board] Monitor started : 100 msec(s)");
    m_board->monitor(100);
    // At once: before the first tick, a probe sent after monitor() finds the four requests.
    QVERIFY(m_bench->sync());
    for (const char* get : {"/status/get", "/display/get", "/power/get", "/audio/get"})
        QVERIFY2(service.count(topic(get)) >= 1, get);
    // Then again and again.
    QVERIFY(service.waitForMessages(statusGet, 4, 20000));

    QTest::ignoreMessage(QtInfoMsg, "[Board] Monitor stopped");
    m_board->monitor(0);
    QVERIFY(m_bench->sync());
    const int stoppedAt = service.count(statusGet);
    QTest::qWait(600);
    QVERIFY(m_bench->sync());
    QCOMPARE(service.count(statusGet), stoppedAt);

    // It can be started again.
    m_board->monitor(100);
    QVERIFY(service.waitForMessages(statusGet, stoppedAt + 2, 20000));
    m_board->monitor(0);
}

void TestBoard::commands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QJsonObject>("payload");
    QTest::addColumn<QString>("log");

    const auto step = [](int r, int g, int b, int duration) {
        return QJsonObject {{"color", QJsonObject {{"r", r}, {"g", g}, {"b", b}}},
                            {"duration", duration}};
    };

    QTest::newRow("power on") << "power display on"
                              << "/power/set" << QJsonObject {{"display", true}}
                              << "[Board] Setting peripheral power: display (true)";
    QTest::newRow("power off") << "power usbHub off"
                               << "/power/set" << QJsonObject {{"usbHub", false}}
                               << "[Board] Setting peripheral power: usbHub (false)";
    QTest::newRow("brightness") << "brightness"
                                << "/display/set" << QJsonObject {{"brightness", 42}}
                                << "[Board] Setting display brightness : 42";
    QTest::newRow("mode") << "mode"
                          << "/display/set" << QJsonObject {{"mode", "manual"}}
                          << "[Board] Setting display brightness mode : manual";
    QTest::newRow("audio off") << "audio off"
                               << "/audio/set" << QJsonObject {{"mute", true}}
                               << "[Board] Setting audio enabled : false";
    QTest::newRow("audio on") << "audio on"
                              << "/audio/set" << QJsonObject {{"mute", false}}
                              << "[Board] Setting audio enabled : true";
    QTest::newRow("buzzer two arguments")
        << "buzzer 2"
        << "/buzzer/play/request/1"
        << QJsonObject {{"onMsec", 100}, {"offMsec", 200}, {"repeat", 0}}
        << "[Board] Playing buzzer : on=100 msec, off=200 msec, repeat=0";
    QTest::newRow("buzzer three arguments")
        << "buzzer 3"
        << "/buzzer/play/request/1"
        << QJsonObject {{"onMsec", 100}, {"offMsec", 200}, {"repeat", 3}}
        << "[Board] Playing buzzer : on=100 msec, off=200 msec, repeat=3";
    QTest::newRow("led valid")
        << "valid"
        << "/led/play/request/1"
        << QJsonObject {{"repeat", 3},
                        {"steps", QJsonArray {step(0, 255, 0, 100), step(0, 0, 0, 50)}}}
        << "[Board] Setting LEDs to : VALID";
    QTest::newRow("led invalid")
        << "invalid"
        << "/led/play/request/1"
        << QJsonObject {{"repeat", 3},
                        {"steps", QJsonArray {step(255, 0, 0, 100), step(0, 0, 0, 50)}}}
        << "[Board] Setting LEDs to : INVALID";
    QTest::newRow("led test") << "test"
                              << "/led/play/request/1"
                              << QJsonObject {{"repeat", 30},
                                              {"steps",
                                               QJsonArray {
                                                   step(255, 0, 0, 1000), step(0, 0, 0, 200),
                                                   step(0, 255, 0, 1000), step(0, 0, 0, 200)}}}
                              << "[Board] Setting LEDs to : TEST";
}

void TestBoard::commands()
{
    QFETCH(QString, command);
    QFETCH(QString, suffix);
    QFETCH(QJsonObject, payload);
    QFETCH(QString, log);

    TestPeer& service = m_bench->service();
    service.clear();
    QTest::ignoreMessage(QtInfoMsg, qPrintable(log));

    // As QML calls them: through the meta-object system.
    Board* board = m_board.get();
    if (command == "power display on")
        QVERIFY(QMetaObject::invokeMethod(board, "setPeripheralPower", Q_ARG(QString, "display"),
                                          Q_ARG(bool, true)));
    else if (command == "power usbHub off")
        board->setPeripheralPower("usbHub", false);
    else if (command == "brightness")
        QVERIFY(board->setProperty("displayBrightness", 42));
    else if (command == "mode")
        QVERIFY(board->setProperty("displayBrightnessMode", "manual"));
    else if (command == "audio off")
        QVERIFY(board->setProperty("audioEnabled", false));
    else if (command == "audio on")
        board->setAudioEnabled(true);
    else if (command == "buzzer 2")
        QVERIFY(QMetaObject::invokeMethod(board, "playBuzzer", Q_ARG(int, 100), Q_ARG(int, 200)));
    else if (command == "buzzer 3")
        QVERIFY(QMetaObject::invokeMethod(board, "playBuzzer", Q_ARG(int, 100), Q_ARG(int, 200),
                                          Q_ARG(int, 3)));
    else if (command == "valid")
        QVERIFY(QMetaObject::invokeMethod(board, "setLedValid"));
    else if (command == "invalid")
        board->setLedInvalid();
    else if (command == "test")
        board->setLedTestPattern();

    QVERIFY(service.waitForMessages(base + suffix, 1));
    QVERIFY(m_bench->sync());
    QCOMPARE(
        service.count(base + QStringLiteral("/+/set")) + service.count(base + "/+/+/request/+"), 1);
    const TestPeer::Message message = service.last(base + suffix);
    // Indented JSON text of one object.
    const QJsonDocument document = QJsonDocument::fromJson(message.payload);
    QVERIFY(document.isObject());
    QCOMPARE(document.object(), payload);
    QVERIFY(message.payload.contains('\n'));
}

void TestBoard::ledOffSendsEmptyRequest()
{
    TestPeer& service = m_bench->service();
    QVERIFY(QMetaObject::invokeMethod(m_board.get(), "setLedOff"));
    QVERIFY(service.waitForMessages(topic("/led/off/request/1"), 1));
    QCOMPARE(service.last(topic("/led/off/request/1")).payload, QByteArray());
}

void TestBoard::commandsDoNotChangeState()
{
    publishAndSettle(topic("/power"), QJsonObject {{"display", true}});
    publishAndSettle(topic("/display"),
                     QJsonObject {{"brightness", 80}, {"sensor", 35}, {"mode", "auto"}});
    QSignalSpy power(m_board.get(), &Board::peripheralPowerChanged);
    QSignalSpy brightness(m_board.get(), &Board::displayBrightnessChanged);
    QSignalSpy audio(m_board.get(), &Board::audioEnabledChanged);

    m_board->setPeripheralPower("display", false);
    m_board->setDisplayBrightness(10);
    m_board->setDisplayBrightnessMode("manual");
    m_board->setAudioEnabled(false);
    QVERIFY(m_bench->service().waitForMessages(topic("/audio/set"), 1));
    QCOMPARE(m_board->peripheralPower("display"), true);
    QCOMPARE(m_board->displayBrightness(), 80);
    QCOMPARE(m_board->displayBrightnessMode(), QStringLiteral("auto"));
    QCOMPARE(m_board->audioEnabled(), true);
    QCOMPARE(power.count() + brightness.count() + audio.count(), 0);

    // Not connected: nothing goes out and nothing changes.
    manager::MqttClient offline;
    Board unconnected(offline, base);
    unconnected.setPeripheralPower("display", true);
    unconnected.setLedValid();
    unconnected.refresh();
    QCOMPARE(unconnected.peripheralPower("display"), false);
}

void TestBoard::garbageIsNotJson_data()
{
    QTest::addColumn<QString>("suffix");
    for (const char* suffix :
         {"/info", "/status", "/config", "/display", "/power", "/audio", "/event"})
        QTest::newRow(suffix) << QString::fromLatin1(suffix);
}

void TestBoard::garbageIsNotJson()
{
    QFETCH(QString, suffix);
    publishAndSettle(topic("/status"), fullStatus);
    publishAndSettle(topic("/power"), QJsonObject {{"display", true}});
    publishAndSettle(topic("/config"),
                     QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 30}}}});
    publishAndSettle(topic("/audio"), QJsonObject {{"mute", true}});
    publishAndSettle(topic("/display"),
                     QJsonObject {{"brightness", 80}, {"sensor", 35}, {"mode", "auto"}});
    publishAndSettle(topic("/info"),
                     QJsonObject {{"device", QJsonObject {{"firmwareVersion", "2.1.0"}}}});
    const QVariantMap info = m_board->info();

    QSignalSpy any(m_board.get(), &Board::ignitionChanged);
    const QList<QByteArray> payloads {
        "not json at all",      "{\"service\": true,",
        "{\"a\": 1} trailing",  QByteArray("\x00\xff\xfe", 3),
        "{'single': 'quotes'}", "\xc3\x28 invalid utf-8",
    };
    for (const QByteArray& payload : payloads) {
        QTest::ignoreMessage(
            QtCriticalMsg,
            qPrintable("[Board] Failed to parse JSON message: " + parseError(payload)));
        publishAndSettle(topic(qPrintable(suffix)), payload);
    }

    QCOMPARE(m_board->status(), QStringLiteral("online"));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(m_board->temperature(), 41.5);
    QCOMPARE(m_board->peripheralPower("display"), true);
    QCOMPARE(m_board->delayShutdownFor(), 30);
    QCOMPARE(m_board->audioEnabled(), false);
    QCOMPARE(m_board->displayBrightness(), 80);
    QCOMPARE(m_board->displayBrightnessMode(), QStringLiteral("auto"));
    QCOMPARE(m_board->info(), info);
    QCOMPARE(any.count(), 0);
}

void TestBoard::garbageWithWrongTypes()
{
    publishAndSettle(topic("/status"), fullStatus);
    publishAndSettle(topic("/power"), QJsonObject {{"display", true}});
    publishAndSettle(topic("/config"),
                     QJsonObject {{"device", QJsonObject {{"delayShutdownFor", 30}}}});
    publishAndSettle(topic("/audio"), QJsonObject {{"mute", true}});
    publishAndSettle(topic("/display"),
                     QJsonObject {{"brightness", 80}, {"sensor", 35}, {"mode", "auto"}});
    QSignalSpy status(m_board.get(), &Board::statusChanged);

    // An array document carries no fields; a bare value is no document at all.
    for (const char* suffix : {"/power", "/event"})
        publishAndSettle(topic(suffix), QByteArray("[1, 2, 3]"));
    for (const QByteArray& payload :
         {QByteArray("42"), QByteArray("\"text\""), QByteArray("null"), QByteArray("true")}) {
        for (const char* suffix : {"/power", "/audio", "/event"}) {
            QTest::ignoreMessage(
                QtCriticalMsg,
                qPrintable("[Board] Failed to parse JSON message: " + parseError(payload)));
            publishAndSettle(topic(suffix), payload);
        }
    }
    QCOMPARE(m_board->peripheralPower("display"), true);
    QCOMPARE(m_board->audioEnabled(), false);
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(status.count(), 0);

    // A status whose state cannot be read changes nothing.
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'service' of type string, expected bool");
    publishAndSettle(topic("/status"), QJsonObject {{"service", "yes"}});
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'device' of type number, expected object");
    publishAndSettle(topic("/status"), QJsonObject {{"service", true}, {"device", 5}});
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'active' of type array, expected bool");
    publishAndSettle(
        topic("/status"),
        QJsonObject {{"service", true}, {"device", QJsonObject {{"active", QJsonArray {}}}}});
    QCOMPARE(m_board->status(), QStringLiteral("online"));
    QCOMPARE(status.count(), 0);

    // Fields of the wrong type keep their values; the others are taken.
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'ignition' of type string, expected bool");
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'poleId' of type number, expected string");
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'temperature' of type string, expected number");
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'voltage' of type object, expected number");
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'uptime' of type number, expected integer");
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'hardwareStatus' of type bool, expected object");
    publishAndSettle(topic("/status"),
                     onlineStatus({{"ignition", "off"},
                                   {"poleId", 17},
                                   {"temperature", "hot"},
                                   {"voltage", QJsonObject {{"v", 1}}},
                                   {"uptime", 12.5},
                                   {"hardwareStatus", true}}));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(m_board->poleId(), QStringLiteral("P-17"));
    QCOMPARE(m_board->temperature(), 41.5);
    QCOMPARE(m_board->voltage(), 12.25);
    QCOMPARE(m_board->uptime(), 3600);
    QCOMPARE(m_board->rtcFailed(), true);

    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'display' of type string, expected bool");
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'touch' of type number, expected bool");
    publishAndSettle(topic("/power"), QJsonObject {{"display", "off"}, {"touch", 0}});
    QCOMPARE(m_board->peripheralPower("display"), true);
    QCOMPARE(m_board->peripherals().size(), 1);

    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'mute' of type string, expected bool");
    publishAndSettle(topic("/audio"), QJsonObject {{"mute", "no"}});
    QCOMPARE(m_board->audioEnabled(), false);

    QTest::ignoreMessage(
        QtWarningMsg, "[Board] Ignoring field 'delayShutdownFor' of type string, expected integer");
    publishAndSettle(topic("/config"),
                     QJsonObject {{"device", QJsonObject {{"delayShutdownFor", "60"}}}});
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'device' of type array, expected object");
    publishAndSettle(topic("/config"), QJsonObject {{"device", QJsonArray {1}}});
    QCOMPARE(m_board->delayShutdownFor(), 30);

    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'brightness' of type string, expected integer");
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'mode' of type number, expected string");
    publishAndSettle(topic("/display"),
                     QJsonObject {{"brightness", "80%"}, {"sensor", 35}, {"mode", 1}});
    QCOMPARE(m_board->displayBrightness(), 80);
    QCOMPARE(m_board->displayBrightnessMode(), QStringLiteral("auto"));

    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'name' of type number, expected string");
    publishAndSettle(topic("/event"), QJsonObject {{"name", 7}, {"data", 0}});
    QCOMPARE(m_board->ignition(), true);

    // A status document that is no object has no "service": the board is offline,
    // its last values stay.
    publishAndSettle(topic("/status"), QByteArray("[true]"));
    QCOMPARE(m_board->status(), QStringLiteral("offline"));
    QCOMPARE(m_board->temperature(), 41.5);
}

void TestBoard::garbageLargeAndDeep()
{
    publishAndSettle(topic("/status"), fullStatus);
    publishAndSettle(topic("/power"), QJsonObject {{"display", true}});

    // 1 MB that is no JSON.
    const QByteArray megabyte(1024 * 1024, 'x');
    QTest::ignoreMessage(
        QtCriticalMsg, qPrintable("[Board] Failed to parse JSON message: " + parseError(megabyte)));
    publishAndSettle(topic("/status"), megabyte);

    // 1 MB of JSON in a field of the wrong type.
    QJsonObject large = fullStatus;
    QJsonObject device = large.value("device").toObject();
    device.insert("temperature", QString(1024 * 1024, 'x'));
    large.insert("device", device);
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'temperature' of type string, expected number");
    publishAndSettle(topic("/status"), large);
    QCOMPARE(m_board->temperature(), 41.5);

    // Nested deeper than the parser allows.
    const QByteArray deep = nested(100000);
    QTest::ignoreMessage(QtCriticalMsg,
                         qPrintable("[Board] Failed to parse JSON message: " + parseError(deep)));
    publishAndSettle(topic("/power"), deep);

    // Deep but parseable, in a field.
    QByteArray deepField = "{\"display\": " + nested(500) + "}";
    QTest::ignoreMessage(QtWarningMsg,
                         "[Board] Ignoring field 'display' of type array, expected bool");
    publishAndSettle(topic("/power"), deepField);

    QCOMPARE(m_board->status(), QStringLiteral("online"));
    QCOMPARE(m_board->ignition(), true);
    QCOMPARE(m_board->peripheralPower("display"), true);
}

void TestBoard::otherTopicsAreIgnored()
{
    publishAndSettle(topic("/status"), fullStatus);
    QSignalSpy status(m_board.get(), &Board::statusChanged);
    // The board's own requests and unknown topics under its base are not handled; a
    // topic of another service is not looked at at all.
    TestPeer& service = m_bench->service();
    QVERIFY(service.publish(topic("/status/get"), QByteArray("garbage")));
    QVERIFY(service.publish(topic("/unknown"), QByteArray("{\"service\": false}")));
    QVERIFY(
        service.publish(QStringLiteral("ovant/other/status"), QByteArray("{\"service\": false}")));
    settle();
    QCOMPARE(status.count(), 0);
    QCOMPARE(m_board->status(), QStringLiteral("online"));
}

QTEST_GUILESS_MAIN(TestBoard)
#include "tst_board.moc"
