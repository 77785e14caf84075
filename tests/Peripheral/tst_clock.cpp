// The clock client: time zones through a stand-in for timedatectl that records its
// arguments; NTP against the simulator's clock service on a real broker.

#include "Clock.h"
#include "ClockService.h"
#include "DeviceTestBench.h"
#include "MessageCapture.h"
#include "TestBroker.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using manager::Clock;

class TestClock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void setTimezone_data();
    void setTimezone();
    void toolFaults_data();
    void toolFaults();
    void ntpFollowsTheService();
    void garbageKeepsState_data();
    void garbageKeepsState();

private:
    QStringList calls() const;
    void write(const QString& name, const QByteArray& content) const;

    TestBroker m_broker;
    QTemporaryDir m_dir;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<ClockService> m_service;
    std::unique_ptr<Clock> m_clock;
};

void TestClock::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
    // The tool's stand-in: "mode" makes it hang or fail, "zone" holds the zone in force.
    write("timedatectl",
          "#!/bin/sh\n"
          "cd \"$(dirname \"$0\")\"\necho \"$*\" >> calls\n"
          "case \"$(cat mode)\" in hang) exec sleep 30;; fail) exit 1;; esac\n"
          "case \"$1\" in\n"
          "--no-pager) printf 'Africa/Abidjan\\nEurope/Athens\\nEurope/Berlin\\n';;\n"
          "status) echo \"  Local time: Mon\"; echo \"  Time zone: $(cat zone) "
          "(EEST, +0300)\";;\n"
          "set-timezone) echo \"$2\" > zone;;\nesac\n");
    QVERIFY(QFile::setPermissions(m_dir.filePath("timedatectl"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestClock::init()
{
    write("mode", "");
    write("zone", "Europe/Athens");
    write("calls", "");
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_service = std::make_unique<ClockService>();
    m_service->setSyncDelay(200);
    m_service->connectToBroker(m_broker.host(), m_broker.port());
    m_clock = std::make_unique<Clock>(m_bench->client(), "ovant/device", nullptr,
                                      m_dir.filePath("timedatectl"));
    QVERIFY(m_bench->start("ovant/device/#"));
    QTRY_VERIFY(m_service->isConnected());
    QTRY_VERIFY(!m_clock->toolBusy());
    // Read at start-up, and the zone again on the connection's refresh; a read of
    // the property runs nothing.
    QCOMPARE(m_clock->timezones(),
             QStringList({"Africa/Abidjan", "Europe/Athens", "Europe/Berlin"}));
    QCOMPARE(m_clock->property("timezone").toString(), QStringLiteral("Europe/Athens"));
    QCOMPARE(calls(), QStringList({"--no-pager list-timezones", "status", "status"}));
    write("calls", "");
}

void TestClock::cleanup()
{
    m_clock.reset();
    m_service.reset();
    m_bench.reset();
}

QStringList TestClock::calls() const
{
    QFile file(m_dir.filePath("calls"));
    return file.open(QIODevice::ReadOnly) ? QString(file.readAll()).split('\n', Qt::SkipEmptyParts)
                                          : QStringList();
}

void TestClock::write(const QString& name, const QByteArray& content) const
{
    QFile file(m_dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void TestClock::setTimezone_data()
{
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QStringList>("runs");
    QTest::addColumn<QString>("result");
    QTest::newRow("current") << "Europe/Athens" << QStringList {"status"} << "Europe/Athens";
    QTest::newRow("another") << "Europe/Berlin"
                             << QStringList {"status", "set-timezone Europe/Berlin", "status"}
                             << "Europe/Berlin";
    QTest::newRow("unlisted") << "Mars/Olympus" << QStringList() << "Europe/Athens";
    QTest::newRow("an option") << "--help" << QStringList() << "Europe/Athens";
    QTest::newRow("empty") << "" << QStringList() << "Europe/Athens";
}

void TestClock::setTimezone()
{
    QFETCH(QString, zone);
    QFETCH(QStringList, runs);
    QFETCH(QString, result);
    QSignalSpy changed(m_clock.get(), &Clock::timezoneChanged);
    MessageCapture log;
    m_clock->setTimezone(zone);
    QTRY_VERIFY(!m_clock->toolBusy());
    QCOMPARE(calls(), runs);
    QCOMPARE(m_clock->timezone(), result);
    QCOMPARE(changed.count(), result == "Europe/Athens" ? 0 : 1);
    QCOMPARE(log.contains("WARN: Refusing unknown time zone : " + zone), runs.isEmpty());
}

void TestClock::toolFaults_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("warning");
    QTest::newRow("missing") << "missing"
                             << "WARN: Cannot run ";
    QTest::newRow("failing") << "fail"
                             << "failed (exit code 1)";
    QTest::newRow("hanging") << "hang"
                             << "took longer than 1000 ms; stopped";
}

void TestClock::toolFaults()
{
    QFETCH(QString, mode);
    QFETCH(QString, warning);
    write("mode", mode.toUtf8());
    MessageCapture log;
    Clock clock(m_bench->client(), "ovant/device", nullptr,
                m_dir.filePath(mode == "missing" ? "absent" : "timedatectl"));
    // The event loop keeps turning while the tool hangs.
    bool busyOnTime = false;
    QTimer::singleShot(100, &clock, [&] { busyOnTime = clock.toolBusy(); });
    QTRY_VERIFY_WITH_TIMEOUT(!clock.toolBusy(), 20000);
    QVERIFY(busyOnTime || mode != "hang");
    QCOMPARE(clock.timezones(), QStringList());
    QCOMPARE(clock.timezone(), QString());
    QVERIFY2(log.messages(QtWarningMsg).join('\n').contains(warning), qPrintable(warning));
    clock.setTimezone("Europe/Athens"); // unknown, as no list could be read
    QVERIFY(!clock.toolBusy());
}

void TestClock::ntpFollowsTheService()
{
    QTRY_COMPARE(m_clock->ntpServer(), QStringLiteral("pool.ntp.org"));
    QVERIFY(m_clock->ntpEnabled());
    QVERIFY(m_clock->ntpSynced());
    QSignalSpy commands(m_service.get(), &StateService::commandReceived);
    m_clock->setNtpEnabled(true);
    m_clock->setNtpServer("pool.ntp.org");
    QVERIFY(m_bench->sync());
    QCOMPARE(commands.count(), 0);

    m_clock->setNtpServer("ntp.example.org");
    QTRY_COMPARE(m_clock->ntpServer(), QStringLiteral("ntp.example.org"));
    m_service->setServerReachable(false);
    m_clock->ntpSync();
    QVERIFY(!m_clock->ntpSynced()); // at once
    QVERIFY(m_bench->sync());
    QVERIFY(!m_clock->ntpSynced());
    m_service->setServerReachable(true);
    QTRY_VERIFY(m_clock->ntpSynced());
    m_clock->setNtpEnabled(false);
    QTRY_VERIFY(!m_clock->ntpEnabled());
    QCOMPARE(m_service->server(), QStringLiteral("ntp.example.org"));
}

void TestClock::garbageKeepsState_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("logged");
    for (const char* suffix : {"/status", "/config"}) {
        QTest::addRow("%s empty", suffix)
            << suffix << QByteArray() << "Failed to parse JSON message: ";
        QTest::addRow("%s broken", suffix)
            << suffix << QByteArray("{\"enabled\":") << "{\"enabled\":";
        QTest::addRow("%s wrong types", suffix)
            << suffix << QByteArray(R"({"enabled":"no","synced":0,"server":7})") << "enabled";
    }
}

void TestClock::garbageKeepsState()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QString, logged);
    QTRY_VERIFY(m_clock->ntpSynced() && m_clock->ntpServer() == "pool.ntp.org");
    MessageCapture log;
    QVERIFY(m_bench->service().publish("ovant/device/clock/ntp" + suffix, payload));
    QVERIFY(m_bench->sync());
    QVERIFY(m_clock->ntpEnabled() && m_clock->ntpSynced());
    QCOMPARE(m_clock->ntpServer(), QStringLiteral("pool.ntp.org"));
    QVERIFY2(log.contains(logged), qPrintable(log.messages().join('\n')));
}

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
