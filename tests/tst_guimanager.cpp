// The GUI manager as the program builds it, on a real broker, with real files
// for its configuration and device id, driven by scripted services: the
// terminal service, the board and the inspector are played by a test peer, the
// card dispenser and the RFID reader by the simulator's services.

#include "ChildProcess.h"
#include "Config.h"
#include "DispenserService.h"
#include "GUIManager.h"
#include "LogLines.h"
#include "Logger.h"
#include "MessageCapture.h"
#include "RfidService.h"
#include "TestBroker.h"
#include "TestPeer.h"
#include "Version.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <csignal>
#include <memory>
#include <optional>

namespace {

constexpr int Wait = 20000;

const QByteArray DeviceId = QByteArrayLiteral("K12345678");

// Status reports of the terminal service that lead to each terminal status.
QJsonObject statusInit()
{
    return {{"service", true}, {"state", QJsonObject {{"init", true}}}};
}

QJsonObject statusOnline(int rfidState = 1, bool barcodeEnabled = false)
{
    return {{"service", true},
            {"device",
             QJsonObject {{"rfid", QJsonObject {{"state", rfidState}}},
                          {"barcode", QJsonObject {{"enabled", barcodeEnabled}}}}},
            {"state", QJsonObject {{"hasRfid", true}, {"hasObu", true}, {"hasRoute", true}}}};
}

QJsonObject statusOutOfService(int rfidState = 1, bool barcodeEnabled = false)
{
    return {{"service", true},
            {"device",
             QJsonObject {{"rfid", QJsonObject {{"state", rfidState}}},
                          {"barcode", QJsonObject {{"enabled", barcodeEnabled}}}}},
            {"state", QJsonObject {{"hasRfid", true}, {"hasObu", true}, {"hasRoute", false}}}};
}

// No on-board unit: the terminal passes through "offline" back to "online".
QJsonObject statusNoObu()
{
    return {{"service", true},
            {"state", QJsonObject {{"hasRfid", true}, {"hasObu", false}, {"hasRoute", true}}}};
}

QJsonObject boardStatus(bool ignition)
{
    return {{"service", true}, {"device", QJsonObject {{"active", true}, {"ignition", ignition}}}};
}

QJsonObject ticket(bool valid, int denyReason = 0)
{
    QJsonObject transaction {{"result", valid}, {"type", 2}};
    transaction.insert("card", QJsonObject {{"balanceBefore", 1050}, {"balanceAfter", 900}});
    if (!valid)
        transaction.insert("denyReason", QJsonObject {{"id", denyReason}});
    return {{"transaction", transaction}};
}

// Messages of the type that start with the prefix.
int count(const MessageCapture& log, QtMsgType type, const QString& prefix)
{
    return linesStartingWith(log.messages(type), prefix).size();
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only: Qt Quick's pixmap cache keeps the images of the pages
// (the rendered icons) until the process ends, which the leak check would
// report. Full stacks are needed to tell its allocations from ours.
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:QQuickPixmap::load\n";
}
#endif

class TestGUIManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startsBusyAndFollowsTheTerminalStatus();
    void withoutDeviceIdTheRegistrationPageIsShown();
    void brokerLossShowsOutOfOrder();
    void ignitionOffSuppressesOutOfOrder();
    void sameScreenAgainAfterTheGatePage();
    void screensWithAndWithoutTimeout();
    void displayOffTimer();
    void workingGateKeepsTheDisplayOn();
    void boardShutdownDelay();

    void answersOnItsOwnTopics();
    void remoteConfigurationAndReactions();
    void malformedRequestsOnItsOwnTopics();
    void mqttSetUpRunsAgainWithoutDuplicates();
    void lastWillOnAbruptExit();

    void issuedCardAndNextCard();
    void failedIssueShowsAPassengerMessage();
    void secondIssueWhileOneRunsIsIgnored();
    void ticketResults();
    void errorMessages();

    void language();
    void missingTranslationKeepsTheLanguage();
    void deviceIdFile();
    void savingTheDeviceId();
    void maintenanceRequestsWithoutMaintenanceArea();

private:
    // Starts a manager on its own topics. settings override the test defaults;
    // deviceId is the content of the device-id file (no file without it).
    bool start(const QVariantMap& settings = {},
               std::optional<QByteArray> deviceId = DeviceId + '\n');
    void stop();
    bool loadScene();
    QObject* window() const { return m_manager ? m_manager->parent() : nullptr; }
    QObject* gatePage() const;

    QString topic(const QString& suffix) const { return m_prefix + suffix; }
    bool publish(const QString& suffix, const QJsonObject& json);
    bool publishRaw(const QString& suffix, const QByteArray& payload);
    // Returns once the manager has handled everything published before.
    bool sync();
    bool terminalStatus(const QJsonObject& report);
    bool ignition(bool on);
    bool startCardServices();

    TestBroker m_broker;
    std::unique_ptr<TestPeer> m_peer;
    int m_run = 0;
    QString m_prefix;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_deviceIdFile;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<GUIManager> m_manager;
    std::unique_ptr<DispenserService> m_dispenser;
    std::unique_ptr<RfidService> m_rfid;
};

void TestGUIManager::initTestCase()
{
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kvrt::ApplicationVersion));
    // The program's logger is installed before any capture, which then sits in
    // front of it.
    manager::Logger::instance()->setSyslog(false);
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
    m_peer.reset(new TestPeer(m_broker));
    QVERIFY(m_peer->connectToBroker());
    QVERIFY(m_peer->subscribe("#"));
}

void TestGUIManager::init()
{
    m_prefix = QStringLiteral("t%1").arg(++m_run);
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_deviceIdFile = m_dir->filePath("serialnumber");
    m_peer->clear();
}

void TestGUIManager::cleanup()
{
    stop();
    m_dir.reset();
    // A test that failed while the broker was down leaves it running for the next.
    if (!m_broker.isRunning()) {
        QVERIFY2(m_broker.restart(), qPrintable(m_broker.log()));
        QVERIFY(m_peer->waitUntilReady(Wait));
    }
}

