// The GUI manager's maintenance side on a real broker, with its files in a scratch
// directory: what the end-to-end walk (tests/e2e) cannot reach. A test peer plays the
// terminal service, the board, the inspector and the network service.

#include "Config.h"
#include "GUIManager.h"
#include "Logger.h"
#include "QuickSanitizerOptions.h"
#include "SessionManager.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
constexpr int Wait = 20000;
const QJsonObject Online {
    {"service", true},
    {"state", QJsonObject {{"hasRfid", true}, {"hasObu", true}, {"hasRoute", true}}}};
} // namespace

class TestMaintenanceArea : public QObject
{
    Q_OBJECT

    TestBroker m_broker;
    std::unique_ptr<TestPeer> m_peer;
    int m_run = 0;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<GUIManager> m_manager;
    QString m_shown; // the last screen set

    QString topic(const QString& suffix) const
    {
        return QStringLiteral("m%1%2").arg(m_run).arg(suffix);
    }
    bool publish(const QString& suffix, const QJsonObject& json)
    {
        return m_peer->publish(topic(suffix), json) && sync();
    }
    // Returns once the manager has handled everything published before.
    bool sync()
    {
        const int before = m_peer->count(topic("/ui/info"));
        return m_peer->publish(topic("/ui/info/get"), QByteArray())
            && m_peer->waitForMessages(topic("/ui/info"), before + 1, Wait);
    }
    bool ignition(bool on)
    {
        return publish(
            "/board/status",
            {{"service", true}, {"device", QJsonObject {{"active", true}, {"ignition", on}}}});
    }
    bool technician()
    {
        return sync() && m_peer->last(topic("/ui/status")).json()["technician"].toBool();
    }
    // A manager on its own topics, ignition on and the terminal online, with a PIN.
    bool start(const QString& deviceIdFile = QString())
    {
        QFile id(m_dir->filePath("serialnumber"));
        if (!id.open(QIODevice::WriteOnly) || id.write("K1\n") < 0)
            return false;
        id.close();
        QSettings ini(m_dir->filePath("gui.conf"), QSettings::IniFormat);
        const QString base = topic("");
        for (const QString& entry : QStringList {
                 "log/syslog=false", "log/stderr=false", "gui/settingsPin=1234",
                 "mqtt/host=" + m_broker.host(), "mqtt/port=" + QString::number(m_broker.port()),
                 "gui/deviceId=" + (deviceIdFile.isEmpty() ? id.fileName() : deviceIdFile),
                 "mqtt/base=" + base + "/ui", "topics/blm=" + base + "/blm",
                 "topics/board=" + base + "/board", "topics/inspector=" + base + "/inspector",
                 "topics/network=" + base + "/network"})
            ini.setValue(entry.section('=', 0, 0), entry.section('=', 1));
        ini.sync();
        m_config.reset(new Config(ini.fileName(), GUIManager::Defaults));
        m_manager.reset(new GUIManager(*m_config, m_dir->path()));
        connect(m_manager.get(), &GUIManager::screenChanged,
                [this] { m_shown = m_manager->screen(); });
        return m_peer->waitForMessages(topic("/ui/info"), 1, Wait) && ignition(true)
            && publish("/blm/status", Online);
    }
    bool login()
    {
        m_manager->settingsLoginRequest("1234");
        return technician();
    }

private Q_SLOTS:
    void initTestCase()
    {
        manager::Logger::instance()->setSyslog(false);
        QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
        m_peer.reset(new TestPeer(m_broker));
        QVERIFY(m_peer->connectToBroker() && m_peer->subscribe("#"));
    }
    void init()
    {
        m_manager.reset();
        m_config.reset();
        ++m_run;
        m_dir.reset(new QTemporaryDir);
        m_peer->clear();
    }
    void barcode_data()
    {
        // "\/" and "\u0023" stand for "/" and the hash sign: moc misreads them in raw strings.
        addJsonRows({"barcode", "list", "ethernet"}, R"([
["only validator", {"validator": {"obc": "mqtt:\/\/obu.local:1883"}}, ["OBC : mqtt:\/\/obu.local:1883"], null],
["network manual", {"network": {"eth0": {"method": "manual", "address": "10.0.0.2", "netmask": "255.0.0.0",
    "gateway": "10.0.0.1", "dns0": "", "dns1": "1.1.1.1"}}},
 ["Method : manual", "Address : 10.0.0.2", "Netmask : 255.0.0.0", "Gateway : 10.0.0.1", "DNS \u00230 : ",
  "DNS \u00231 : 1.1.1.1"], {"method": "manual", "address": "10.0.0.2", "dns1": "1.1.1.1"}],
["other method clears", {"network": {"eth0": {"method": "dhcp", "address": "10.0.0.2"}}},
 ["Method : dhcp", "Address : 10.0.0.2", "Netmask : ", "Gateway : ", "DNS \u00230 : ", "DNS \u00231 : "],
 {"method": "auto", "address": "", "dns1": ""}],
["neither key", {"other": 1}, [], null],
["invalid URL", {"validator": {"obc": "mqtt:\/\/obu:99999"}}, [], null],
["URL without host", {"validator": {"obc": "obu"}}, [], null],
["wrong types", {"validator": "mqtt:\/\/obu", "network": {"eth0": {"method": 1}}}, [], null],
["wrong network type", {"validator": {"obc": 7}, "network": ["eth0"]}, [], null],
["bad address", {"validator": {"obc": "mqtt:\/\/obu"}, "network": {"eth0": {"method": "manual",
    "address": "999.1.1.1", "netmask": "1.2.3"}}}, ["OBC : mqtt:\/\/obu"], null]
])");
    }
    void barcode()
    {
        QVERIFY(start());
        QVERIFY(publish("/network/ethernet/state", {{"interface", "eth0"}}));
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
        QVERIFY(start());
        QVERIFY(QMetaObject::invokeMethod(
            m_manager.get(), (QByteArray(QTest::currentDataTag()) + "Request").constData()));
        QCOMPARE(m_shown, QString("Busy"));
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

    void loginLockout()
    {
        // The manager: the fifth wrong PIN locks, a right one is then refused too.
        QVERIFY(start());
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
        session.loginRequest("1234");
        QVERIFY(!session.sessionActive());
        for (int expected : {60, 120, 240, 480, 900, 900})
            QCOMPARE(wrong(1), expected);
        now += 900 * 1000;
        session.loginRequest("1234");
        QVERIFY(session.sessionActive());
        QCOMPARE(wrong(4), 0); // a right PIN starts the count again
    }
};

QTEST_MAIN(TestMaintenanceArea)
#include "tst_maintenancearea.moc"
