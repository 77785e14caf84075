// The GUI manager on a real broker, with real configuration and device-id files: what the
// end-to-end walk (tests/e2e) cannot reach. A test peer plays the terminal service, board,
// inspector and network service; the simulator's services the dispenser and the RFID reader.

#include "Config.h"
#include "DispenserService.h"
#include "GUIManager.h"
#include "Logger.h"
#include "MaintenanceActions.h"
#include "MessageCapture.h"
#include "QuickSanitizerOptions.h"
#include "RfidService.h"
#include "SecretMask.h"
#include "SessionManager.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"
#include "Version.h"

#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

#include <memory>
#include <optional>

namespace {

constexpr int Wait = 20000;
const QByteArray DeviceId = QByteArrayLiteral("K12345678");

// A status report of the terminal service: "init", "online", "no-route" or "no-obu".
// With the readers on, the service reports its RFID reader and barcode scanner enabled.
QJsonObject report(const QString& kind, bool readersOn = false)
{
    if (kind == "init")
        return {{"service", true}, {"state", QJsonObject {{"init", true}}}};
    const QJsonObject readers {{"rfid", QJsonObject {{"state", readersOn ? 2 : 1}}},
                               {"barcode", QJsonObject {{"enabled", readersOn}}}};
    const QJsonObject state {
        {"hasRfid", true}, {"hasObu", kind != "no-obu"}, {"hasRoute", kind != "no-route"}};
    return {{"service", true}, {"device", readers}, {"state", state}};
}

// (context, source, translation) of every message of a .ts file.
QList<QStringList> readTs(const QString& path)
{
    QList<QStringList> messages;
    QFile file(path);
    QStringList current {QString(), QString(), QString()};
    QXmlStreamReader xml(file.open(QIODevice::ReadOnly) ? &file : nullptr);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const int field = QStringList {"name", "source", "translation"}.indexOf(xml.name());
        if (field >= 0)
            current[field] = xml.readElementText();
        if (field == 2)
            messages.append(current);
    }
    return messages;
}

} // namespace

class TestGUIManager : public QObject
{
    Q_OBJECT

    TestBroker m_broker;
    std::unique_ptr<TestPeer> m_peer;
    int m_run = 0;
    QString m_prefix;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<GUIManager> m_manager;
    std::unique_ptr<DispenserService> m_dispenser;
    std::unique_ptr<RfidService> m_rfid;
    std::unique_ptr<MessageCapture> m_log;