bool TestGUIManager::start(const QVariantMap& settings, std::optional<QByteArray> deviceId)
{
    if (deviceId) {
        QFile file(m_deviceIdFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(*deviceId) != deviceId->size())
            return false;
    }
    QVariantMap values {
        {"log/syslog", false},
        {"log/stderr", qEnvironmentVariableIsSet("KVRT_TEST_VERBOSE")},
        {"mqtt/host", m_broker.host()},
        {"mqtt/port", m_broker.port()},
        {"mqtt/base", topic("/ui")},
        {"gui/deviceId", m_deviceIdFile},
        {"gui/locale", "en_US"},
        {"topics/blm", topic("/blm")},
        {"topics/board", topic("/board")},
        {"topics/inspector", topic("/inspector")},
        {"topics/network", topic("/network")},
        {"topics/device", topic("/device")},
        {"topics/rfid", topic("/rfid")},
        {"topics/dispenser", topic("/dispenser")},
    };
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        values.insert(it.key(), it.value());
    const QString configFile = m_dir->filePath("gui.conf");
    {
        QSettings file(configFile, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            file.setValue(it.key(), it.value());
    }
    const int infos = m_peer->count(topic("/ui/info"));
    m_config.reset(new Config(configFile, GUIManager::Defaults));
    m_manager.reset(new GUIManager(*m_config));
    // Connected: it publishes its information.
    return m_peer->waitForMessages(topic("/ui/info"), infos + 1, Wait);
}

void TestGUIManager::stop()
{
    m_manager.reset();
    m_config.reset();
    m_dispenser.reset();
    m_rfid.reset();
}

bool TestGUIManager::loadScene()
{
    m_manager->load();
    return window() && window()->inherits("QQuickWindow");
}

QObject* TestGUIManager::gatePage() const
{
    auto* quickWindow = qobject_cast<QQuickWindow*>(window());
    if (!quickWindow)
        return nullptr;
    // The pages are made by a repeater: found among the visual children.
    QList<QQuickItem*> items {quickWindow->contentItem()};
    while (!items.isEmpty()) {
        QQuickItem* item = items.takeFirst();
        if (item->objectName() == QLatin1String("page_EntryGate"))
            return item->property("item").value<QObject*>();
        items += item->childItems();
    }
    return nullptr;
}

bool TestGUIManager::publish(const QString& suffix, const QJsonObject& json)
{
    return m_peer->publish(topic(suffix), json);
}

bool TestGUIManager::publishRaw(const QString& suffix, const QByteArray& payload)
{
    return m_peer->publish(topic(suffix), payload);
}

bool TestGUIManager::sync()
{
    const QString reply = topic("/ui/info");
    const int before = m_peer->count(reply);
    return publishRaw("/ui/info/get", QByteArray())
        && m_peer->waitForMessages(reply, before + 1, Wait);
}

bool TestGUIManager::terminalStatus(const QJsonObject& report)
{
    return publish("/blm/status", report) && sync();
}

bool TestGUIManager::ignition(bool on)
{
    return publish("/board/status", boardStatus(on)) && sync();
}

bool TestGUIManager::startCardServices()
{
    m_dispenser.reset(new DispenserService(topic("/dispenser")));
    m_rfid.reset(new RfidService(topic("/rfid")));
    m_rfid->linkDispenser(m_dispenser.get());
    m_dispenser->connectToBroker(m_broker.host(), m_broker.port());
    m_rfid->connectToBroker(m_broker.host(), m_broker.port());
    return QTest::qWaitFor([this] { return m_dispenser->isConnected() && m_rfid->isConnected(); },
                           Wait)
        && sync();
}

// ---------------------------------------------------------------------------

void TestGUIManager::startsBusyAndFollowsTheTerminalStatus()
{
    QVERIFY(start());
    QCOMPARE(m_manager->deviceId(), QString::fromLatin1(DeviceId));
    // The start-up screen, with the connection's progress as its message.
    QCOMPARE(m_manager->screen(), QString("Busy"));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->message(), QString("Connected"), Wait);
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);

    // No report yet, and the board has not reported the ignition: nothing to show.
    m_manager->setIdleScreen();
    QCOMPARE(m_manager->screen(), QString("Busy"));
    QVERIFY(ignition(true));
    m_manager->setIdleScreen();
    QCOMPARE(m_manager->screen(), QString("OutOfOrder"));
    QCOMPARE(m_manager->message(), QString());

    QVERIFY(terminalStatus(statusInit()));
    QCOMPARE(m_manager->screen(), QString("Busy"));
    QCOMPARE(m_manager->message(), QString("Please Wait"));

    // Out of service: the readers, which report themselves on, are switched off.
    m_peer->clear();
    QVERIFY(terminalStatus(statusOutOfService(2, true)));
    QCOMPARE(m_manager->screen(), QString("OutOfService"));
    QVERIFY(m_peer->waitForMessages("ovant/rfid/disable"));
    QVERIFY(m_peer->waitForMessages("ovant/barcode/disable"));
    QCOMPARE(resets.count(), 0);

    // Online: the readers are switched on and the shell shows the gate page;
    // the manager's own screen name stays.
    m_peer->clear();
    QVERIFY(terminalStatus(statusOnline(1, false)));
    QCOMPARE(resets.count(), 1);
    QCOMPARE(m_manager->screen(), QString("OutOfService"));
    QVERIFY(m_peer->waitForMessages("ovant/rfid/enable"));
    QCOMPARE(m_peer->last("ovant/rfid/enable").json(), QJsonObject({{"autoread", true}}));
    QVERIFY(m_peer->waitForMessages("ovant/barcode/enable"));

    // A fault passes through out of order and back to the gate page, with the
    // reason code as message; the description is added on request.
    QSignalSpy screens(m_manager.get(), &GUIManager::screenChanged);
    QVERIFY(terminalStatus(statusNoObu()));
    QVERIFY(screens.count() >= 1);
    QCOMPARE(m_manager->screen(), QString("OutOfOrder"));
    QCOMPARE(resets.count(), 2);
    QCOMPARE(m_manager->message(), QString("#0005"));
    QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"showErrorDesc", true}}}}));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->message(), QString("#0005\nDisconnected from OBC"), Wait);

    // Back to a clean report: the reason is cleared.
    QVERIFY(terminalStatus(statusOnline()));
    QCOMPARE(m_manager->message(), QString());
}

