// The maintenance back end on a real broker and scratch files: event log, session, clock
// (timedatectl stand-in), update and network vs the simulator, self-test on a fake USB tree.

#include "Board.h"
#include "Clock.h"
#include "ClockService.h"
#include "Config.h"
#include "DeviceTestBench.h"
#include "Diagnostics.h"
#include "Ethernet.h"
#include "Event.h"
#include "EventManager.h"
#include "Inspector.h"
#include "KVRTTerminal.h"
#include "MaintenanceActions.h"
#include "MessageCapture.h"
#include "Network.h"
#include "NetworkService.h"
#include "QrCodeGenerator.h"
#include "ScratchFiles.h"
#include "SessionManager.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "Update.h"
#include "UpdateService.h"
#include "Version.h"

#include <QPainter>
#include <QSvgRenderer>
#include <QtQuick>
#include <QtTest>

using namespace manager;

namespace {

constexpr int Wait = 20000;
const QByteArray StatusJson = R"j({"stateStr":"connected (global)","hostname":"kvrt",
    "primaryConnection":{"interface":"eth0","ipv4":{"address":"192.0.2.5"}}})j";
const QByteArray StateJson = R"({"interface":"eth0","stateStr":"Connected","reasonStr":"none",
    "ipv4":{"address":"192.0.2.5","netmask":"255.255.255.0"}})";
const QByteArray ConfigJson = R"({"interface":"eth0","method":"auto","address":"192.0.2.9",
    "netmask":"255.255.255.0","gateway":"","dns0":"","dns1":""})";

const QString DeviceId = "KVRT-GATE-0042-0123456789-ABCDEFGHIJKLMN"; // longer than a field
const QStringList Checked {"usbHub", "mPCIe1",     "rfidUsb", "usbHost",
                           "ftdi",   "barcodeUsb", "touch",   "sdCard"};

// A QR code drawn as SVG read as a phone would: rendered, then decoded by zbarimg.
QString readQr(const QString& svg, const QString& dir)
{
    QSvgRenderer renderer(svg.toUtf8());
    QImage image(renderer.viewBox().size() * 8, QImage::Format_RGB32); // 8 pixels a module
    image.fill(Qt::white);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    QProcess zbar;
    if (image.save(dir + "/qr.png"))
        zbar.start("zbarimg", {"--raw", "-q", dir + "/qr.png"});
    zbar.waitForFinished(60000);
    const QByteArray text = zbar.readAllStandardOutput();
    return QString::fromUtf8(text.constData(), text.size()).trimmed(); // NULs too
}

// A settings page made from the scene's file on a window of its own. The objects are its
// context properties; "manager.<name>" ones are properties of the GUI manager.
struct PageScene
{
    QQmlPropertyMap manager;
    QQuickWindow window;
    QQmlEngine engine;
    std::unique_ptr<QQuickItem> page;

    PageScene(const QString& name, const QVariantMap& objects)
    {
        manager.insert("dynTr", QString()), manager.insert("language", "en_US");
        for (auto it = objects.begin(); it != objects.end(); ++it) {
            if (it.key().startsWith("manager."))
                manager.insert(it.key().mid(8), it.value());
            else
                engine.rootContext()->setContextProperty(it.key(), it.value());
        }
        engine.rootContext()->setContextProperty("manager", &manager);
        QQmlComponent component(&engine, QUrl("qrc:/qml/screens/settings/" + name + ".qml"));
        page.reset(qobject_cast<QQuickItem*>(component.create()));
        QVERIFY2(page, qPrintable(component.errorString()));
        page->setParentItem(window.contentItem());
        window.show();
    }
};

QVariant object(QObject* object)
{
    return QVariant::fromValue(object);
}

} // namespace