    QString topic(const QString& suffix) const { return m_prefix + suffix; }
    QString idFile() const { return m_dir->filePath("serialnumber"); }
    QObject* window() const { return m_manager->parent(); }
    QString shown() const { return window()->property("currentScreen").toString(); }
    bool logged(const QString& text) const { return m_log->contains(text); }
    bool publish(const QString& suffix, const QJsonObject& json)
    {
        return m_peer->publish(topic(suffix), json) && sync();
    }
    bool terminalStatus(const QString& kind, bool readersOn = false)
    {
        return publish("/blm/status", report(kind, readersOn));
    }
    bool setConfig(const char* text)
    {
        return publish("/ui/config/set", QJsonDocument::fromJson(text).object());
    }
    bool ignition(bool on)
    {
        const QJsonObject device {{"active", true}, {"ignition", on}};
        return publish("/board/status", {{"service", true}, {"device", device}});
    }
    // The display power asked of the board at the given request.
    QVariant displayPower(int requests)
    {
        const QString set = topic("/board/power/set");
        return m_peer->waitForMessages(set, requests)
            ? m_peer->last(set).json()["display"].toVariant()
            : QVariant();
    }
    bool login()
    {
        m_manager->settingsLoginRequest("4826"); // the default PIN
        return sync() && m_peer->last(topic("/ui/status")).json()["technician"].toBool();
    }
    // Returns once the manager has handled everything published before.
    bool sync()
    {
        const int before = m_peer->count(topic("/ui/info"));
        return m_peer->publish(topic("/ui/info/get"), QByteArray())
            && m_peer->waitForMessages(topic("/ui/info"), before + 1, Wait);
    }
    // A manager on its own topics; settings override the defaults of the test,
    // deviceId is the content of the device-id file (no file without it).
    bool start(const QVariantMap& settings = {},
               std::optional<QByteArray> deviceId = DeviceId + '\n')
    {
        QFile file(idFile());
        if (deviceId && (!file.open(QIODevice::WriteOnly) || file.write(*deviceId) < 0))
            return false;
        file.close();
        QSettings ini(m_dir->filePath("gui.conf"), QSettings::IniFormat);
        QVariantMap values {{"log/syslog", false},
                            {"log/stderr", qEnvironmentVariableIsSet("KVRT_TEST_VERBOSE")},
                            {"mqtt/host", m_broker.host()},
                            {"mqtt/port", m_broker.port()},
                            {"mqtt/base", topic("/ui")},
                            {"gui/deviceId", idFile()},
                            {"gui/locale", "en_US"}};
        for (const char* service : {"blm", "board", "inspector", "rfid", "dispenser", "network"})
            values.insert(QStringLiteral("topics/") + service, topic("/") + service);
        values.insert(settings);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            ini.setValue(it.key(), it.value());
        ini.sync();
        m_config.reset(new Config(m_dir->filePath("gui.conf"), GUIManager::Defaults));
        m_manager.reset(new GUIManager(*m_config, m_dir->path()));
        // Connected: it publishes its information.
        return m_peer->waitForMessages(topic("/ui/info"), 1, Wait);
    }
    // A manager with its scene, the board's ignition on and the terminal online.
    bool startOnline(const QVariantMap& settings = {})
    {
        if (!start(settings))
            return false;
        m_manager->load();
        return window()->inherits("QQuickWindow") && ignition(true) && terminalStatus("online");
    }
    // Returns once the card issuer is ready, as the log tells.
    bool startCardServices()
    {
        m_dispenser.reset(new DispenserService(topic("/dispenser")));
        m_rfid.reset(new RfidService(topic("/rfid")));
        m_rfid->linkDispenser(m_dispenser.get());
        m_dispenser->connectToBroker(m_broker.host(), m_broker.port());
        m_rfid->connectToBroker(m_broker.host(), m_broker.port());
        return QTest::qWaitFor([&] { return logged("[CardIssuer] State changed : (2) Ready"); },
                               Wait);
    }
    MaintenanceActions* maintenance() const
    {
        const QVariant object = qmlEngine(window())->rootContext()->contextProperty("maintenance");
        return qobject_cast<MaintenanceActions*>(object.value<QObject*>());
    }
    QString gatePhase() const
    {
        return QMetaEnum::fromType<GatePassage::Phase>().valueToKey(m_manager->passage()->phase());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setApplicationVersion(QString::fromLatin1(kvrt::ApplicationVersion));
        manager::Logger::instance()->setSyslog(false);
        QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
        m_peer.reset(new TestPeer(m_broker));
        QVERIFY(m_peer->connectToBroker() && m_peer->subscribe("#"));
    }
    void init()
    {
        m_manager.reset(), m_config.reset(), m_dispenser.reset(), m_rfid.reset();
        m_prefix = QStringLiteral("t%1").arg(++m_run);
        m_dir.reset(new QTemporaryDir);
        m_peer->clear();
        m_log.reset(new MessageCapture);
    }
    void idleDecision_data()
    {
        // readers: what is asked of both readers, "... barcode" of the barcode scanner only;
        // pages: gate pages shown; refusal: why a touch then issues no card. With a shared
        // reader the card issuer writes on the validator's: that one is left alone. The
        // stored name stays "OutOfOrder" while the shell shows the gate page; a fault passes
        // through "offline" to "online", with its reason code.
        addTextRows({"status", "setup", "screen", "message", "readers", "pages", "refusal"}, R"(
no report, ignition off | | | Busy | Connected | | 0 | terminal not online ()
no report | | ignition | OutOfOrder | | | 0 | terminal not online ()
init | init | ignition | Busy | Please Wait | | 0 | terminal not online (init)
out of service | no-route | ignition readersOn | OutOfService | #0006 | disable | 0 | terminal not online (out-of-service)
online | online | ignition | OutOfOrder | | enable | 1 | card issuer not ready (Init)
online, shared reader | online | ignition sharedReader | OutOfOrder | | enable barcode | 1 | card issuer not ready (Init)
out of service, shared reader | no-route | ignition readersOn sharedReader | OutOfService | #0006 | disable barcode | 0 | terminal not online (out-of-service)
online, exit gate on the same reader | online | ignition sharedReader exitGate | OutOfOrder | | enable | 1 | not an entry gate
online, ignition switched off | online | switchedOff readersOn | ScreenSaver | | disable | 0 | gate page not shown (ScreenSaver)
init, ignition switched off | init | switchedOff readersOn | ScreenSaver | | | 0 | terminal not online (init)
online, ignition off from the start | online | | Busy | Connected | enable | 1 | card issuer not ready (Init)
fault | no-obu | ignition | OutOfOrder | #0005 | | 1 | card issuer not ready (Init)
fault, described | no-obu | ignition showErrorDesc | OutOfOrder | #0005\nDisconnected from OBC | | 1 | card issuer not ready (Init)
unregistered | online | ignition unregistered | InitPage | Connected | | 0 | gate page not shown (InitPage)
unregistered, ignition switched off | online | switchedOff unregistered readersOn | ScreenSaver | Connected | disable | 0 | gate page not shown (ScreenSaver))");
    }
    void idleDecision()
    {
        QFETCH(QString, status);
        QFETCH(QString, setup);
        QFETCH(QString, readers);
        QVariantMap settings {{"gui/showErrorDesc", setup.contains("showErrorDesc")},
                              {"gui/isEntryGate", !setup.contains("exitGate")}};
        if (setup.contains("sharedReader"))
            settings.insert("topics/rfid", "ovant/rfid");
        QVERIFY(start(settings,
                      setup.contains("unregistered") ? std::nullopt : std::optional(DeviceId)));
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->message(), QString("Connected"), Wait);
        QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
        QVERIFY(!setup.contains("switchedOff") || ignition(true));
        QVERIFY(ignition(setup.contains("ignition")));
        if (status.isEmpty())
            m_manager->setIdleScreen();
        else
            QVERIFY(terminalStatus(status, setup.contains("readersOn")));
        QTEST(m_manager->screen(), "screen");
        QTEST(QString(m_manager->message()).replace('\n', "\\n"), "message");
        QTEST(QString::number(resets.count()), "pages");
        if (!readers.isEmpty()) {
            const QString action = readers.section(' ', 0, 0);
            QVERIFY(m_peer->waitForMessages("ovant/barcode/" + action));
            QCOMPARE(m_peer->count("ovant/rfid/" + action) > 0, !readers.contains("barcode"));
        }
        m_manager->issueCard();
        QFETCH(QString, refusal);
        QVERIFY(logged("[GUIManager] Card not issued : " + refusal));
    }
    void displayAndShutdownDelay()
    {
        QVERIFY(start({{"gui/displayOffMin", 0}}));
        // Out of order with 0 minutes: the display goes off at once.
        QVERIFY(ignition(true));
        QCOMPARE(m_manager->screen(), QString("OutOfOrder"));
        QCOMPARE(displayPower(1), QVariant(false));
        QVERIFY(publish("/board/power", {{"display", false}}));
        // Online: the gate page switches it on, though the stored name is still out of order.
        QVERIFY(terminalStatus("online"));
        QCOMPARE(displayPower(2), QVariant(true));
        // The board keeps power 60 s longer than the interface's own delay, set at its
        // first status report although it never told its own (it was asked for it).
        const QString boardSet = topic("/board/config/set");
        const auto delay = [](int sec) {
            return QJsonObject {{"device", QJsonObject {{"delayShutdownFor", sec}}}};
        };
        QCOMPARE(m_peer->count(topic("/board/config/get")), 1);
        QCOMPARE(m_peer->last(boardSet).json(), delay(120));
        QVERIFY(publish("/board/config", delay(30)));
        QVERIFY(m_peer->waitForMessages(boardSet, 2));
        QCOMPARE(m_peer->last(boardSet).json(), delay(120));
        QVERIFY(publish("/board/config", delay(120)));
        QCOMPARE(m_peer->count(boardSet), 2);
        QVERIFY(setConfig(R"({"gui": {"shutdownDelaySec": 10}})"));
        QVERIFY(m_peer->waitForMessages(boardSet, 3));
        QCOMPARE(m_peer->last(boardSet).json(), delay(70));
        // Ignition off: the screen saver, and a power-off after the shutdown delay, whatever
        // the terminal reports; on again, the power-off is called off.
        QVERIFY(publish("/board/event", {{"name", "IgnitionChanged"}, {"data", 0}}));
        QVERIFY(m_peer->waitForMessages("ovant/barcode/disable")); // no more passengers
        QVERIFY(terminalStatus("no-obu"));
        QCOMPARE(m_manager->screen(), QString("ScreenSaver"));
        QVERIFY(logged("[Inspector] Scheduling System shutdown in : 10 sec(s)"));
        QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
        QVERIFY(publish("/board/event", {{"name", "IgnitionChanged"}, {"data", 1}}));
        QVERIFY(logged("[Inspector] Aborting System shutdown"));
        QCOMPARE(resets.count(), 1);
    }
    // Requests to the interface's own topics: answers, configuration changes and what they
    // notify (only the first matching key reacts; the kind of gate is followed in any case).
    void remoteRequests_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("reply"); // empty: none
        QTest::addColumn<QString>("notified");
        QTest::addColumn<QVariantMap>("after");
        const auto row
            = [](const char* tag, const char* request, const QByteArray& payload, const char* reply,
                 const char* notified = "", const QVariantMap& after = {}) {
                  QTest::newRow(tag) << request << payload << reply << notified << after;
              };
        const auto set = [&row](const char* tag, const char* change, const char* notified,
                                const QVariantMap& after = {}) {
            row(tag, "/config/set", change, "/config", notified, after);
        };
        row("info", "/info/get", "{}", "/info");
        row("status", "/status/get", "", "/status");
        row("config", "/config/get", "x", "/config");
        set("language", R"({"gui": {"locale": "en_GB"}})", "languageChanged");
        // The out-of-order message is renewed with or without the description.
        set("error description", R"({"gui": {"showErrorDesc": true}})",
            "showErrorDescChanged messageChanged");
        set("gate kind", R"({"gui": {"isEntryGate": false}})", "isEntryGateChanged");
        set("log", R"({"log": {"stderr": true}})", "");
        // A new connection ("Connecting"), and still every request answered once.
        set("broker", R"({"mqtt": {"username": "u"}})", "messageChanged");
        set("several keys",
            R"({"gui": {"showCursor": false, "locale": "el", "isEntryGate": false}})",
            "showCursorChanged isEntryGateChanged");
        // Values of the wrong type, and the file the program writes, are refused one by one.
        set("refused values",
            R"({"gui": {"displayOffMin": "7", "isEntryGate": 1, "deviceId": "/etc/passwd",
                "animSwitchSec": 5}})",
            "animSwitchSecChanged",
            {{"gui/displayOffMin", 3}, {"gui/isEntryGate", true}, {"gui/animSwitchSec", 5}});
        row("a group that is no object", "/config/set", R"({"topics": 3})", "");
        row("an array", "/config/set", "[1, 2]", "");
        row("truncated", "/config/set", R"({"gui": {"displayOffMin": 1)", "");
    }
    void remoteRequests()
    {
        QFETCH(QString, reply);
        QFETCH(QString, notified);
        QFETCH(QVariantMap, after);
        QVERIFY(start() && m_peer->waitForMessages(topic("/ui/config")));
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        const QMetaObject* meta = m_manager->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            // dynTr shares languageChanged; constant properties change never.
            if (meta->property(i).hasNotifySignal()
                && meta->property(i).name() != QByteArray("dynTr"))
                spies.emplace_back(
                    new QSignalSpy(m_manager.get(), meta->property(i).notifySignal()));
        }
        m_peer->clear();
        QFETCH(QString, request);
        QFETCH(QByteArray, payload);
        QVERIFY(m_peer->publish(topic("/ui" + request), payload));
        // Two rounds: whatever a new connection publishes has arrived.
        QVERIFY(reply.isEmpty() || m_peer->waitForMessages(topic("/ui" + reply)));
        QVERIFY(sync() && sync());
        if (reply.isEmpty()) {
            QCOMPARE(m_peer->count(topic("/ui/config")), 0);
        } else {
            const TestPeer::Message sent = m_peer->messages(topic("/ui" + reply)).first();
            const QJsonObject version {{"version", QString::fromLatin1(kvrt::ApplicationVersion)}};
            const QJsonObject status {{"technician", false}, {"service", true}};
            QCOMPARE(sent.json(),
                     reply == "/info"         ? version
                         : reply == "/status" ? status
                                              : SecretMask::json(m_config->toJson()));
            QVERIFY(sent.payload.contains('\n')); // indented
        }
        m_peer->clear();
        QVERIFY(m_peer->publish(topic("/ui/status/get"), QByteArray()) && sync());
        QCOMPARE(m_peer->count(topic("/ui/status")) + m_peer->count(topic("/ui/info")), 2);
        for (const auto& spy : spies) {
            const QString name = spy->signal().left(spy->signal().indexOf('('));
            QVERIFY2((spy->count() > 0) == notified.split(' ').contains(name), qPrintable(name));
        }
        for (auto it = after.cbegin(); it != after.cend(); ++it)
            QCOMPARE(m_config->get(it.key()).toInt(), it.value().toInt());
        QCOMPARE(m_config->get("gui/deviceId").toString(), idFile());
        // The logger follows its configuration.
        QCOMPARE(manager::Logger::instance()->getStderr(), m_config->get("log/stderr").toBool());
    }
    // Each temporary screen gives way to the idle decision when its time is up, also in an
    // outage (no board nor terminal report): a busy page, a refused ticket, the login page.
    void screenTimeouts_data()
    {
        addTextRows({"setup", "shown", "after"}, R"(
busy, online | online | Busy | gate
busy, no terminal report | ignition | Busy | OutOfOrder
refused ticket | online exitGate | Invalid | gate
login page in an outage | | Login | OutOfOrder)");
    }
    void screenTimeouts()
    {
        QFETCH(QString, setup);
        QFETCH(QString, shown);
        QFETCH(QString, after);
        QVERIFY(start({{"gui/isEntryGate", !setup.contains("exitGate")}}));
        m_manager->load();
        QVERIFY(setup.isEmpty() || ignition(true));
        QVERIFY(!setup.contains("online") || terminalStatus("online"));
        QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
        if (shown == "Busy")
            m_manager->setScreen("Busy", 500);
        else if (shown == "Login")
            m_manager->setMaintenanceScreen();
        else
            QVERIFY(publish("/blm/barcode/scanned",
                            {{"transaction", QJsonObject {{"result", false}}}}));
        QCOMPARE(m_manager->screen(), shown);
        const auto done
            = [&] { return after == "gate" ? resets.count() == 1 : m_manager->screen() == after; };
        QTRY_VERIFY_WITH_TIMEOUT(done(), Wait);
        QCOMPARE(this->shown(), after == "gate" ? "EntryGate" : after); // the gate page of both
    }
    // The maintenance screens leave with the session, however it ends and whatever the
    // terminal reports; what the technician left running ends with them, and the readers
    // are as the idle decision wants them. setup: reports before the login and the tests
    // left open ("configScan", "leds").
    void leavingMaintenance_data()
    {
        addTextRows({"setup", "end", "screen"}, R"(
logout, no reports | | logout | OutOfOrder
expiry, no terminal report | ignition leds | expiry | OutOfOrder
ignition off | ignition online | ignitionOff | ScreenSaver
login page asked for again, no reports | | again | OutOfOrder
logout with the scan open, online exit gate | ignition online exitGate configScan | logout | gate)");
    }
    void leavingMaintenance()
    {
        QFETCH(QString, setup);
        QFETCH(QString, end);
        QFETCH(QString, screen);
        QVERIFY(start({{"gui/isEntryGate", !setup.contains("exitGate")}}));
        m_manager->load();
        QVERIFY(!setup.contains("ignition") || ignition(true));
        QVERIFY(!setup.contains("online") || terminalStatus("online", true));
        QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
        m_manager->session().setSessionLength(end == "expiry" ? 3000 : SessionManager::SessionMsec);
        m_manager->setMaintenanceScreen();
        QCOMPARE(m_manager->screen(), QString("Login"));
        const QStringList tests
            = setup.split(' ').filter(QRegularExpression("^(configScan|leds)$"));
        if (end != "again") {
            QVERIFY(login());
            m_manager->setMaintenanceScreen();
            QCOMPARE(m_manager->screen(), QString("Settings"));
            for (const QString& test : tests)
                QVERIFY(maintenance()->begin(test));
        }
        QVERIFY(sync());
        const int before = m_peer->count("ovant/barcode/disable");
        if (end == "logout")
            m_manager->settingsLogoutRequest();
        else if (end == "ignitionOff")
            QVERIFY(ignition(false));
        else if (end == "again")
            m_manager->setMaintenanceScreen();
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager->session().sessionActive(), Wait);
        for (const QString& test : tests) // the pages close as they go
            maintenance()->end(test);
        QVERIFY(sync());
        QCOMPARE(m_manager->screen() == screen || (screen == "gate" && resets.count() == 1), true);
        QCOMPARE(shown(), screen == "gate" ? QString("EntryGate") : screen);
        QVERIFY(screen != "gate" || m_peer->count("ovant/barcode/disable") == before);
        QCOMPARE(m_peer->count(topic("/board/led/off/request/1")), int(tests.contains("leds")));
        // The settings area's actions want a session.
        for (const char* test : {"leds", "configScan", "buzzer"})
            QVERIFY(!maintenance()->begin(test));
        QVERIFY(!maintenance()->installUpdate() && !maintenance()->saveReport());
    }
    // Touches and keys keep a session: it ends its length after the last one.
    void activityKeepsTheSession()
    {
        QVERIFY(startOnline());
        m_manager->session().setSessionLength(3000);
        QVERIFY(login());
        auto* window = qobject_cast<QWindow*>(this->window());
        for (int i = 0; i < 5; ++i) {
            QTest::qWait(1000);
            if (i % 2)
                QTest::keyClick(window, Qt::Key_Shift);
            else
                QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(1000, 590));
        }
        QVERIFY(m_manager->session().sessionActive());
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager->session().sessionActive(), Wait);
    }
    void issuingCards()
    {
        QVERIFY(startOnline());
        QVERIFY(startCardServices());
        QStringList messages;
        connect(m_manager.get(), &GUIManager::messageChanged, this,
                [&] { messages << m_manager->message(); });
        QSignalSpy started(m_manager.get(), &GUIManager::processStarted);
        QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
        // The passenger is asked to take the card once it is in the mouth; touches
        // meanwhile are ignored, also in the pause before the next card is prepared.
        m_dispenser->setTakeDelay(DispenserService::NeverTaken);
        m_manager->issueCard();
        QCOMPARE(gatePhase(), QString("Busy"));
        m_manager->issueCard();
        QTRY_COMPARE_WITH_TIMEOUT(gatePhase(), QString("Final"), Wait);
        QVERIFY(m_dispenser->cardInMouth());
        // What is written: this device's entry record.
        const QByteArray written = m_peer->last(topic("/rfid/card/write/request/+")).payload;
        for (const char* part : {DeviceId.constData(), "entry", "KVRTv1", "ovant-rnd", "active"})
            QVERIFY2(written.contains(part), part);
        // A ticket or a fault report meanwhile leaves the passenger's page alone until the end.
        QVERIFY(publish("/blm/rfid/scanned",
                        {{"transaction", QJsonObject {{"result", true}, {"type", 2}}}}));
        QVERIFY(terminalStatus("no-obu"));
        QCOMPARE(m_peer->count(topic("/inspector/audio/play")), 0);
        QCOMPARE(shown(), QString("EntryGate"));
        QCOMPARE(gatePhase(), QString("Final"));
        QVERIFY(m_dispenser->takeCard());
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->message(), QString("Card collected"), Wait);
        m_manager->issueCard();
        QCOMPARE(started.count(), 1);
        // The next card is prepared and the page returns to its prompt.
        QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, Wait);
        QCOMPARE(gatePhase(), QString("Initial"));
        QCOMPARE(messages,
                 QStringList({"Issuing card", "Card collected", "Preparing next card",
                              "Ready to issue card", "#0005"}));
        QVERIFY(m_dispenser->cardAtRfid());
        // The next passenger gets the prepared card.
        m_dispenser->setTakeDelay(0);
        m_manager->issueCard();
        QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 2, Wait);
        QCOMPARE(m_dispenser->takenCount(), 2);
        QCOMPARE(m_dispenser->issuedCount(), 3);
        // Failures: the passenger is told, and a few seconds later the page is back.
        m_rfid->failNextWrite("Write failed");
        resets.clear();
        for (const char* text :
             {"Please try again", "There are no cards available \n Please wait for assistance"}) {
            m_manager->issueCard();
            QTRY_COMPARE_WITH_TIMEOUT(gatePhase(), QString("Error"), Wait);
            QCOMPARE(m_manager->message(), QString("Card could not be issued"));
            QCOMPARE(m_manager->errorMessageScreen(), QString(text));
            QVERIFY(m_manager->errorOccured());
            QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, Wait);
            QCOMPARE(gatePhase(), QString("Initial"));
            m_dispenser->setProperty("cardsInCartridge", 0);
            resets.clear();
        }
        // The gate now serves the exit: a valid ticket is not shown the card's failure.
        m_manager->setIsEntryGate(false);
        QVERIFY(publish("/blm/rfid/scanned", {{"transaction", QJsonObject {{"result", true}}}}));
        QTRY_COMPARE_WITH_TIMEOUT(gatePhase(), QString("Final"), Wait);
    }
    // The page follows the passage at the window's next frame, or a moment later.
    void passageShown()
    {
        QQuickWindow window;
        GatePassage passage;
        passage.showIn(&window);
        passage.start();
        QCOMPARE(passage.shownPhase(), GatePassage::Initial);
        QEvent frame(QEvent::UpdateRequest);
        QCoreApplication::sendEvent(&window, &frame);
        QCOMPARE(passage.shownPhase(), GatePassage::Busy);
        passage.finish(true);
        QTRY_COMPARE(passage.shownPhase(), GatePassage::Error);
    }
    void ticketResults_data()
    {
        // sound: the file played, Valid or Invalid. An entry gate's passage is its card issue:
        // results are only logged.
        addTextRows({"gate", "reader", "sound", "screen", "phase", "denyReason", "transaction"}, R"(
valid | exit | rfid | Valid | EntryGate | Final | | {"result": true, "type": 2}
refused | exit | barcode | Invalid | Invalid | Initial | The ticket has expired | {"result": false, "type": 2, "denyReason": {"id": 101}}
entry gate | entry | barcode | | EntryGate | Initial | The ticket has expired | {"result": false, "type": 2, "denyReason": {"id": 101}})");
    }
    void ticketResults()
    {
        QFETCH(QString, reader);
        QFETCH(QString, sound);
        QFETCH(QString, denyReason);
        QFETCH(QString, transaction);
        QFETCH(QString, gate);
        QVERIFY(startOnline({{"gui/isEntryGate", gate == "entry"}}));
        QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
        const QJsonDocument result = QJsonDocument::fromJson(transaction.toUtf8());
        QVERIFY(publish("/blm/" + reader + "/scanned", {{"transaction", result.object()}}));
        const QString played = topic("/inspector/audio/play");
        QCOMPARE(m_peer->count(played) ? m_peer->last(played).json()["filepath"].toString() : "",
                 sound.isEmpty()        ? sound
                     : sound == "Valid" ? GUIManager::ValidSound
                                        : GUIManager::InvalidSound);
        QVERIFY(terminalStatus("no-obu")); // a fault report meanwhile leaves the outcome
        QTEST(shown(), "screen");
        QTEST(gatePhase(), "phase");
        const QVariantMap summary
            = qmlEngine(window())->rootContext()->contextProperty("transaction").toMap();
        QCOMPARE(summary["valid"].toBool(), denyReason.isEmpty());
        QVERIFY(denyReason.isEmpty() || summary["denyReason"].toString() == denyReason);
        // Then back to the prompt.
        QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, Wait);
        QCOMPARE(shown(), QString("EntryGate"));
        QCOMPARE(gatePhase(), QString("Initial"));
    }
    void language()
    {
        QVERIFY(start({{"gui/locale", "el_GR"}}));
        QSignalSpy changed(m_manager.get(), &GUIManager::languageChanged);
        // The scene comes with the configured language, and so do the status texts.
        m_manager->load();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(QLocale().name(), QString("el_GR"));
        QCOMPARE(m_manager->message(), QString::fromUtf8("Συνδέθηκε"));
        QVERIFY(terminalStatus("init"));
        QCOMPARE(m_manager->message(), QString::fromUtf8("Παρακαλώ Περιμένετε"));
        // Any English locale removes the translation; the choice is stored.
        m_manager->setLanguage("en_GB");
        m_manager->setLanguage("en_GB");
        QCOMPARE(changed.count(), 2);
        QCOMPARE(m_manager->message(), QString("Please Wait"));
        QCOMPARE(m_config->get("gui/locale").toString(), QString("en_GB"));
        QLocale::setDefault(QLocale::c());
    }
    // The translation is keyed by context and English text: a text changed in the code
    // silently loses it. Every entry must still be among the texts lupdate finds, and the
    // compiled file in the resources must translate each.
    void translationsMatchTheCode()
    {
        QProcess lupdate;
        lupdate.start(KVRT_LUPDATE,
                      {"-silent", "-extensions", "cpp,h,qml,js", KVRT_SOURCE_DIR "/src",
                       KVRT_SOURCE_DIR "/qml", "-ts", m_dir->filePath("code.ts")});
        QVERIFY(lupdate.waitForFinished(120000) && lupdate.exitCode() == 0);
        QStringList inCode, missing;
        for (const QStringList& message : readTs(m_dir->filePath("code.ts")))
            inCode << message[0] + " / " + message[1];
        const QList<QStringList> committed
            = readTs(KVRT_SOURCE_DIR "/qml/translations/KVRTTerminalUI_el_GR.ts");
        QVERIFY(committed.size() >= 52);
        QTranslator translator;
        QVERIFY(translator.load(":/qml/translations/KVRTTerminalUI_el_GR.qm"));
        for (const QStringList& message : committed) {
            if (!inCode.contains(message[0] + " / " + message[1]))
                missing << message[0] + " / " + message[1];
            QCOMPARE(translator.translate(qPrintable(message[0]), qPrintable(message[1])),
                     message[2]);
        }
        QVERIFY2(missing.isEmpty(), qPrintable("no longer in the code: " + missing.join("; ")));
    }
    void deviceIdFile_data()
    {
        QTest::addColumn<QByteArray>("content"); // "<none>": no file
        QTest::addColumn<QString>("deviceId");
        QTest::newRow("first line with text, trimmed")
            << QByteArray("\n  \n\t K00000042 \r\nC11111111\n") << "K00000042";
        QTest::newRow("empty") << QByteArray("") << "";
        QTest::newRow("missing") << QByteArray("<none>") << "";
    }
    void deviceIdFile()
    {
        QFETCH(QByteArray, content);
        const bool file = !content.startsWith('<');
        QVERIFY(start({}, file ? std::optional(content) : std::nullopt));
        QTEST(m_manager->deviceId(), "deviceId");
        QCOMPARE(logged("ERROR: Could not load device S/N from file : " + idFile()), !file);
    }
    void registration()
    {
        QVERIFY(start({}, std::nullopt));
        QVERIFY(ignition(true) && terminalStatus("online"));
        QCOMPARE(m_manager->screen(), QString("InitPage"));
        QSignalSpy resets(m_manager.get(), &GUIManager::resetInitialScreen);
        QSignalSpy changed(m_manager.get(), &GUIManager::deviceIdChanged);
        // Registered: the id is written and the gate page shown.
        m_manager->saveDeviceIdRequest("K00000007");
        QCOMPARE(resets.count(), 1);
        QVERIFY(m_manager->waitForWritten());
        QFile file(idFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("K00000007"));
        // The same id again is not written; text that cannot be an id is refused.
        QVERIFY(file.remove());
        for (const char* id : {"K00000007", "   ", "K1\nK2"})
            m_manager->saveDeviceIdRequest(id);
        QVERIFY(m_manager->waitForWritten() && !file.exists());
        QCOMPARE(changed.count(), 1);
        // Another file named in the configuration file on the device is followed.
        const QString unwritable = m_dir->filePath("no/serial");
        QSettings(m_dir->filePath("gui.conf"), QSettings::IniFormat)
            .setValue("gui/deviceId", unwritable);
        QTRY_VERIFY_WITH_TIMEOUT(logged("device S/N from file : " + unwritable), Wait);
    }
    void barcode_data()
    {
        // "\/" and "\u0023" stand for "/" and the hash sign: moc misreads them in raw strings.
        addJsonRows({"barcode", "list", "ethernet"}, R"([
["network manual", {"network": {"eth0": {"method": "manual", "address": "10.0.0.2", "netmask": "255.0.0.0",
    "gateway": "10.0.0.1", "dns0": "", "dns1": "1.1.1.1"}}},
 ["Method : manual", "Address : 10.0.0.2", "Netmask : 255.0.0.0", "Gateway : 10.0.0.1", "DNS \u00230 : ",
  "DNS \u00231 : 1.1.1.1"], {"method": "manual", "address": "10.0.0.2", "dns1": "1.1.1.1"}],
["other method clears", {"network": {"eth0": {"method": "dhcp", "address": "10.0.0.2"}}},
 ["Method : dhcp", "Address : 10.0.0.2", "Netmask : ", "Gateway : ", "DNS \u00230 : ", "DNS \u00231 : "],
 {"method": "auto", "address": "", "dns1": ""}],
["neither key", {"other": 1}, [], null],
["invalid URL", {"validator": {"obc": "mqtt:\/\/obu:99999"}}, [], null],
["URL without host", {"validator": {"obc": "mqtt:\/\/"}}, [], null],
["URL of another scheme", {"validator": {"obc": "http:\/\/obu"}}, [], null],
["URL without scheme", {"validator": {"obc": "obu:1884"}}, ["OBC : mqtt:\/\/obu:1884"], null],
["wrong types", {"validator": "mqtt:\/\/obu", "network": {"eth0": {"method": 1}}}, [], null],
["wrong network type", {"validator": {"obc": 7}, "network": ["eth0"]}, [], null],
["bad address", {"validator": {"obc": "mqtt:\/\/obu"}, "network": {"eth0": {"method": "manual",
    "address": "999.1.1.1", "netmask": "1.2.3"}}}, ["OBC : mqtt:\/\/obu"], null],
["bad gateway", {"network": {"eth0": {"method": "manual", "address": "10.0.0.2", "netmask": "255.0.0.0",
    "gateway": "10.0.0", "dns0": "", "dns1": ""}}}, [], null],
["network settings not heard", {"network": {"eth0": {"method": "auto"}}}, [], null],
["no netmask", {"network": {"eth0": {"method": "manual", "address": "10.0.0.2", "netmask": "",
    "gateway": "", "dns0": "", "dns1": ""}}}, [], null]
])");
    }
    void barcode()
    {
        QVERIFY(start() && ignition(true) && terminalStatus("online"));
        QVERIFY(publish("/network/ethernet/state", {{"interface", "eth0"}}));
        const bool heard = QTest::currentDataTag() != QLatin1String("network settings not heard");
        QVERIFY(
            !heard
            || publish("/network/ethernet/config", {{"interface", "eth0"}, {"method", "auto"}}));
        QVERIFY(login());
        QSignalSpy applied(m_manager.get(), &GUIManager::barcodeConfigurationApplied);
        QVERIFY(publish("/blm/barcode/maintenance/scanned", cell("barcode").toObject()));
        const QStringList list = cell("list").toVariant().toStringList();
        QCOMPARE(applied.size(), list.isEmpty() ? 0 : 1);
        QCOMPARE(applied.value(0).value(0).toStringList(), list);
        QCOMPARE(m_peer->count(topic("/inspector/audio/play")), list.isEmpty() ? 0 : 1);
        QCOMPARE(m_peer->count(topic("/board/led/play/request/1")), list.isEmpty() ? 0 : 1);
        const bool obc = !list.filter("OBC").isEmpty();
        QCOMPARE(m_peer->count(topic("/blm/config/set")), obc ? 1 : 0);
        const QJsonObject ethernet = cell("ethernet").toObject();
        QCOMPARE(m_peer->count(topic("/network/ethernet/config/set")), ethernet.isEmpty() ? 0 : 1);
        const QJsonObject sent = m_peer->last(topic("/network/ethernet/config/set")).json();
        for (auto it = ethernet.begin(); it != ethernet.end(); ++it)
            QCOMPARE(sent[it.key()], it.value());
    }
    void powerRequests_data()
    {
        addTextRows({"message", "sent"}, R"(
shutdown | Shutting down | /inspector/power/shutdown/request/1
reboot   | Rebooting     | /inspector/power/reboot/request/1
exit     | Exiting       |)");
    }
    void powerRequests()
    {
        QFETCH(QString, message);
        QFETCH(QString, sent);
        QVERIFY(start() && ignition(true) && terminalStatus("online"));
        // Refused without a session.
        const QByteArray slot = QByteArray(QTest::currentDataTag()) + "Request";
        QVERIFY(QMetaObject::invokeMethod(m_manager.get(), slot.constData()) && sync());
        QVERIFY(m_manager->screen() != "Busy" && (sent.isEmpty() || !m_peer->count(topic(sent))));
        QVERIFY(logged("Maintenance action refused, no active session"));
        QVERIFY(login() && QMetaObject::invokeMethod(m_manager.get(), slot.constData()));
        QCOMPARE(m_manager->screen(), QString("Busy"));
        QCOMPARE(m_manager->message(), message);
        if (!sent.isEmpty()) {
            QVERIFY(m_peer->waitForMessages(topic(sent)));
            return;
        }
        // The event loop ends by itself, with code 0.
        QTimer guard;
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(Wait);
        QCOMPARE(QCoreApplication::exec(), 0);
    }
    // A scene graph that cannot start is logged; the manager goes on answering over MQTT.
    void sceneGraphError()
    {
        QVERIFY(startOnline());
        auto* window = qobject_cast<QQuickWindow*>(this->window());
        Q_EMIT window->sceneGraphError(QQuickWindow::ContextNotAvailable, "No GL\ncontext");
        QVERIFY(logged("[SceneGraph] ERROR: The scene graph cannot start, nothing is shown: "
                       "No GL context"));
        QVERIFY(sync());
    }
    void loginLockout()
    {
        // The manager: the fifth wrong PIN locks, a right one is then refused too.
        QVERIFY(start() && ignition(true) && terminalStatus("online"));
        QSignalSpy denied(m_manager.get(), &GUIManager::settingsAccessDenied);
        QSignalSpy lockout(m_manager.get(), &GUIManager::loginLockoutSecChanged);
        for (int i = 0; i < 5; ++i)
            m_manager->settingsLoginRequest("0000");
        QVERIFY(m_manager->loginLockoutSec() > 25 && !lockout.isEmpty());
        QVERIFY(!login());
        QCOMPARE(denied.size(), 6);
        QTRY_VERIFY_WITH_TIMEOUT(lockout.size() > 1, Wait); // it counts down
        // The sequence, on a clock of the test's: wrong PINs, and the lock-out they leave.
        SessionManager session(*m_config);
        qint64 now = 0;
        session.setClock([&now] { return now; });
        const auto wrong = [&](int times) {
            for (int i = 0; i < times; ++i) {
                now += qint64(session.lockoutRemainingSec()) * 1000; // waits it out
                session.loginRequest("0000");
            }
            return session.lockoutRemainingSec();
        };
        QCOMPARE(wrong(4), 0);
        QCOMPARE(wrong(1), 30);
        session.loginRequest("4826");
        QVERIFY(!session.sessionActive());
        for (int expected : {60, 120, 240, 480, 900, 900})
            QCOMPARE(wrong(1), expected);
        now += 900 * 1000;
        session.loginRequest("4826");
        QVERIFY(session.sessionActive());
        QCOMPARE(wrong(4), 0); // a right PIN starts the count again
    }
};

QTEST_MAIN(TestGUIManager)
#include "tst_guimanager.moc"