void TestGUIManager::withoutDeviceIdTheRegistrationPageIsShown()
{
    MessageCapture log;
    QVERIFY(start({}, std::nullopt));
    QCOMPARE(m_manager->deviceId(), QString());
    QVERIFY(
        count(log, QtCriticalMsg,
              "[GUIManager] ERROR: Could not load device S/N from file : " + m_deviceIdFile + " (")
        == 1);
    QVERIFY(ignition(true));
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);

    for (const QJsonObject& report :
         {statusInit(), statusOutOfService(), statusNoObu(), statusOnline()}) {
        QVERIFY(terminalStatus(report));
        QCOMPARE(m_manager->screen(), QString("InitPage"));
    }
    QCOMPARE(resets.count(), 0);

    // Registering the terminal shows what the terminal's status calls for.
    m_manager->saveDeviceIdRequest("K00000001");
    QCOMPARE(m_manager->deviceId(), QString("K00000001"));
    QCOMPARE(resets.count(), 1);
    QFile file(m_deviceIdFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("K00000001"));
}

void TestGUIManager::brokerLossShowsOutOfOrder()
{
    QVERIFY(start());
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusOnline()));

    QSignalSpy screens(m_manager.get(), &GUIManager::screenChanged);
    m_broker.stop();
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->message(), QString("Disconnected"), Wait);
    QCOMPARE(m_manager->screen(), QString("OutOfOrder"));
    QCOMPARE(screens.count(), 1);

    // Connected again, and the service reports again: the gate page returns.
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
    const int infos = m_peer->count(topic("/ui/info"));
    QVERIFY2(m_broker.restart(), qPrintable(m_broker.log()));
    QVERIFY(m_peer->waitUntilReady(Wait));
    QVERIFY(m_peer->waitForMessages(topic("/ui/info"), infos + 1, Wait));
    QVERIFY(terminalStatus(statusOnline()));
    QCOMPARE(resets.count(), 1);
}

void TestGUIManager::ignitionOffSuppressesOutOfOrder()
{
    MessageCapture log;
    QVERIFY(start({{"gui/shutdownDelaySec", 45}}));
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusOnline()));

    // Ignition off: screen saver and a power-off after the shutdown delay.
    QVERIFY(publish("/board/event", {{"name", "IgnitionChanged"}, {"data", 0}}));
    QVERIFY(sync());
    QCOMPARE(m_manager->screen(), QString("ScreenSaver"));
    QCOMPARE(count(log, QtInfoMsg, "[Inspector] Scheduling System shutdown in : 45 sec(s)"), 1);

    // Whatever the terminal reports, no out-of-order screen.
    QVERIFY(terminalStatus(statusNoObu()));
    QCOMPARE(m_manager->screen(), QString("ScreenSaver"));
    m_manager->setOutOfOrderScreen("#0001");
    QCOMPARE(m_manager->screen(), QString("ScreenSaver"));

    // Ignition on again: the shutdown is called off and the idle decision runs.
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
    QVERIFY(publish("/board/event", {{"name", "IgnitionChanged"}, {"data", 1}}));
    QVERIFY(sync());
    QCOMPARE(count(log, QtInfoMsg, "[Inspector] Aborting System shutdown"), 1);
    QCOMPARE(resets.count(), 1);
}

void TestGUIManager::sameScreenAgainAfterTheGatePage()
{
    QVERIFY(start());
    QVERIFY(loadScene());
    QVERIFY(ignition(true));
    // The scene is in the application's style, with its colours.
    QCOMPARE(QQuickStyle::name(), QString("Material"));
    QCOMPARE(qgetenv("QT_QUICK_CONTROLS_CONF"), QByteArray(":/qml/qtquickcontrols2.conf"));
    QVERIFY(terminalStatus(statusInit()));
    QCOMPARE(window()->property("currentScreen").toString(), QString("Busy"));

    QVERIFY(terminalStatus(statusOnline()));
    QCOMPARE(window()->property("currentScreen").toString(), QString("EntryGate"));
    QCOMPARE(m_manager->screen(), QString("Busy"));

    // The stored name is still "Busy", but the gate page is what is on screen:
    // the same name brings the busy page back.
    QVERIFY(terminalStatus(statusInit()));
    QCOMPARE(window()->property("currentScreen").toString(), QString("Busy"));

    // The same for out of order after the gate page.
    m_manager->setOutOfOrderScreen("#0004");
    QVERIFY(terminalStatus(statusOnline()));
    QCOMPARE(window()->property("currentScreen").toString(), QString("EntryGate"));
    m_manager->setOutOfOrderScreen("#0004");
    QCOMPARE(window()->property("currentScreen").toString(), QString("OutOfOrder"));
    // Without the gate page in between, the same name changes nothing.
    QSignalSpy screens(m_manager.get(), &GUIManager::screenChanged);
    m_manager->setOutOfOrderScreen("#0004");
    QCOMPARE(screens.count(), 0);
}

void TestGUIManager::screensWithAndWithoutTimeout()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusInit()));
    QSignalSpy screens(m_manager.get(), &GUIManager::screenChanged);

    // With a time-out the screen is announced even when its name stays, and the
    // idle decision follows the time-out.
    m_manager->setScreen("Busy", 30000);
    m_manager->setScreen("Busy", 200);
    QCOMPARE(screens.count(), 2);
    // Without one, the same name does nothing: the time-out keeps running.
    m_manager->setScreen("Busy");
    QCOMPARE(screens.count(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(count(log, QtInfoMsg, "[GUIManager] Screen timeout : Busy"), 1, Wait);
    QCOMPARE(m_manager->message(), QString("Please Wait"));

    // Another name without time-out cancels a running one.
    m_manager->setScreen("Invalid", 200);
    m_manager->setScreen("ScreenSaver");
    QCOMPARE(m_manager->screen(), QString("ScreenSaver"));
    QTest::qWait(1000);
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Screen timeout : "), 1);
    QCOMPARE(m_manager->screen(), QString("ScreenSaver"));

    // The screen property written from QML.
    QVERIFY(m_manager->setProperty("screen", "InitPage"));
    QCOMPARE(m_manager->screen(), QString("InitPage"));
}

void TestGUIManager::displayOffTimer()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(ignition(true));
    QVERIFY(publish("/board/power", {{"display", true}}));
    QVERIFY(sync());

    // Out of order and out of service start it.
    m_manager->setOutOfOrderScreen("#0001");
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Staring Display OFF timer : 3 min(s)"), 1);
    QVERIFY(terminalStatus(statusOutOfService()));
    QCOMPARE(m_manager->screen(), QString("OutOfService"));
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Staring Display OFF timer : 3 min(s)"), 2);

    // Leaving stops it; a display reported off is switched on again.
    QVERIFY(publish("/board/power", {{"display", false}}));
    QVERIFY(sync());
    m_peer->clear();
    m_manager->setScreen("Busy");
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Stopping Display OFF timer."), 1);
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Turning on Display."), 1);
    QVERIFY(m_peer->waitForMessages(topic("/board/power/set")));
    QCOMPARE(m_peer->last(topic("/board/power/set")).json(), QJsonObject({{"display", true}}));

    // 0 minutes: off at once.
    m_peer->clear();
    QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"displayOffMin", 0}}}}));
    QVERIFY(sync());
    QCOMPARE(m_manager->displayOffMin(), 0);
    m_manager->setOutOfOrderScreen("#0001");
    QVERIFY(m_peer->waitForMessages(topic("/board/power/set")));
    QCOMPARE(m_peer->last(topic("/board/power/set")).json(), QJsonObject({{"display", false}}));
    QCOMPARE(count(log, QtWarningMsg, "[GUIManager] WARN: Turning off Display due to inactivity."),
             1);
}