class TestMaintenance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_dir->path()).mkpath("usb"));
        m_config
            = std::make_unique<Config>(path("gui.conf"), QVariantMap {{"gui/settingsPin", "4826"}});
    }
    void cleanup()
    {
        m_diagnostics.reset(), m_terminal.reset(), m_network.reset(), m_manager.reset();
        m_service.reset(), m_bench.reset();
        if (!m_broker.isRunning())
            QVERIFY(m_broker.start());
    }
    void files_data()
    {
        // Entries below 700 are 40 days old, only the newest 1000 are read; "persisted":
        // after a push and a restart.
        addJsonRows({"setup", "count", "size", "kept", "persisted"}, R"([
            ["1500 entries", "entries", 1500, 1500, 800, 801],
            ["size of a billion", "entries", 710, 1000000000, 10, 11],
            ["garbage", "garbage", 0, 0, 0, 1],
            ["a directory", "directory", 0, 0, 0, 1],
            ["directory below a file", "below a file", 0, 0, 0, 0]])");
    }
    void files()
    {
        const QString setup = cell("setup").toString();
        const int count = cell("count").toInt();
        QString dir = m_dir->path();
        if (setup == "entries")
            writeFile(count, cell("size").toInt());
        else if (setup == "directory")
            QVERIFY(QDir(dir).mkdir("events.ini"));
        else
            write("events.ini", "\x01\xff[events\nsize=\n=\n\\\\\n[[]]\n1\\name\n");
        if (setup == "below a file")
            dir = path("events.ini");
        open(dir, EventManager::Loading::Deferred)->readInBackground(); // as the terminal does
        QTRY_VERIFY(m_manager->isLoaded());
        QTEST(QJsonValue(m_manager->count()), "kept");
        if (const int kept = m_manager->count()) {
            QCOMPARE(m_manager->events().first()->name(), QStringLiteral("e%1").arg(count - kept));
            QCOMPARE(names().first(), QStringLiteral("e%1").arg(count - 1));
        }
        m_manager->push(event("pushed", 0));
        QCOMPARE(names().first(), QStringLiteral("pushed")); // in memory in any case
        QTEST(QJsonValue(open(dir)->count()), "persisted");
    }
    void pushClearAndReload()
    {
        writeFile(1700, 1700); // 1000 recent ones
        QCOMPARE(open()->count(), 1000);
        m_manager->push(event("older", -1500)); // sorted in below the others
        QCOMPARE(QString::number(m_manager->count()) + ' ' + names().last(), "1001 older");
        QPointer<Event> oldest = m_manager->events().first();
        m_manager->push(event("newest", 0));
        QCOMPARE(QString::number(m_manager->count()) + ' ' + names().first() + ' '
                     + m_manager->events().first()->name(),
                 "1001 newest e701");
        QTRY_VERIFY(oldest.isNull());
        QCOMPARE(open()->count(), 1000);
        const Event* last = m_manager->events().last();
        QCOMPARE(QStringList({last->category(), last->name(), last->description()}),
                 QStringList({"General", "newest", "a\nb = \"c\""}));
        QCOMPARE(last->timestamp(), m_now);
        m_manager->clear(m_now.addSecs(-998)); // e702 is stamped exactly then
        QCOMPARE(m_manager->events().first()->name(), QStringLiteral("e703"));
        QCOMPARE(open()->count(), 998);
        m_manager->clear();
        QCOMPARE(open()->count(), 0);
    }
    // Read later or in the background, the file keeps what it held and takes the events
    // logged before the read after it, also from a log that is never read while it runs.
    void deferredRead()
    {
        writeFile(1700, 1700);
        const auto deferred = [this] { return open({}, EventManager::Loading::Deferred); };
        deferred()->push(event("first", 0));
        m_manager->readInBackground();
        m_manager->push(event("second", 0));
        QCOMPARE(m_manager->isLoaded(), false);
        QTRY_VERIFY(m_manager->isLoaded());
        const auto lastNames = [this] {
            QStringList result;
            for (const Event* e : m_manager->events().mid(m_manager->count() - 3))
                result.append(e->name());
            return result.join(' ');
        };
        QCOMPARE(lastNames(), QStringLiteral("e1699 first second"));
        QVERIFY(m_manager->waitForWritten(5000));
        deferred()->push(event("third", 0));
        m_manager.reset(); // never read: written all the same
        QCOMPARE(open()->count(), 1000);
        QCOMPARE(lastNames(), QStringLiteral("first second third"));
    }
    void filters()
    {
        EventManager* manager = open();
        manager->push(event("iGnItIoN off", -3 * 3600));
        manager->push(event("Application started", -5 * 86400));
        manager->push(event("Ignition on", -60));
        manager->applyFilter(3); // severity plays no part
        manager->applyFilter("IGNITION");
        QCOMPARE(names(), QStringList({"Ignition on", "iGnItIoN off"}));
        manager->applyFilter("");
        manager->applyFilter(m_now.addDays(-3), m_now.addSecs(-7200));
        QCOMPARE(names(), QStringList {"iGnItIoN off"});
        manager->applyFilter("off");
        manager->applyFilterPeriod("All history"); // keeps the name
        QCOMPARE(names(), QStringList {"iGnItIoN off"});
        // The page opens with an empty search and the whole history, and shows just that.
        manager->applyFilterPeriod("Last hour");
        PageScene scene("EventLog", {{"eventLogManager", object(manager)}});
        QCOMPARE(names().size(), 3);
    }
    void periods_data()
    {
        addTextRows({"bounds"}, R"(
Last hour | 03-31 13:30:15.000 03-31 14:30:15.000
Last 5 hours | 03-31 09:30:15.000 03-31 14:30:15.000
Today | 03-31 00:00:00.000 03-31 23:59:59.999
Yesterday | 03-30 00:00:00.000 03-30 23:59:59.999
Last week | 03-24 00:00:00.000 03-31 14:30:15.000
Last month | 02-29 00:00:00.000 03-31 14:30:15.000
All history |)");
    }
    void periods()
    {
        const auto bounds = EventManager::periodBounds( // at a fixed time
            QTest::currentDataTag(), QDateTime(QDate(2024, 3, 31), QTime(14, 30, 15)));
        const QString format = "MM-dd hh:mm:ss.zzz";
        QTEST((bounds.first.toString(format) + ' ' + bounds.second.toString(format)).trimmed(),
              "bounds");
    }
    void session()
    {
        SessionManager session(*m_config);
        QSignalSpy active(&session, &SessionManager::sessionActiveChanged);
        QSignalSpy denied(&session, &SessionManager::accessDenied);
        MessageCapture log;
        for (const char* wrong : {"4827", " 4826 ", "", "48260"})
            session.loginRequest(wrong);
        QVERIFY(denied.count() == 4 && !session.sessionActive() && !log.contains("482"));
        session.loginRequest("4826");
        QVERIFY(session.remainingTime() > 9 * 60 * 1000);
        m_config->set("gui/settingsPin", "1111");
        session.loginRequest("4826"); // the old PIN no longer opens, but the session stays
        QVERIFY(session.sessionActive());
        session.logoutRequest();
        session.loginRequest("1111");
        QCOMPARE(active.count(), 3);
        // A short session stands in for the ten minutes; a keep-alive takes the new length.
        session.setSessionLength(300);
        session.resetTimer();
        QVERIFY(session.remainingTime() < 1000);
        QTRY_VERIFY_WITH_TIMEOUT(!session.sessionActive(), 10000);
        QVERIFY(active.count() == 4 && session.remainingTime() == -1);
    }
    void timezones_data()
    {
        // No list could be read (missing, fail, hang): nothing is accepted. The zone is chosen
        // twice in a row. "result": the zone in force, then "!" and each zone reported not set.
        addTextRows({"mode", "zone", "runs", "result"}, R"(
current zone: only the query | | Europe/Athens | status,status | Europe/Athens
another zone | | Europe/Berlin | status,set-timezone Europe/Berlin,status,status | Europe/Berlin
read-only root | readonly | Europe/Berlin | status,set-timezone Europe/Berlin,status,status,set-timezone Europe/Berlin,status | Europe/Athens!Europe/Berlin!Europe/Berlin
unlisted zone | | Mars/Olympus | | Europe/Athens!Mars/Olympus!Mars/Olympus
tool missing | missing | Europe/Athens | | !Europe/Athens!Europe/Athens
tool failing | fail | Europe/Athens | | !Europe/Athens!Europe/Athens
tool hanging | hang | Europe/Athens | | !Europe/Athens!Europe/Athens)");
    }
    void timezones()
    {
        // "mode" makes the stand-in hang or fail, "zone" holds the zone in force. A run
        // that starts while another is under way writes "overlap".
        write("timedatectl",
              "#!/bin/sh\n"
              "cd \"$(dirname \"$0\")\"\necho \"$*\" >> calls\n"
              "case \"$(cat mode)\" in hang) exec sleep 30;; fail) exit 1;; esac\n"
              "mkdir running 2>/dev/null || echo overlap >> calls\n"
              "trap 'rmdir running' EXIT\nsleep 0.1\n"
              "case \"$1\" in\n"
              "--no-pager) printf 'Africa/Abidjan\\nEurope/Athens\\nEurope/Berlin\\n';;\n"
              "status) echo \"  Time zone: $(cat zone) (EEST, +0300)\";;\n"
              "set-timezone) [ \"$(cat mode)\" = readonly ] && exit 1; echo \"$2\" > zone;;\n"
              "esac\n");
        QVERIFY(QFile::setPermissions(path("timedatectl"), QFile::ReadOwner | QFile::ExeOwner));
        QFETCH(QString, mode);
        write("mode", mode.toUtf8()), write("zone", "Europe/Athens");
        MqttClient mqtt; // never connected: the tool alone is under test
        MessageCapture log;
        write("calls", "");
        Clock clock(mqtt, "test", nullptr, path(mode == "missing" ? "absent" : "timedatectl"),
                    Clock::ToolStart::Held);
        QString result;
        connect(&clock, &Clock::timezoneNotSet, &clock,
                [&](const QString& zone) { result += '!' + zone; });
        QTest::qWait(50); // held: nothing runs until released
        QVERIFY(read("calls").isEmpty());
        clock.releaseTool();
        // The event loop keeps turning while the tool runs, or hangs.
        bool busyLater = false;
        QTimer::singleShot(100, &clock, [&] { busyLater = clock.toolBusy(); });
        QTRY_VERIFY_WITH_TIMEOUT(!clock.toolBusy(), Wait);
        QVERIFY(busyLater || mode != "hang");
        QCOMPARE(clock.timezones().size() + log.messages(QtWarningMsg).isEmpty(),
                 QStringList({"missing", "fail", "hang"}).contains(mode) ? 0 : 4);
        write("calls", "");
        QFETCH(QString, zone);
        PageScene region("Region", {{"manager.clock", object(&clock)}});
        QObject* combo = region.page->findChild<QObject*>("timezoneCombo");
        combo->setProperty("currentIndex", clock.timezones().indexOf(zone)); // the page's choice
        clock.setTimezone(zone);
        clock.setTimezone(zone);
        QTRY_VERIFY(!clock.toolBusy());
        QTEST(QString(read("calls")).split('\n', Qt::SkipEmptyParts).join(','), "runs");
        QTEST(clock.timezone() + result, "result");
        QCOMPARE(combo->property("currentText").toString(), clock.timezone()); // the zone in force
    }
    void ntpFollowsTheService()
    {
        auto* service = bench<ClockService>();
        service->setSyncDelay(200);
        Clock clock(m_bench->client(), m_base, nullptr, path("absent"));
        QVERIFY(run());
        QTRY_COMPARE_WITH_TIMEOUT(clock.ntpServer(), QStringLiteral("pool.ntp.org"), Wait);
        QVERIFY(clock.ntpEnabled() && clock.ntpSynced());
        clock.setNtpServer("ntp.example.org");
        QTRY_COMPARE_WITH_TIMEOUT(service->server(), QStringLiteral("ntp.example.org"), Wait);
        service->setServerReachable(false);
        clock.ntpSync();
        QVERIFY(m_bench->sync() && !clock.ntpSynced());
    }
    void updateCheckAndInstall()
    {
        auto* service = bench();
        service->setCheckDelay(50);
        service->setStepDelay(20);
        auto& update = m_bench->make<Update>(m_base);
        QStringList statuses;
        QObject guard; // the recording ends with this function
        connect(&update, &Update::statusChanged, &guard, [&] { statuses << update.status(); });
        QVERIFY(run());
        QTRY_COMPARE_WITH_TIMEOUT(update.status(), QStringLiteral("No pending updates"), Wait);
        update.install(); // nothing pending yet
        QVERIFY(m_bench->sync() && !m_bench->service().count(m_base + "/update/software/install"));
        update.check();
        QTRY_COMPARE_WITH_TIMEOUT(update.status(), QStringLiteral("Ready to install"), Wait);
        QCOMPARE(update.pending(), QStringLiteral("1.5.0"));
        update.install();
        QTRY_COMPARE_WITH_TIMEOUT(update.current(), QStringLiteral("1.5.0"), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(update.status(), QStringLiteral("No pending updates"), Wait);
        QCOMPARE(statuses,
                 QStringList({"No pending updates", "Checking for updates", "Ready to install",
                              "Downloading", "Installing", "No pending updates"}));
        QCOMPARE(update.pending() + update.progressMessage(), QStringLiteral("Idle"));
    }
    void updateCheckEnds_data()
    {
        // "progress <sent> <shown>": a progress message answers the check.
        addTextRows({"pending", "event", "status"}, R"(
time-out, nothing pending | | | No pending updates
time-out, pending known | 2.0 | | Ready to install
time-out, broker gone | | broker gone | Disconnected
progress on the misspelt topic | | progress 40 40 | Installing
fractional progress, rounded | | progress 42.5 43 | Installing)");
    }
    void updateCheckEnds()
    {
        QFETCH(QString, pending);
        QFETCH(QString, event);
        bench();
        auto& update = m_bench->make<Update>(m_base);
        QVERIFY(run());
        QTRY_COMPARE_WITH_TIMEOUT(update.status(), QStringLiteral("No pending updates"), Wait);
        m_service->setOnline(false); // answers nothing
        QVERIFY(m_bench->deliver(m_base + "/update/software/status",
                                 QJsonObject {{"pending", pending}}));
        if (event == "broker gone") {
            m_broker.stop();
            QTRY_COMPARE_WITH_TIMEOUT(update.status(), QStringLiteral("Disconnected"), Wait);
        }
        update.setCheckTimeout(300);
        update.check();
        QCOMPARE(update.status(), QStringLiteral("Checking for updates"));
        if (event.startsWith("progress")) {
            QVERIFY(m_bench->deliver(m_base + "/update/software/progess",
                                     R"({"message":"Unpacking","version":"3.1","progress":)"
                                         + event.section(' ', 1, 1).toUtf8() + '}'));
            QCOMPARE(update.progressMessage() + ' ' + update.pending() + ' '
                         + QString::number(update.progressPercent()),
                     "Unpacking 3.1 " + event.section(' ', 2));
        }
        QTest::qWait(600); // past the check's time-out, which a progress message calls off
        QFETCH(QString, status);
        QTRY_COMPARE_WITH_TIMEOUT(update.status(), status, Wait);
    }
    void networkMessages()
    {
        bench(false);
        auto& network = m_bench->make<Network>(m_base);
        Ethernet& ethernet = *network.ethernet();
        QVERIFY(run());
        const auto shown = [&] {
            Connection& primary = *network.primaryConnection();
            return QStringList {network.connectionState(), network.hostname(),
                                primary.interface(),       primary.ipv4()->address(),
                                ethernet.state(),          ethernet.ipv4()->address(),
                                ethernet.method(),         ethernet.config()->address()};
        };
        QVERIFY(m_bench->deliver(m_base + "/status", StatusJson));
        QVERIFY(m_bench->deliver(m_base + "/ethernet/state", StateJson));
        QVERIFY(m_bench->deliver(m_base + "/ethernet/config", ConfigJson));
        const QStringList expected {"connected (global)", "kvrt",      "eth0", "192.0.2.5",
                                    "Connected",          "192.0.2.5", "auto", "192.0.2.9"};
        QCOMPARE(shown(), expected);
        // Reports of usb0 are ignored quietly, addresses that are no IPv4 ones with a warning.
        for (const auto& [suffix, payload] : std::initializer_list<std::pair<QString, QByteArray>> {
                 {"/ethernet/state",
                  R"({"interface":"usb0","stateStr":"Down","ipv4":{"address":"10.9.9.9"}})"},
                 {"/ethernet/config",
                  R"({"interface":"usb0","method":"manual","address":"10.9.9.9"})"},
                 {"/ethernet/state", QByteArray(StateJson).replace("192.0.2.5", "192.0.2.256")},
                 {"/ethernet/config", QByteArray(ConfigJson).replace("192.0.2.9", "10.1")},
                 {"/status", QByteArray(StatusJson).replace("192.0.2.5", "x.y")}}) {
            MessageCapture log;
            QVERIFY(m_bench->deliver(m_base + suffix, payload));
            QCOMPARE(shown(), expected);
            QCOMPARE(log.messages(QtWarningMsg).isEmpty(), payload.contains("usb0"));
        }
    }
    void networkSave_data()
    {
        // Address, netmask, gateway, dns0, dns1; "-": nothing sent. 198.51.100.23: the
        // simulator's DHCP lease.
        addTextRows({"method", "config", "sent", "liveAddress"}, R"(
auto: no addresses sent | auto | 192.0.2.40,255.255.255.0,192.0.2.1,192.0.2.53, | ,,,, | 198.51.100.23
manual: the addresses sent | manual | 192.0.2.40,255.255.255.0,192.0.2.1,192.0.2.53, | 192.0.2.40,255.255.255.0,192.0.2.1,192.0.2.53, | 192.0.2.40
address not IPv4: nothing sent | manual | 192.0.2.400,255.255.255.0,,, | - | 198.51.100.23)");
    }
    void networkSave()
    {
        QFETCH(QString, method);
        QFETCH(QString, config);
        QFETCH(QString, sent);
        QStringList fields = config.split(',');
        bench<NetworkService>()->setReconnectDelay(20);
        Ethernet& ethernet = *m_bench->make<Network>(m_base).ethernet();
        QVERIFY(run());
        QTRY_COMPARE_WITH_TIMEOUT(ethernet.ipv4()->address(), QStringLiteral("198.51.100.23"),
                                  Wait);
        ethernet.setMethod(method);
        for (auto setter :
             {&IPv4::setAddress, &IPv4::setMask, &IPv4::setGateway, &IPv4::setDns0, &IPv4::setDns1})
            (ethernet.config()->*setter)(fields.takeFirst());
        MessageCapture log;
        ethernet.save();
        QVERIFY(m_bench->sync());
        const auto requests = m_bench->service().messages(m_base + "/ethernet/config/set");
        QCOMPARE(requests.size(), sent == "-" ? 0 : 1);
        if (sent == "-") {
            QVERIFY(!log.messages(QtCriticalMsg).isEmpty());
            return;
        }
        QJsonObject expected {{"interface", "eth0"}, {"method", method}};
        fields = sent.split(',');
        for (int i = 0; i < IPv4::Keys.size(); ++i)
            expected.insert(IPv4::Keys[i], fields[i]);
        QCOMPARE(requests[0].json(), expected);
        // The service's answers bring the new configuration and addresses.
        QFETCH(QString, liveAddress);
        QTRY_COMPARE_WITH_TIMEOUT(ethernet.ipv4()->address(), liveAddress, Wait);
        QCOMPARE(ethernet.method() + ' ' + ethernet.config()->address(), method + ' ' + fields[0]);
    }
    void hardware_data()
    {
        // The results other than MISSING.
        addTextRows({"devices", "found"}, R"(
RFID reader on its port, SD card | 1-1.3:0ab1:0007 sd | rfidUsb=OK sdCard=OK
another device on the RFID port | 1-1.3:0ab1:0008 | rfidUsb=ERROR
any device on the open ports, attributes or not | 1-1.2:dead:beef 1-1.4 | mPCIe1=OK usbHost=OK
unreadable attributes | 1-1 | usbHub=ERROR)");
    }
    void hardware()
    {
        QFETCH(QString, devices);
        Diagnostics& diagnostics = this->diagnostics();
        plug(devices.split(' '));
        diagnostics.start(1); // checks at once
        QStringList shown;
        for (const QString& name : Checked) {
            const QString result = diagnostics.property(qPrintable(name)).toString();
            if (result != "MISSING")
                shown << name + '=' + result;
        }
        QTEST(shown.join(' '), "found");
        // The timer keeps checking: unplugged devices turn up missing.
        QVERIFY(QDir(path("usb")).removeRecursively());
        QFile::remove(path("sd"));
        for (const QString& name : Checked)
            QTRY_COMPARE_WITH_TIMEOUT(diagnostics.property(qPrintable(name)).toString(),
                                      QStringLiteral("MISSING"), Wait);
    }
    void limits()
    {
        Diagnostics& diagnostics = this->diagnostics();
        QVERIFY(run());
        // Temperature and voltage at their lower and upper limits are out of bounds.
        for (const QString c : {"15 9 ERROR", "15.1 9.1 OK", "69.9 39.9 OK", "70 40 ERROR"}) {
            const QStringList v = c.split(' ');
            publish("/board/status",
                    R"({"service":true,"device":{"active":true,"temperature":)" + v[0].toUtf8()
                        + R"(,"voltage":)" + v[1].toUtf8() + "}}");
            QVERIFY(m_bench->sync());
            QCOMPARE(diagnostics.temperature() + ' ' + diagnostics.voltage(), v[2] + ' ' + v[2]);
        }
    }
    void boardTestsEndWithThePage_data()
    {
        // "told": the LED commands the board got, then its monitoring log.
        addTextRows({"test", "leaving", "told"}, R"(
LEDs, question closed | LEDs | close | play,off
LEDs, page destroyed | LEDs | destroy | play,off
Sensor, question closed | Sensor | close | Monitor started : 2000 msec(s),Monitor stopped
Sensor, page destroyed | Sensor | destroy | Monitor started : 2000 msec(s),Monitor stopped)");
    }
    void boardTestsEndWithThePage()
    {
        QFETCH(QString, test);
        QFETCH(QString, leaving);
        Diagnostics& diagnostics = this->diagnostics();
        QVERIFY(run());
        MessageCapture log;
        SessionManager session(*m_config);
        session.loginRequest("4826");
        Inspector inspector(m_bench->client(), m_base + "/inspector");
        Update update(m_bench->client(), m_base + "/device");
        MaintenanceActions actions(
            {session, *m_terminal, *m_board, inspector, update, diagnostics, *m_network});
        PageScene scene("Diagnostics",
                        {{"manager.diagnostics", object(&diagnostics)},
                         {"board", object(m_board)},
                         {"validatorManager", object(m_terminal.get())},
                         {"maintenance", object(&actions)}});
        QVERIFY(QMetaObject::invokeMethod(scene.page.get(), "runTest", Q_ARG(QVariant, test)));
        if (leaving == "close") { // as the answers do
            QObject* question = scene.page->findChild<QObject*>("diagnosticsQuestion");
            QTRY_VERIFY(question->property("opened").toBool());
            QMetaObject::invokeMethod(question, "close");
        } else {
            scene.page.reset();
        }
        QVERIFY(m_bench->sync());
        QStringList told;
        for (const auto& message : m_bench->service().messages(m_base + "/board/led/#"))
            told << message.topic.section('/', -3, -3);
        told += log.messages().filter("Monitor st").replaceInStrings("[Board] ", "");
        QTEST(told.join(','), "told");
    }
    void reportAndQrCode()
    {
        Diagnostics& diagnostics = this->diagnostics();
        QVERIFY(run());
        plug({"1-1.3:0ab1:0007", "1-1.4", "1-1.6:05f9:0000", "sd"});
        publish("/board/status", R"({"service":true,"device":{"active":true,"ignition":true,
            "temperature":41.5,"voltage":24}})");
        publish("/board/info", R"({"device":{"firmwareVersion":"1.2.0"}})");
        publish("/network/ethernet/state", R"({"interface":"eth0","stateStr":"Connected"})");
        publish("/blm/status", R"({"service":true,"device":{"barcode":{"active":true},
            "rfid":{"state":1,"active":true,"sams":[{"uid":"04A1B2C3","atr":"3B"}]}}})");
        publish("/blm/info",
                R"({"device":{"rfid":{"firmware":"R-3"},"barcode":{"firmware":"B-7"}}})");
        QVERIFY(m_bench->sync());
        diagnostics.check();
        for (const char* manual : {"buzzer", "speaker", "barcodeScan", "cardScan", "rgbTest"})
            diagnostics.setProperty(manual, "OK");
        diagnostics.setLeds("ERROR");
        QSignalSpy finished(&diagnostics, &Diagnostics::saveReportFinished);
        diagnostics.saveReport();
        QVERIFY(finished.wait());
        const QStringList files = QDir(m_dir->path()).entryList({"TestReport_*.txt"});
        QVERIFY(files.size() == 1 && finished.count() == 1);
        QCOMPARE(finished[0],
                 (QVariantList {true, "Test report saved successfully:\n" + path(files[0])}));
        QVERIFY(diagnostics.reportQrImage().startsWith("data:image/svg,%3C%3Fxml"));
        // The date in the report is the minute of the file name.
        const QDateTime saved = QDateTime::fromString(files[0].mid(11, 13), "yyyyMMdd_hhmm");
        QVERIFY(saved.isValid());
        QString expected = QString::fromUtf8(read(KVRT_SOURCE_DIR "/tests/data/TestReport.txt"));
        expected.replace(QStringLiteral("%DATE%").rightJustified(35),
                         saved.toString("yyyy-MM-dd hh:mm").rightJustified(35));
        expected.replace(QStringLiteral("%VERSION%").rightJustified(35),
                         QString(kvrt::ApplicationVersion).rightJustified(35));
        QCOMPARE(QString::fromUtf8(read(files[0])), expected);
        // More than the largest QR code holds: the library's exception must not escape.
        QVERIFY(QrCodeGenerator()
                    .generateSvgQr(QString(8000, 'z'), 1, qrcodegen::QrCode::Ecc::LOW)
                    .isEmpty());
        // The QR code carries the same results, the speaker's too, as one line, every byte.
        publish("/board/info", R"({"device":{"firmwareVersion":"1.2\u0000.1"}})");
        QVERIFY(m_bench->sync());
        const QString qr = diagnostics.generateQr();
        QVERIFY(qr.startsWith("data:image/svg,<?xml"));
        if (QStandardPaths::findExecutable("zbarimg").isEmpty())
            QSKIP("zbarimg is not installed (Debian package zbar-tools): cannot read QR codes");
        const QStringList fields
            = readQr(qr.mid(15), m_dir->path()).replace(QChar(0), "<NUL>").split(';');
        QVERIFY(fields[0] == DeviceId
                && QDateTime::fromString(fields.value(1), "yyyy-MM-dd hh:mm").isValid());
        QCOMPARE(fields.mid(2).join(';'),
                 QStringLiteral(
                     "04A1B2C3;B-7;R-3;1.2<NUL>.1;%1;;;OK;OK;MISSING;MISSING;OK;ERROR;MISSING;OK;"
                     "MISSING;OK;OK;ERROR;OK;OK;OK;OK;OK;OK;OK;OK;OK;OK;;OK")
                     .arg(kvrt::ApplicationVersion));
    }

