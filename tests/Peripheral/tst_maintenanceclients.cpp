// The maintenance pages' device clients: time zones through a stand-in for timedatectl
// that records its arguments; NTP, software update and network against the simulator's
// services on a real broker.

#include "Clock.h"
#include "ClockService.h"
#include "DeviceTestBench.h"
#include "Ethernet.h"
#include "MessageCapture.h"
#include "Network.h"
#include "NetworkService.h"
#include "TestBroker.h"
#include "Update.h"
#include "UpdateService.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace manager;

namespace {

constexpr int Wait = 20000;
const QByteArray Status = R"j({"stateStr":"connected (global)","hostname":"kvrt",
    "primaryConnection":{"interface":"eth0","ipv4":{"address":"192.0.2.5"}}})j";
const QByteArray State = R"({"interface":"eth0","stateStr":"Connected","reasonStr":"none",
    "ipv4":{"address":"192.0.2.5","netmask":"255.255.255.0"}})";
const QByteArray Config = R"({"interface":"eth0","method":"auto","address":"192.0.2.9",
    "netmask":"255.255.255.0","gateway":"","dns0":"","dns1":""})";

} // namespace

class TestMaintenanceClients : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
        // "mode" makes the stand-in hang or fail, "zone" holds the zone in force.
        write("timedatectl",
              "#!/bin/sh\n"
              "cd \"$(dirname \"$0\")\"\necho \"$*\" >> calls\n"
              "case \"$(cat mode)\" in hang) exec sleep 30;; fail) exit 1;; esac\n"
              "case \"$1\" in\n"
              "--no-pager) printf 'Africa/Abidjan\\nEurope/Athens\\nEurope/Berlin\\n';;\n"
              "status) echo \"  Time zone: $(cat zone) (EEST, +0300)\";;\n"
              "set-timezone) echo \"$2\" > zone;;\nesac\n");
        QVERIFY(QFile::setPermissions(m_dir.filePath("timedatectl"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    void cleanup()
    {
        m_service.reset();
        m_bench.reset();
        if (!m_broker.isRunning())
            QVERIFY(m_broker.start());
    }
    void timezones_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QStringList>("runs");
        QTest::addColumn<QString>("result");
        const auto row = [](const char* tag, const char* mode, const char* zone,
                            const QStringList& runs, const char* result) {
            QTest::newRow(tag) << QString(mode) << QString(zone) << runs << QString(result);
        };
        const char* athens = "Europe/Athens";
        row("current zone: only the query", "", athens, {"status"}, athens);
        row("another zone", "", "Europe/Berlin", {"status", "set-timezone Europe/Berlin", "status"},
            "Europe/Berlin");
        row("unlisted zone", "", "Mars/Olympus", {}, athens);
        // No list could be read: nothing is accepted.
        row("tool missing", "missing", athens, {}, "");
        row("tool failing", "fail", athens, {}, "");
        row("tool hanging", "hang", athens, {}, "");
    }
    void timezones()
    {
        QFETCH(QString, mode);
        write("mode", mode.toUtf8());
        write("zone", "Europe/Athens");
        MqttClient mqtt; // never connected: the tool alone is under test
        MessageCapture log;
        Clock clock(mqtt, "test", nullptr,
                    m_dir.filePath(mode == "missing" ? "absent" : "timedatectl"));
        // The event loop keeps turning while the tool runs, or hangs.
        bool busyLater = false;
        QTimer::singleShot(100, &clock, [&] { busyLater = clock.toolBusy(); });
        QTRY_VERIFY_WITH_TIMEOUT(!clock.toolBusy(), Wait);
        QVERIFY(busyLater || mode != "hang");
        QCOMPARE(clock.timezones().size(), mode.isEmpty() ? 3 : 0);
        QCOMPARE(log.messages(QtWarningMsg).isEmpty(), mode.isEmpty());

        write("calls", "");
        QFETCH(QString, zone);
        clock.setTimezone(zone);
        QTRY_VERIFY(!clock.toolBusy());
        QFile calls(m_dir.filePath("calls"));
        QVERIFY(calls.open(QIODevice::ReadOnly));
        QTEST(QString(calls.readAll()).split('\n', Qt::SkipEmptyParts), "runs");
        QTEST(clock.timezone(), "result");
    }
    void ntpFollowsTheService()
    {
        auto* service = bench<ClockService>();
        service->setSyncDelay(200);
        Clock clock(m_bench->client(), m_base, nullptr, m_dir.filePath("absent"));
        QVERIFY(run());
        QTRY_COMPARE_WITH_TIMEOUT(clock.ntpServer(), QStringLiteral("pool.ntp.org"), Wait);
        QVERIFY(clock.ntpEnabled() && clock.ntpSynced());
        QSignalSpy commands(service, &StateService::commandReceived);
        clock.setNtpServer("pool.ntp.org");
        QVERIFY(m_bench->sync());
        QCOMPARE(commands.count(), 0); // nothing changed, nothing sent
        clock.setNtpServer("ntp.example.org");
        QTRY_COMPARE_WITH_TIMEOUT(service->server(), QStringLiteral("ntp.example.org"), Wait);
        service->setServerReachable(false);
        clock.ntpSync();
        QVERIFY(!clock.ntpSynced()); // at once
        QVERIFY(m_bench->sync());
        QVERIFY(!clock.ntpSynced());
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
        QCOMPARE(update.current(), QStringLiteral("1.4.2"));
        update.install(); // nothing pending yet
        QVERIFY(m_bench->sync());
        QCOMPARE(m_bench->service().count(m_base + "/update/software/install"), 0);

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
        QTest::addColumn<QString>("pending");
        QTest::addColumn<bool>("brokerUp");
        QTest::addColumn<bool>("progress"); // a progress message answers the check
        QTest::addColumn<QString>("status");
        QTest::newRow("time-out, nothing pending") << "" << true << false << "No pending updates";
        QTest::newRow("time-out, pending known") << "2.0" << true << false << "Ready to install";
        QTest::newRow("time-out, broker gone") << "" << false << false << "Disconnected";
        QTest::newRow("progress on the misspelt topic") << "" << true << true << "Installing";
    }
    void updateCheckEnds()
    {
        QFETCH(QString, pending);
        QFETCH(bool, brokerUp);
        QFETCH(bool, progress);
        bench();
        auto& update = m_bench->make<Update>(m_base);
        QVERIFY(run());
        QTRY_COMPARE_WITH_TIMEOUT(update.status(), QStringLiteral("No pending updates"), Wait);
        m_service->setOnline(false); // answers nothing
        QVERIFY(m_bench->deliver(m_base + "/update/software/status",
                                 QJsonObject {{"pending", pending}}));
        if (!brokerUp) {
            m_broker.stop();
            QTRY_COMPARE_WITH_TIMEOUT(update.status(), QStringLiteral("Disconnected"), Wait);
        }
        update.setCheckTimeout(300);
        update.check();
        QCOMPARE(update.status(), QStringLiteral("Checking for updates"));
        if (progress) {
            QVERIFY(m_bench->deliver(m_base + "/update/software/progess",
                                     R"({"message":"Unpacking","progress":40,"version":"3.1"})"));
            QCOMPARE(update.progressMessage() + ' ' + update.pending(), "Unpacking 3.1");
            QCOMPARE(update.progressPercent(), 40);
        }
        QTest::qWait(600); // past the check's time-out, which a progress message calls off
        QFETCH(QString, status);
        QTRY_COMPARE_WITH_TIMEOUT(update.status(), status, Wait);
    }
    void networkMessages_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("warns");
        const auto row
            = [](const char* tag, const char* suffix, const QByteArray& payload, bool warns) {
                  QTest::newRow(tag) << QString(suffix) << payload << warns;
              };
        row("state of usb0 ignored", "/ethernet/state",
            R"({"interface":"usb0","stateStr":"Down","ipv4":{"address":"10.9.9.9"}})", false);
        row("config of usb0 ignored", "/ethernet/config",
            R"({"interface":"usb0","method":"manual","address":"10.9.9.9"})", false);
        row("live address not IPv4", "/ethernet/state",
            QByteArray(State).replace("192.0.2.5", "192.0.2.256"), true);
        row("configured address not IPv4", "/ethernet/config",
            QByteArray(Config).replace("192.0.2.9", "10.1"), true);
        row("primary address not IPv4", "/status", QByteArray(Status).replace("192.0.2.5", "x.y"),
            true);
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
        QVERIFY(m_bench->deliver(m_base + "/status", Status));
        QVERIFY(m_bench->deliver(m_base + "/ethernet/state", State));
        QVERIFY(m_bench->deliver(m_base + "/ethernet/config", Config));
        const QStringList expected {"connected (global)", "kvrt",      "eth0", "192.0.2.5",
                                    "Connected",          "192.0.2.5", "auto", "192.0.2.9"};
        QCOMPARE(shown(), expected);
        QFETCH(QString, suffix);
        QFETCH(QByteArray, payload);
        MessageCapture log;
        QVERIFY(m_bench->deliver(m_base + suffix, payload));
        QCOMPARE(shown(), expected);
        QTEST(!log.messages(QtWarningMsg).isEmpty(), "warns");
    }
    void networkSave_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("config"); // address, netmask, gateway, dns0, dns1
        QTest::addColumn<QStringList>("sent"); // empty: nothing sent
        QTest::addColumn<QString>("liveAddress");
        const QStringList manual {"192.0.2.40", "255.255.255.0", "192.0.2.1", "192.0.2.53", ""};
        const QString lease = "198.51.100.23"; // the simulator's DHCP lease
        QTest::newRow("auto: no addresses sent")
            << QString("auto") << manual << QStringList {"", "", "", "", ""} << lease;
        QTest::newRow("manual: the addresses sent")
            << QString("manual") << manual << manual << manual[0];
        QTest::newRow("address not IPv4: nothing sent")
            << QString("manual") << QStringList {"192.0.2.400", "255.255.255.0", "", "", ""}
            << QStringList() << lease;
    }
    void networkSave()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, config);
        QFETCH(QStringList, sent);
        bench<NetworkService>()->setReconnectDelay(20);
        Ethernet& ethernet = *m_bench->make<Network>(m_base).ethernet();
        QVERIFY(run());
        QTRY_COMPARE_WITH_TIMEOUT(ethernet.ipv4()->address(), QStringLiteral("198.51.100.23"),
                                  Wait);

        ethernet.setMethod(method);
        for (auto setter :
             {&IPv4::setAddress, &IPv4::setMask, &IPv4::setGateway, &IPv4::setDns0, &IPv4::setDns1})
            (ethernet.config()->*setter)(config.takeFirst());
        MessageCapture log;
        ethernet.save();
        QVERIFY(m_bench->sync());
        const auto requests = m_bench->service().messages(m_base + "/ethernet/config/set");
        QCOMPARE(requests.size(), sent.isEmpty() ? 0 : 1);
        if (sent.isEmpty()) {
            QVERIFY(!log.messages(QtCriticalMsg).isEmpty());
            return;
        }
        QJsonObject expected {{"interface", "eth0"}, {"method", method}};
        for (int i = 0; i < IPv4::Keys.size(); ++i)
            expected.insert(IPv4::Keys[i], sent[i]);
        QCOMPARE(requests[0].json(), expected);
        // The service's answers bring the new configuration and addresses.
        QFETCH(QString, liveAddress);
        QTRY_COMPARE_WITH_TIMEOUT(ethernet.ipv4()->address(), liveAddress, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(ethernet.state(), QStringLiteral("connected"), Wait);
        QCOMPARE(ethernet.method() + ' ' + ethernet.config()->address(), method + ' ' + sent[0]);
    }

private:
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
    void write(const QString& name, const QByteArray& content) const
    {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    TestBroker m_broker;
    QTemporaryDir m_dir;
    int m_serial = 0;
    QString m_base;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<StateService> m_service;
};

QTEST_GUILESS_MAIN(TestMaintenanceClients)
#include "tst_maintenanceclients.moc"