void TestGUIManager::workingGateKeepsTheDisplayOn()
{
    MessageCapture log;
    QVERIFY(start({{"gui/displayOffMin", 0}}));

    // No report from the terminal yet: out of order, and the display goes off.
    QVERIFY(ignition(true));
    QCOMPARE(m_manager->screen(), QString("OutOfOrder"));
    QVERIFY(m_peer->waitForMessages(topic("/board/power/set")));
    QCOMPARE(m_peer->last(topic("/board/power/set")).json(), QJsonObject({{"display", false}}));
    QVERIFY(publish("/board/power", {{"display", false}}));
    QVERIFY(sync());

    // The terminal comes online: the gate page is shown and the display switched
    // on, although the stored screen name is still the out-of-order one.
    m_peer->clear();
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
    QVERIFY(terminalStatus(statusOnline()));
    QCOMPARE(resets.count(), 1);
    QCOMPARE(m_manager->screen(), QString("OutOfOrder"));
    QVERIFY(m_peer->waitForMessages(topic("/board/power/set")));
    QCOMPARE(m_peer->last(topic("/board/power/set")).json(), QJsonObject({{"display", true}}));
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Turning on Display."), 1);

    // A running timer is stopped by the gate page.
    QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"displayOffMin", 3}}}}));
    QVERIFY(publish("/board/power", {{"display", true}}));
    QVERIFY(sync());
    m_manager->setOutOfOrderScreen("#0005");
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Staring Display OFF timer : 3 min(s)"), 1);
    QVERIFY(terminalStatus(statusNoObu()));
    QCOMPARE(resets.count(), 2);
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Stopping Display OFF timer."), 1);
    QCOMPARE(m_peer->count(topic("/board/power/set")), 1);
}

void TestGUIManager::boardShutdownDelay()
{
    MessageCapture log;
    QVERIFY(start());
    QSignalSpy changed(m_manager.get(), &GUIManager::shutdownDelaySecChanged);

    // The board keeps power 60 s longer than the interface's own delay.
    QVERIFY(publish("/board/config", {{"device", QJsonObject {{"delayShutdownFor", 30}}}}));
    QVERIFY(m_peer->waitForMessages(topic("/board/config/set")));
    QCOMPARE(m_peer->last(topic("/board/config/set")).json(),
             QJsonObject({{"device", QJsonObject {{"delayShutdownFor", 120}}}}));
    QCOMPARE(count(log, QtWarningMsg,
                   "[GUIManager] WARN: Updating board shutdown delay to : 120 sec(s) (prev=30)"),
             1);

    // Reported as wanted: nothing more to do.
    QVERIFY(publish("/board/config", {{"device", QJsonObject {{"delayShutdownFor", 120}}}}));
    QVERIFY(sync());
    QCOMPARE(m_peer->count(topic("/board/config/set")), 1);

    // A new setting is passed on.
    QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"shutdownDelaySec", 10}}}}));
    QVERIFY(m_peer->waitForMessages(topic("/board/config/set"), 2));
    QCOMPARE(m_peer->last(topic("/board/config/set")).json(),
             QJsonObject({{"device", QJsonObject {{"delayShutdownFor", 70}}}}));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(m_manager->shutdownDelaySec(), 10);
}

// ---------------------------------------------------------------------------

void TestGUIManager::answersOnItsOwnTopics()
{
    QVERIFY(start());
    // At connection: information, status and configuration, in that order.
    QVERIFY(m_peer->waitForMessages(topic("/ui/config")));
    QStringList order;
    for (const TestPeer::Message& message : m_peer->messages(topic("/ui/+")))
        order << message.topic;
    QCOMPARE(order, QStringList({topic("/ui/info"), topic("/ui/status"), topic("/ui/config")}));

    m_peer->clear();
    QVERIFY(publishRaw("/ui/info/get", "{}"));
    QVERIFY(publishRaw("/ui/status/get", ""));
    QVERIFY(publishRaw("/ui/config/get", "whatever"));
    QVERIFY(m_peer->waitForMessages(topic("/ui/config")));
    QCOMPARE(m_peer->last(topic("/ui/info")).json(),
             QJsonObject({{"version", QString::fromLatin1(kvrt::ApplicationVersion)}}));
    QCOMPARE(m_peer->last(topic("/ui/status")).json(),
             QJsonObject({{"technician", false}, {"service", true}}));
    QCOMPARE(m_peer->last(topic("/ui/config")).json(), m_config->toJson());
    QCOMPARE(m_peer->last(topic("/ui/config")).json()["mqtt"].toObject()["base"].toString(),
             topic("/ui"));
    // Indented JSON text.
    QVERIFY(m_peer->last(topic("/ui/status")).payload.contains('\n'));
}