private:
    // `count` entries "e<i>", one second apart up to now; those below 700 are 40 days old.
    void writeFile(int count, const QVariant& size)
    {
        QSettings file(path("events.ini"), QSettings::IniFormat);
        file.beginWriteArray("events", count);
        for (int i = 0; i < count; ++i) {
            file.setArrayIndex(i);
            file.setValue("name", QStringLiteral("e%1").arg(i));
            file.setValue("timestamp", i < 700 ? m_now.addDays(-40) : m_now.addSecs(i - count));
        }
        file.endArray();
        file.setValue("events/size", size);
    }
    EventManager* open(const QString& dir = QString(),
                       EventManager::Loading loading = EventManager::Loading::Now)
    {
        m_manager.reset(); // one at a time on a file
        m_manager = std::make_unique<EventManager>(*m_config, dir.isEmpty() ? m_dir->path() : dir,
                                                   loading);
        return m_manager.get();
    }
    Event* event(const QString& name, qint64 secs) const
    {
        return new Event("General", name, "a\nb = \"c\"", m_now.addSecs(secs));
    }
    QStringList names() const
    {
        QStringList result;
        for (QObject* event : m_manager->data().value<QList<QObject*>>())
            result.append(event->property("name").toString());
        return result;
    }
    // A bench on a base topic of its own (no retained state of an earlier test reaches
    // it) and, if given, the simulated service there; the client comes before run().
    template<class Service = UpdateService>
    Service* bench(bool simulated = true)
    {
        m_base = QStringLiteral("test/m%1").arg(++m_serial);
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_service.reset(simulated ? new Service(m_base) : nullptr);
        return static_cast<Service*>(m_service.get());
    }
    bool run()
    {
        if (m_service)
            m_service->connectToBroker(m_broker.host(), m_broker.port());
        return m_bench->start(m_base + "/#");
    }
    QByteArray read(const QString& name) const // an absolute name stays as it is
    {
        return readFile(QDir(m_dir->path()).filePath(name));
    }
    void write(const QString& name, const QByteArray& content) const
    {
        QVERIFY(::writeFile(path(name), content));
    }
    // "path:vendor:product" makes a USB port directory with its attributes, a bare
    // "path" one without any, "sd" the SD card node.
    void plug(const QStringList& devices)
    {
        for (const QString& device : devices) {
            QStringList parts = device.split(':');
            const QString dir = "usb/" + parts.takeFirst();
            if (device == "sd")
                write("sd", "");
            else
                QVERIFY(QDir(m_dir->path()).mkpath(dir));
            if (!parts.isEmpty())
                parts << "Reader"; // the product name
            const char* names[] = {"idVendor", "idProduct", "product"};
            for (int i = 0; i < parts.size(); ++i)
                write(dir + '/' + names[i], parts[i].toUtf8() + '\n'); // as sysfs writes them
        }
    }
    void publish(const QString& topic, const QByteArray& json)
    {
        m_bench->service().publish(m_base + topic, json);
    }
    QString path(const QString& name) const { return m_dir->filePath(name); }
    // The self-test, fed by clients on a bench.
    Diagnostics& diagnostics()
    {
        bench(false);
        auto& board = *(m_board = &m_bench->make<Board>(m_base + "/board"));
        m_network = std::make_unique<Network>(m_bench->client(), m_base + "/network");
        m_terminal = std::make_unique<KVRTTerminal>(m_bench->client(), m_base + "/blm");
        m_diagnostics = std::make_unique<Diagnostics>(DeviceId, board, *m_network, *m_terminal);
        m_diagnostics->setUsbDeviceDirectory(path("usb")), m_diagnostics->setSdCardNode(path("sd"));
        m_diagnostics->setReportDirectory(m_dir->path());
        return *m_diagnostics;
    }
    TestBroker m_broker;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<EventManager> m_manager;
    const QDateTime m_now = QDateTime::currentDateTime();
    int m_serial = 0;
    QString m_base;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<StateService> m_service;
    std::unique_ptr<Network> m_network;
    std::unique_ptr<KVRTTerminal> m_terminal;
    std::unique_ptr<Diagnostics> m_diagnostics;
    Board* m_board = nullptr; // on the bench
};

QTEST_MAIN(TestMaintenance)
#include "tst_maintenance.moc"