void TestGUIManager::remoteConfigurationAndReactions()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(m_peer->waitForMessages(topic("/ui/config")));
    QSignalSpy cursor(m_manager.get(), &GUIManager::showCursorChanged);
    QSignalSpy languages(m_manager.get(), &GUIManager::languageChanged);
    QSignalSpy gates(m_manager.get(), &GUIManager::isEntryGateChanged);
    QSignalSpy displayOff(m_manager.get(), &GUIManager::displayOffMinChanged);
    QSignalSpy screenSaver(m_manager.get(), &GUIManager::screenSaverBgChanged);

    // Several keys in one change set: only the first row of the table reacts,
    // and the kind of gate is followed in any case.
    m_peer->clear();
    QVERIFY(publish(
        "/ui/config/set",
        {{"gui",
          QJsonObject {{"showCursor", false}, {"locale", "el_GR"}, {"isEntryGate", false}}}}));
    QVERIFY(m_peer->waitForMessages(topic("/ui/config")));
    QCOMPARE(cursor.count(), 1);
    QCOMPARE(languages.count(), 0);
    QCOMPARE(m_manager->language(), QString());
    QCOMPARE(gates.count(), 1);
    QVERIFY(!m_manager->showCursor());
    QVERIFY(!m_manager->isEntryGate());
    QCOMPARE(m_config->get("gui/locale").toString(), QString("el_GR"));
    QCOMPARE(m_peer->last(topic("/ui/config")).json(), m_config->toJson());
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Cursor changed : hidden"), 1);

    // Alone, the language is switched.
    QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"locale", "en_GB"}}}}));
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->language(), QString("en_GB"), Wait);
    QCOMPARE(languages.count(), 1);

    QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"displayOffMin", 7}}}}));
    QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"screenSaverBg", "#112233"}}}}));
    QVERIFY(publish("/ui/config/set", {{"log", QJsonObject {{"level", 1}}}}));
    QVERIFY(publish("/ui/config/set", {{"log", QJsonObject {{"level", 2}}}}));
    QVERIFY(sync());
    QCOMPARE(displayOff.count(), 1);
    QCOMPARE(m_manager->displayOffMin(), 7);
    QCOMPARE(screenSaver.count(), 1);
    QCOMPARE(m_manager->screenSaverBg(), QColor("#112233"));
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Log configuration changed. Applying."), 1);

    // Values of the wrong type are refused, the others of the same request taken.
    QVERIFY(publish("/ui/config/set",
                    {{"gui", QJsonObject {{"displayOffMin", "abc"}, {"animSwitchSec", 5}}},
                     {"mqtt", QJsonObject {{"port", "1883"}}},
                     {"topics", 3}}));
    QVERIFY(sync());
    QCOMPARE(m_manager->displayOffMin(), 7);
    QCOMPARE(m_manager->animSwitchSec(), 5);
    QCOMPARE(m_config->get("mqtt/port").toInt(), int(m_broker.port()));
    QVERIFY(count(log, QtWarningMsg,
                  "[GUIManager] WARN: Ignoring configuration value of the wrong "
                  "type : gui/displayOffMin")
            == 1);
    QVERIFY(count(log, QtWarningMsg,
                  "[GUIManager] WARN: Ignoring configuration value of the wrong "
                  "type : mqtt/port")
            == 1);
    QCOMPARE(count(log, QtWarningMsg,
                   "[GUIManager] WARN: Ignoring configuration group that is not an object : "
                   "topics"),
             1);

    // Property setters write the store; the notification follows from it.
    m_manager->setShowCursor(true);
    QCOMPARE(cursor.count(), 2);
    QVERIFY(m_manager->showCursor());
    m_manager->setShowCursor(true);
    QCOMPARE(cursor.count(), 2);
}

void TestGUIManager::malformedRequestsOnItsOwnTopics()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(m_peer->waitForMessages(topic("/ui/config")));
    const QJsonObject before = m_config->toJson();
    const int configs = m_peer->count(topic("/ui/config"));

    QVERIFY(publishRaw("/ui/config/set", "{\"gui\": {\"displayOffMin\": 1"));
    QVERIFY(publishRaw("/ui/config/set", "[1, 2, 3]"));
    QVERIFY(publishRaw("/ui/config/set", QByteArray("\x00\xff\xfe", 3)));
    QVERIFY(publishRaw("/ui/config/set", ""));
    QVERIFY(publishRaw("/ui/info/get", "not json at all"));
    QVERIFY(sync());

    QCOMPARE(m_config->toJson(), before);
    QCOMPARE(m_peer->count(topic("/ui/config")), configs);
    QCOMPARE(count(log, QtWarningMsg,
                   "[GUIManager] WARN: Ignoring configuration request that is not JSON : "),
             3);
    QCOMPARE(count(log, QtWarningMsg,
                   "[GUIManager] WARN: Ignoring configuration request that is "
                   "not a JSON object"),
             1);
    // The manager still answers.
    QVERIFY(publishRaw("/ui/status/get", "\xff"));
    QVERIFY(m_peer->waitForMessages(topic("/ui/status"), 2));
}

void TestGUIManager::mqttSetUpRunsAgainWithoutDuplicates()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(m_peer->waitForMessages(topic("/ui/config")));

    // Each change of the broker settings connects anew with the new settings.
    for (int i = 1; i <= 3; ++i) {
        const int infos = m_peer->count(topic("/ui/info"));
        QVERIFY(publish("/ui/config/set",
                        {{"mqtt", QJsonObject {{"username", QStringLiteral("user%1").arg(i)}}}}));
        QVERIFY(m_peer->waitForMessages(topic("/ui/info"), infos + 1, Wait));
        QCOMPARE(m_peer->count(topic("/ui/info")), infos + 1);
    }
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] MQTT configuration changed. Applying."), 3);
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Connected to MQTT broker"), 4);

    // Every request is answered once, every client signal handled once.
    m_peer->clear();
    QVERIFY(publishRaw("/ui/status/get", ""));
    QVERIFY(publishRaw("/ui/config/get", ""));
    QVERIFY(sync());
    QCOMPARE(m_peer->count(topic("/ui/status")), 1);
    QCOMPARE(m_peer->count(topic("/ui/config")), 1);
    QCOMPARE(m_peer->count(topic("/ui/info")), 1);
    log.clear();
    m_manager->setIdleScreen();
    QVERIFY(terminalStatus(statusInit()));
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] KVRTTerminal status changed : init"), 1);
}

void TestGUIManager::lastWillOnAbruptExit()
{
    const QString base = topic("/ui");
    const QString configFile = m_dir->filePath("terminal.conf");
    {
        QSettings file(configFile, QSettings::IniFormat);
        file.setValue("log/syslog", false);
        file.setValue("mqtt/base", base);
        file.setValue("gui/deviceId", m_deviceIdFile);
        file.setValue("topics/blm", topic("/blm"));
        file.setValue("topics/board", topic("/board"));
    }

    ChildProcess terminal;
    QProcessEnvironment environment = ChildProcess::defaultEnvironment();
    environment.insert("QT_QUICK_BACKEND", "software");
    terminal.setEnvironment(environment);
    terminal.setWorkingDirectory(m_dir->path());
    QVERIFY(terminal.start(
        KVRT_TERMINAL_BINARY,
        {"-H", m_broker.host(), "-P", QString::number(m_broker.port()), "-f", configFile}));
    QVERIFY2(m_peer->waitForMessages(base + "/status", 1, 60000),
             qPrintable(terminal.standardError()));
    QCOMPARE(m_peer->last(base + "/status").json(),
             QJsonObject({{"technician", false}, {"service", true}}));

    QVERIFY(terminal.sendSignal(SIGKILL));
    QVERIFY(terminal.waitForFinished());
    QVERIFY(m_peer->waitForMessages(base + "/status", 2, Wait));
    QCOMPARE(m_peer->last(base + "/status").json(), QJsonObject({{"service", false}}));

    // Not kept by the broker: a later subscriber hears nothing about a terminal
    // that may be back by then.
    TestPeer later(m_broker);
    QVERIFY(later.connectToBroker());
    QVERIFY(later.subscribe(base + "/status"));
    QVERIFY(later.subscribe(base + "/marker"));
    QVERIFY(later.publish(base + "/marker", QByteArray("1")));
    QVERIFY(later.waitForMessages(base + "/marker"));
    QCOMPARE(later.count(base + "/status"), 0);
}

// ---------------------------------------------------------------------------

void TestGUIManager::issuedCardAndNextCard()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(startCardServices());
    QVERIFY(loadScene());
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusOnline()));
    QObject* gate = gatePage();
    QVERIFY(gate);
    QCOMPARE(gate->property("phase").toString(), QString("initial"));

    QStringList messages;
    connect(m_manager.get(), &GUIManager::messageChanged, this,
            [&] { messages << m_manager->message(); });
    QSignalSpy started(m_manager.get(), &GUIManager::processStarted);
    QSignalSpy finished(m_manager.get(), &GUIManager::processFinished);
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);

    m_dispenser->setTakeDelay(DispenserService::NeverTaken);
    m_manager->issueCard();
    QCOMPARE(started.count(), 1);
    QCOMPARE(gate->property("phase").toString(), QString("busy"));
    QVERIFY(!m_manager->errorOccured());

    // The card reaches the mouth: the page asks the passenger to take it.
    QTRY_VERIFY_WITH_TIMEOUT(m_dispenser->cardInMouth(), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, Wait);
    QCOMPARE(gate->property("phase").toString(), QString("final"));

    // The passenger takes the card.
    QVERIFY(m_dispenser->takeCard());
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->message(), QString("Card collected"), Wait);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(gate->property("phase").toString(), QString("final"));
    QCOMPARE(count(log, QtInfoMsg, "[GUIManager] Card issued successfully : <null>"), 1);

    // The next card is prepared, and the page returns to its prompt.
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, Wait);
    QCOMPARE(gate->property("phase").toString(), QString("initial"));
    QCOMPARE(messages,
             QStringList(
                 {"Issuing card", "Card collected", "Preparing next card", "Ready to issue card"}));
    QVERIFY(m_dispenser->cardAtRfid());
    QCOMPARE(m_dispenser->takenCount(), 1);

    // What was written onto the card.
    bool written = false;
    for (const SimulatedService::Request& request : m_rfid->requests()) {
        if (request.method != "/card/write")
            continue;
        written = true;
        const QJsonObject data = request.params.value("data").toObject();
        QCOMPARE(data.value("info").toObject().value("customsId").toInt(), 1);
        QCOMPARE(data.value("info").toObject().value("status").toString(), QString("active"));
        QCOMPARE(data.value("usageCounter").toInt(), 1);
        const QJsonArray usage = data.value("usageLog").toArray();
        QCOMPARE(usage.size(), 1);
        QCOMPARE(usage.at(0).toObject().value("type").toString(), QString("entry"));
        QCOMPARE(usage.at(0).toObject().value("deviceId").toString(),
                 QString::fromLatin1(DeviceId));
        QCOMPARE(usage.at(0).toObject().value("locationId").toString(), QString("ovant-rnd"));
    }
    QVERIFY(written);

    // A second passenger: the prepared card is used.
    m_dispenser->setTakeDelay(0);
    m_manager->issueCard();
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 2, Wait);
    QCOMPARE(finished.count(), 2);
    QCOMPARE(m_dispenser->takenCount(), 2);
}

void TestGUIManager::failedIssueShowsAPassengerMessage()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(startCardServices());
    QVERIFY(loadScene());
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusOnline()));
    QObject* gate = gatePage();
    QVERIFY(gate);
    QSignalSpy finished(m_manager.get(), &GUIManager::processFinished);
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
    QSignalSpy errorFlag(m_manager.get(), &GUIManager::errorOccuredChanged);

    // A card that cannot be written: disposed of, and the passenger may try again.
    m_rfid->failNextWrite("Write failed");
    m_manager->issueCard();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, Wait);
    QCOMPARE(m_manager->message(), QString("FAILED: Write card failed : Write failed"));
    QCOMPARE(count(log, QtCriticalMsg,
                   "[GUIManager] ERROR: Failed to issue card : Write card failed : Write failed"),
             1);
    QVERIFY(m_manager->errorOccured());
    QCOMPARE(errorFlag.count(), 1);
    QCOMPARE(m_manager->errorMessageScreen(), QString("Please try again"));
    QCOMPARE(gate->property("phase").toString(), QString("error"));
    // The persisted flag is left alone.
    QVERIFY(!m_config->get("gui/errorOccured").toBool());

    // A few seconds later the page is back at its prompt.
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, Wait);
    QCOMPARE(gate->property("phase").toString(), QString("initial"));

    // No card left in the cartridge: the passenger needs assistance.
    m_dispenser->setCardsInCartridge(0);
    QTRY_VERIFY_WITH_TIMEOUT(!m_dispenser->cardAtRfid(), Wait);
    m_manager->issueCard();
    QVERIFY(!m_manager->errorOccured());
    QCOMPARE(errorFlag.count(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, Wait);
    QCOMPARE(m_manager->message(), QString("FAILED: Issue failed : Cartridge empty"));
    QCOMPARE(m_manager->errorMessageScreen(),
             QString("There are no cards available \n Please wait for assistance"));
    QCOMPARE(gate->property("phase").toString(), QString("error"));
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 2, Wait);

    // A later success clears the failure.
    m_dispenser->setCardsInCartridge(10);
    m_manager->issueCard();
    QVERIFY(!m_manager->errorOccured());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 3, Wait);
    QCOMPARE(gate->property("phase").toString(), QString("final"));
}

void TestGUIManager::secondIssueWhileOneRunsIsIgnored()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(startCardServices());
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusOnline()));
    QSignalSpy started(m_manager.get(), &GUIManager::processStarted);
    QSignalSpy finished(m_manager.get(), &GUIManager::processFinished);
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);

    m_dispenser->setTakeDelay(DispenserService::NeverTaken);
    m_manager->issueCard();
    m_manager->issueCard();
    QTRY_VERIFY_WITH_TIMEOUT(m_dispenser->cardInMouth(), Wait);
    m_manager->issueCard();
    QCOMPARE(started.count(), 1);
    QCOMPARE(count(log, QtWarningMsg,
                   "[GUIManager] WARN: Card issuing already in progress. Ignoring request."),
             2);

    // Also during the pause before the next card and its preparation.
    QVERIFY(m_dispenser->takeCard());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, Wait);
    m_manager->issueCard();
    QCOMPARE(started.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, Wait);
    QCOMPARE(m_dispenser->issuedCount(), 2);

    // Done: the next passenger is served.
    m_dispenser->setTakeDelay(0);
    m_manager->issueCard();
    QCOMPARE(started.count(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 2, Wait);
}

void TestGUIManager::ticketResults()
{
    QVERIFY(start({{"gui/isEntryGate", false}}));
    QVERIFY(loadScene());
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusOnline()));
    QObject* gate = gatePage();
    QVERIFY(gate);
    QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
    QQmlContext* context = qmlEngine(window())->rootContext();

    // Valid: the valid sound, the page shows the good wishes and then its prompt.
    QVERIFY(publish("/blm/rfid/scanned", ticket(true)));
    QVERIFY(m_peer->waitForMessages(topic("/inspector/audio/play")));
    QCOMPARE(
        m_peer->last(topic("/inspector/audio/play")).json(),
        QJsonObject({{"device", "internal"}, {"filepath", "/opt/ovant/kvrtterminalui/Valid.wav"}}));
    QVERIFY(sync());
    QCOMPARE(gate->property("phase").toString(), QString("final"));
    QVERIFY(context->contextProperty("transaction").toMap().value("valid").toBool());
    QCOMPARE(context->contextProperty("transaction")
                 .toMap()
                 .value("details")
                 .toMap()["deducted"]
                 .toDouble(),
             1.5);
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, Wait);
    QCOMPARE(gate->property("phase").toString(), QString("initial"));

    // Refused: the invalid sound and the screen "Invalid" for 3 s, then the
    // idle decision.
    QVERIFY(publish("/blm/barcode/scanned", ticket(false, 101)));
    QVERIFY(m_peer->waitForMessages(topic("/inspector/audio/play"), 2));
    QCOMPARE(m_peer->last(topic("/inspector/audio/play")).json(),
             QJsonObject(
                 {{"device", "internal"}, {"filepath", "/opt/ovant/kvrtterminalui/Invalid.wav"}}));
    QVERIFY(sync());
    QCOMPARE(m_manager->screen(), QString("Invalid"));
    QCOMPARE(window()->property("currentScreen").toString(), QString("Invalid"));
    QCOMPARE(context->contextProperty("transaction").toMap().value("denyReason").toString(),
             QString("The ticket has expired"));
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 2, Wait);
    QCOMPARE(window()->property("currentScreen").toString(), QString("EntryGate"));
}

void TestGUIManager::errorMessages()
{
    QVERIFY(start());
    QSignalSpy changed(m_manager.get(), &GUIManager::errorMessageScreenChanged);
    const QStringList texts {
        "Please scan your documents \n Unable to issue a card due to an error in the previous "
        "step",
        "There are no cards available \n Please wait for assistance",
        "Please try again",
        "The device is currently Out Of Service \n Please wait for assistance",
        "Invalid Card \n Please insert the correct card",
        "Barrier Error \n Please wait for assistance",
        "Camera Error \n Please wait for assistance",
        "The device is Out Of Order",
        "Unregistered device",
    };
    for (int code = GUIManager::ErrorScannedoDcuments; code <= GUIManager::ErrorUnregisteredDevice;
         ++code) {
        m_manager->errorMessage(code);
        QCOMPARE(m_manager->errorMessageScreen(), texts.at(code));
    }
    QCOMPARE(changed.count(), texts.size());
    m_manager->errorMessage(GUIManager::ErrorUnregisteredDevice);
    QCOMPARE(changed.count(), texts.size());
    m_manager->errorMessage(9);
    QCOMPARE(m_manager->errorMessageScreen(), QString());
    m_manager->errorMessage(-1);
    QCOMPARE(changed.count(), texts.size() + 1);
}

// ---------------------------------------------------------------------------

void TestGUIManager::language()
{
    QVERIFY(start({{"gui/locale", "el_GR"}}));
    QSignalSpy changed(m_manager.get(), &GUIManager::languageChanged);
    QVERIFY(loadScene());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(m_manager->language(), QString("el_GR"));
    QCOMPARE(QLocale().name(), QString("el_GR"));
    QCOMPARE(QCoreApplication::translate("GUIManager", "Please Wait"),
             QString::fromUtf8("Παρακαλώ Περιμένετε"));
    QCOMPARE(QCoreApplication::translate("GUIManager", "Please try again"),
             QString::fromUtf8("Παρακαλώ δοκιμάστε πάλι"));

    // The idle decision's message follows the language.
    QVERIFY(terminalStatus(statusInit()));
    QCOMPARE(m_manager->message(), QString::fromUtf8("Παρακαλώ Περιμένετε"));

    // Any English locale removes the translation; the choice is stored.
    m_manager->setLanguage("en_GB");
    QCOMPARE(changed.count(), 2);
    QCOMPARE(QCoreApplication::translate("GUIManager", "Please Wait"), QString("Please Wait"));
    QCOMPARE(m_config->get("gui/locale").toString(), QString("en_GB"));
    m_manager->setLanguage("en_GB");
    QCOMPARE(changed.count(), 2);

    // Back to Greek through the property.
    QVERIFY(m_manager->setProperty("language", "el_GR"));
    QCOMPARE(changed.count(), 3);
    QCOMPARE(QCoreApplication::translate("GUIManager", "Please Wait"),
             QString::fromUtf8("Παρακαλώ Περιμένετε"));
    QCOMPARE(m_manager->dynTr(), QString());

    // Gone with the manager.
    stop();
    QCOMPARE(QCoreApplication::translate("GUIManager", "Please Wait"), QString("Please Wait"));
    QLocale::setDefault(QLocale::c());
}

void TestGUIManager::missingTranslationKeepsTheLanguage()
{
    QVERIFY(start());
    MessageCapture log;
    QSignalSpy changed(m_manager.get(), &GUIManager::languageChanged);
    Q_CLEANUP_RESOURCE(kvrt_resources);
    m_manager->setLanguage("el_GR");
    Q_INIT_RESOURCE(kvrt_resources);
    QCOMPARE(m_manager->language(), QString());
    QCOMPARE(changed.count(), 0);
    QCOMPARE(count(log, QtCriticalMsg, "[GUIManager] ERROR: Failed to load translation file"), 1);
    QCOMPARE(QCoreApplication::translate("GUIManager", "Please Wait"), QString("Please Wait"));

    // Once the file is there, the language is set.
    m_manager->setLanguage("el_GR");
    QCOMPARE(m_manager->language(), QString("el_GR"));
    QCOMPARE(changed.count(), 1);
    m_manager->setLanguage("en_US");
    QLocale::setDefault(QLocale::c());
}

void TestGUIManager::deviceIdFile()
{
    {
        // An empty file leaves the id empty.
        MessageCapture log;
        QVERIFY(start({}, QByteArray()));
        QCOMPARE(m_manager->deviceId(), QString());
        QCOMPARE(count(log, QtCriticalMsg, "[GUIManager] ERROR:"), 0);
        stop();
    }
    {
        // The first line with text, trimmed.
        QVERIFY(start({}, QByteArray("\n  \n\t K00000042 \r\nC11111111\n")));
        QCOMPARE(m_manager->deviceId(), QString("K00000042"));
        stop();
    }
    {
        // Unreadable: a directory where the file should be.
        MessageCapture log;
        QVERIFY(QFile::remove(m_deviceIdFile));
        QVERIFY(QDir().mkpath(m_deviceIdFile));
        QVERIFY(start({}, std::nullopt));
        QCOMPARE(m_manager->deviceId(), QString());
        QCOMPARE(count(log, QtCriticalMsg,
                       "[GUIManager] ERROR: Could not load device S/N from "
                       "file : "
                           + m_deviceIdFile),
                 1);
        QVERIFY(QDir().rmdir(m_deviceIdFile));
        stop();
    }
    {
        // Another file named in the configuration is read at once; a missing one
        // keeps the id.
        QVERIFY(start());
        QSignalSpy changed(m_manager.get(), &GUIManager::deviceIdChanged);
        const QString other = m_dir->filePath("other-serial");
        QFile file(other);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("C22222222");
        file.close();
        QVERIFY(publish("/ui/config/set", {{"gui", QJsonObject {{"deviceId", other}}}}));
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->deviceId(), QString("C22222222"), Wait);
        QCOMPARE(changed.count(), 1);
        QVERIFY(publish("/ui/config/set",
                        {{"gui", QJsonObject {{"deviceId", m_dir->filePath("missing")}}}}));
        QVERIFY(sync());
        QCOMPARE(m_manager->deviceId(), QString("C22222222"));
    }
}

void TestGUIManager::savingTheDeviceId()
{
    QVERIFY(start({}, std::nullopt));
    QSignalSpy changed(m_manager.get(), &GUIManager::deviceIdChanged);
    QSignalSpy errors(m_manager.get(), qOverload<QString>(&GUIManager::errorOccured));

    m_manager->saveDeviceIdRequest("K00000007");
    QCOMPARE(changed.count(), 1);
    QFile file(m_deviceIdFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("K00000007"));
    file.close();

    // The same id again: no write.
    QVERIFY(QFile::remove(m_deviceIdFile));
    m_manager->saveDeviceIdRequest("K00000007");
    QCOMPARE(changed.count(), 1);
    QVERIFY(!QFile::exists(m_deviceIdFile));

    // Text that cannot be an id is refused.
    m_manager->saveDeviceIdRequest("   ");
    m_manager->saveDeviceIdRequest("K1\nK2");
    QCOMPARE(m_manager->deviceId(), QString("K00000007"));
    QCOMPARE(changed.count(), 1);

    // A file that cannot be written: reported, and the id is kept in memory.
    MessageCapture log;
    QVERIFY(publish("/ui/config/set",
                    {{"gui", QJsonObject {{"deviceId", m_dir->filePath("no/such/dir/serial")}}}}));
    QVERIFY(sync());
    m_manager->saveDeviceIdRequest("C00000008");
    QCOMPARE(m_manager->deviceId(), QString("C00000008"));
    QCOMPARE(errors.count(), 1);
    QVERIFY(!errors.at(0).at(0).toString().isEmpty());
    QCOMPARE(count(log, QtCriticalMsg,
                   "[GUIManager] ERROR: Could not save device S/N to file : "
                       + m_dir->filePath("no/such/dir/serial") + " ("),
             1);
}

void TestGUIManager::maintenanceRequestsWithoutMaintenanceArea()
{
    MessageCapture log;
    QVERIFY(start());
    QVERIFY(ignition(true));
    QVERIFY(terminalStatus(statusInit()));
    QSignalSpy granted(m_manager.get(), &GUIManager::settingsAccessGranted);

    m_manager->setMaintenanceScreen();
    QCOMPARE(m_manager->screen(), QString("Login"));
    // The login page holds off the out-of-order screen.
    m_manager->setOutOfOrderScreen("#0001");
    QCOMPARE(m_manager->screen(), QString("Login"));
    m_manager->settingsLoginRequest("4826");
    QCOMPARE(granted.count(), 0);
    QCOMPARE(count(log, QtWarningMsg, "[GUIManager] WARN: Maintenance area not available."), 1);
    // A second request leaves the login page.
    m_manager->setMaintenanceScreen();
    QCOMPARE(m_manager->screen(), QString("Busy"));

    // Power requests go through the inspector after the busy screen.
    m_peer->clear();
    m_manager->rebootRequest();
    QCOMPARE(m_manager->screen(), QString("Busy"));
    QCOMPARE(m_manager->message(), QString("Rebooting"));
    QVERIFY(m_peer->waitForMessages(topic("/inspector/power/reboot/request/1"), 1, Wait));
    m_manager->shutdownRequest();
    QCOMPARE(m_manager->message(), QString("Shutting down"));
    QVERIFY(m_peer->waitForMessages(topic("/inspector/power/shutdown/request/1"), 1, Wait));
}

QTEST_MAIN(TestGUIManager)
#include "tst_guimanager.moc"
