#include "DeviceTestBench.h"
#include "Inspector.h"
#include "MessageCapture.h"
#include "MqttClient.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::Inspector;
using manager::MqttClient;

namespace {

const QString Base = QStringLiteral("test/inspector");
const QString Reboot = Base + QStringLiteral("/power/reboot/request/1");
const QString Shutdown = Base + QStringLiteral("/power/shutdown/request/1");
const QString AudioSet = Base + QStringLiteral("/audio/set");
const QString AudioPlay = Base + QStringLiteral("/audio/play");

const QRegularExpression
    ParseFailure(QStringLiteral("^\\[Inspector\\] Failed to parse JSON message: .+"));

QJsonObject parse(const QByteArray& text)
{
    return QJsonDocument::fromJson(text).object();
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject volumeReport(int volume)
{
    return QJsonObject {{"internal", QJsonObject {{"volume", volume}}}};
}

} // namespace

class tst_Inspector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void refreshOnConnect();
    void monitor();
    void info();
    void status_data();
    void status();
    void audioVolume();
    void setAudioVolume();
    void audioPlay();
    void statistics();

    void rebootAnnouncedBeforeRequest();
    void shutdownAnnouncedBeforeRequest();
    void scheduledShutdown();
    void scheduledShutdownNotRestarted();
    void abortShutdown();
    void scheduleShutdownOutOfRange();

    void garbageNotJson_data();
    void garbageNotJson();
    void garbageWrongTypes_data();
    void garbageWrongTypes();
    void otherTopicsIgnored();

private:
    // Returns once every message published before has been handled by the client
    // and every publication of the client has reached the peer.
    bool sync() { return m_bench->sync(); }
    void establishState();

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<Inspector> m_inspector;
    MqttClient* m_mqtt = nullptr;
    TestPeer* m_peer = nullptr; // plays the inspector service
};

void tst_Inspector::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void tst_Inspector::init()
{
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_mqtt = &m_bench->client();
    m_peer = &m_bench->service();
    m_inspector = std::make_unique<Inspector>(*m_mqtt, Base);
    QVERIFY(m_bench->start(Base + QStringLiteral("/#")));
}

void tst_Inspector::cleanup()
{
    m_inspector.reset();
    m_mqtt = nullptr;
    m_peer = nullptr;
    m_bench.reset();
}

void tst_Inspector::establishState()
{
    m_peer->publish(Base + QStringLiteral("/status"), QJsonObject {{"service", true}});
    m_peer->publish(Base + QStringLiteral("/audio"), volumeReport(70));
    m_peer->publish(Base + QStringLiteral("/info"),
                    QJsonObject {{"service", QJsonObject {{"version", "3.1"}}}});
    QVERIFY(sync());
    QCOMPARE(m_inspector->status(), QStringLiteral("online"));
    QCOMPARE(m_inspector->audioVolume(), 70);
    QCOMPARE(m_inspector->info().value("version").toString(), QStringLiteral("3.1"));
}

// ---------------------------------------------------------------------------

void tst_Inspector::refreshOnConnect()
{
    // The peer listened before the client connected, so it saw the whole refresh.
    auto requests = [this] {
        QStringList order;
        for (const TestPeer::Message& message : m_peer->messages(Base + QStringLiteral("/#"))) {
            order << message.topic.mid(Base.size());
            if (message.payload != "{}")
                order << QString::fromUtf8(message.payload);
        }
        return order;
    };
    const QStringList refresh {"/audio/get", "/stats/memory/get", "/stats/disk/get",
                               "/stats/cpu/get"};
    // Information and status are not asked for.
    QCOMPARE(requests(), refresh);

    // Again on every connection.
    m_peer->clear();
    m_mqtt->disconnect();
    QTRY_VERIFY_WITH_TIMEOUT(!m_mqtt->isConnected(), 10000);
    m_mqtt->connect();
    QTRY_VERIFY_WITH_TIMEOUT(m_mqtt->isConnected(), 10000);
    QVERIFY(sync());
    QCOMPARE(requests(), refresh);
}

void tst_Inspector::monitor()
{
    const QString cpu = Base + QStringLiteral("/stats/cpu/get");

    m_inspector->monitor(100);
    // Refreshed at once, then on every tick.
    QVERIFY(m_peer->waitForMessages(cpu, 1));
    QVERIFY(m_peer->waitForMessages(cpu, 4));

    m_inspector->monitor(0);
    QVERIFY(sync());
    const int stopped = m_peer->count(cpu);
    QTest::qWait(500);
    QVERIFY(sync());
    QCOMPARE(m_peer->count(cpu), stopped);
}

void tst_Inspector::info()
{
    QSignalSpy spy(m_inspector.get(), &Inspector::infoChanged);
    m_peer->publish(Base + QStringLiteral("/info"),
                    QJsonObject {{"service", QJsonObject {{"version", "1.2.3"}}}});
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
    QCOMPARE(m_inspector->info(), (QVariantMap {{"version", "1.2.3"}}));

    // Announced every time, also unchanged.
    m_peer->publish(Base + QStringLiteral("/info"),
                    QJsonObject {{"service", QJsonObject {{"version", "1.2.3"}}}});
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 10000);
}

void tst_Inspector::status_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");

    QTest::newRow("running") << QByteArray(R"({"service": true})") << "online";
    QTest::newRow("stopped") << QByteArray(R"({"service": false})") << "offline";
    QTest::newRow("no service") << QByteArray(R"({"other": true})") << "offline";
    // Unreadable rather than missing: nothing is known.
    QTest::newRow("service as text") << QByteArray(R"({"service": "true"})") << "";
    QTest::newRow("empty") << QByteArray() << "offline";
}

void tst_Inspector::status()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);

    QSignalSpy spy(m_inspector.get(), &Inspector::statusChanged);
    QCOMPARE(m_inspector->status(), QString());
    m_peer->publish(Base + QStringLiteral("/status"), payload);
    m_peer->publish(Base + QStringLiteral("/status"), payload);
    QVERIFY(sync());
    QCOMPARE(m_inspector->status(), expected);
    QCOMPARE(spy.count(), expected.isEmpty() ? 0 : 1);
}

void tst_Inspector::audioVolume()
{
    QSignalSpy spy(m_inspector.get(), &Inspector::audioVolumeChanged);
    QCOMPARE(m_inspector->audioVolume(), 0);

    m_peer->publish(Base + QStringLiteral("/audio"), volumeReport(40));
    QVERIFY(sync());
    QCOMPARE(m_inspector->audioVolume(), 40);
    QCOMPARE(m_inspector->property("audioVolume").toInt(), 40);
    QCOMPARE(spy.count(), 1);

    m_peer->publish(Base + QStringLiteral("/audio"), volumeReport(40));
    QVERIFY(sync());
    QCOMPARE(spy.count(), 1);

    // A report without a volume reads as 0.
    m_peer->publish(Base + QStringLiteral("/audio"), QJsonObject {{"external", 10}});
    QVERIFY(sync());
    QCOMPARE(m_inspector->audioVolume(), 0);
    QCOMPARE(spy.count(), 2);
}

void tst_Inspector::setAudioVolume()
{
    establishState();
    QSignalSpy spy(m_inspector.get(), &Inspector::audioVolumeChanged);

    // Sent also when equal to the known volume; the value itself changes only
    // when the service reports it.
    m_inspector->setAudioVolume(70);
    m_inspector->setProperty("audioVolume", 25);
    QVERIFY(m_peer->waitForMessages(AudioSet, 2));
    const QList<TestPeer::Message> sent = m_peer->messages(AudioSet);
    QCOMPARE(parse(sent.at(0).payload), volumeReport(70));
    QCOMPARE(parse(sent.at(1).payload), volumeReport(25));
    QVERIFY(sent.at(0).payload.contains('\n'));
    QCOMPARE(m_inspector->audioVolume(), 70);
    QCOMPARE(spy.count(), 0);
}

void tst_Inspector::audioPlay()
{
    m_inspector->audioPlay(QStringLiteral("/opt/ovant/kvrtterminalui/Valid.wav"));
    QVERIFY(m_peer->waitForMessages(AudioPlay));
    const QByteArray payload = m_peer->last(AudioPlay).payload;
    QCOMPARE(parse(payload),
             (QJsonObject {{"device", "internal"},
                           {"filepath", "/opt/ovant/kvrtterminalui/Valid.wav"}}));
    QVERIFY(payload.contains('\n'));
}

void tst_Inspector::statistics()
{
    establishState();
    QSignalSpy memorySpy(m_inspector.get(), &Inspector::memoryChanged);
    QSignalSpy cpuSpy(m_inspector.get(), &Inspector::cpuChanged);
    QSignalSpy disksSpy(m_inspector.get(), &Inspector::disksChanged);
    QSignalSpy statusSpy(m_inspector.get(), &Inspector::statusChanged);
    QSignalSpy volumeSpy(m_inspector.get(), &Inspector::audioVolumeChanged);

    m_peer->publish(Base + QStringLiteral("/stats/cpu"),
                    QJsonObject {{"load", 0.5}, {"service", false}});
    m_peer->publish(Base + QStringLiteral("/stats/memory"), QJsonObject {{"free", 1024}});
    m_peer->publish(Base + QStringLiteral("/stats/disk"),
                    QJsonObject {{"internal", QJsonObject {{"volume", 3}}}});
    QVERIFY(sync());
    QCOMPARE(m_inspector->memory(), QVariantMap());
    QCOMPARE(m_inspector->cpu(), QVariantMap());
    QCOMPARE(m_inspector->disks(), QVariantMap());
    QCOMPARE(memorySpy.count() + cpuSpy.count() + disksSpy.count(), 0);
    QCOMPARE(statusSpy.count() + volumeSpy.count(), 0);
    QCOMPARE(m_inspector->status(), QStringLiteral("online"));
    QCOMPARE(m_inspector->audioVolume(), 70);
}

// ---------------------------------------------------------------------------
// Power

void tst_Inspector::rebootAnnouncedBeforeRequest()
{
    QSignalSpy rebootSpy(m_inspector.get(), &Inspector::systemRebootStarted);
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    QElapsedTimer elapsed;
    elapsed.start();
    m_inspector->systemReboot();
    QCOMPARE(rebootSpy.count(), 1);

    // Not yet: the busy screen comes first. (Only checked while clearly within the
    // delay, so that a slow machine cannot fail it.)
    QVERIFY(sync());
    if (elapsed.elapsed() < 1500)
        QCOMPARE(m_peer->count(Reboot), 0);

    QVERIFY(m_peer->waitForMessages(Reboot, 1, 20000));
    QVERIFY2(elapsed.elapsed() >= Inspector::PowerRequestDelayMsec * 3 / 4,
             qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(m_peer->last(Reboot).payload, QByteArray());
    QCOMPARE(m_peer->count(Shutdown), 0);
    QCOMPARE(shutdownSpy.count(), 0);
}

void tst_Inspector::shutdownAnnouncedBeforeRequest()
{
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    QElapsedTimer elapsed;
    elapsed.start();
    m_inspector->systemShutdown();
    QCOMPARE(shutdownSpy.count(), 1);

    QVERIFY(sync());
    if (elapsed.elapsed() < 1500)
        QCOMPARE(m_peer->count(Shutdown), 0);

    QVERIFY(m_peer->waitForMessages(Shutdown, 1, 20000));
    QVERIFY(elapsed.elapsed() >= Inspector::PowerRequestDelayMsec * 3 / 4);
    QCOMPARE(m_peer->last(Shutdown).payload, QByteArray());
    QCOMPARE(m_peer->count(Reboot), 0);
}

void tst_Inspector::scheduledShutdown()
{
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::ignoreMessage(QtInfoMsg, "[Inspector] Scheduling System shutdown in : 1 sec(s)");
    m_inspector->scheduleShutdown(1);
    QVERIFY(m_inspector->isShutdownScheduled());
    QCOMPARE(shutdownSpy.count(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(shutdownSpy.count(), 1, 20000);
    QVERIFY(elapsed.elapsed() >= 1000 * 3 / 4);
    QVERIFY(!m_inspector->isShutdownScheduled());
    // The request follows the announcement as for a direct power-off.
    QVERIFY(m_peer->waitForMessages(Shutdown, 1, 20000));
    QVERIFY(elapsed.elapsed() >= (1000 + Inspector::PowerRequestDelayMsec) * 3 / 4);
    QCOMPARE(shutdownSpy.count(), 1);
}

void tst_Inspector::scheduledShutdownNotRestarted()
{
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    MessageCapture log;
    m_inspector->scheduleShutdown(1);
    // A second request neither restarts the countdown nor replaces its length:
    // were it taken, the power-off would come an hour later.
    m_inspector->scheduleShutdown(3600);
    QCOMPARE(log.messages(QtInfoMsg).filter("[Inspector] Scheduling").size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(shutdownSpy.count(), 1, 20000);
    QVERIFY(m_peer->waitForMessages(Shutdown, 1, 20000));

    // Once it has run out, a new countdown can start.
    m_inspector->scheduleShutdown(3600);
    QVERIFY(m_inspector->isShutdownScheduled());
    QCOMPARE(log.messages(QtInfoMsg).filter("[Inspector] Scheduling").size(), 2);
    m_inspector->abortShutdown();
}

void tst_Inspector::abortShutdown()
{
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    MessageCapture log;

    // Nothing to abort: nothing logged.
    m_inspector->abortShutdown();
    QCOMPARE(log.messages().filter("[Inspector] "), QStringList());

    m_inspector->scheduleShutdown(1);
    m_inspector->abortShutdown();
    QVERIFY(!m_inspector->isShutdownScheduled());
    QCOMPARE(log.messages(QtInfoMsg).filter("[Inspector] Abort"),
             QStringList {"[Inspector] Aborting System shutdown"});

    // Well past the countdown and the delay: nothing happened.
    QTest::qWait(1000 + Inspector::PowerRequestDelayMsec + 500);
    QVERIFY(sync());
    QCOMPARE(shutdownSpy.count(), 0);
    QCOMPARE(m_peer->count(Shutdown), 0);
}

void tst_Inspector::scheduleShutdownOutOfRange()
{
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);

    // Beyond the timer's range the countdown still runs (at its longest) instead
    // of overflowing into a delay that never ends or ends at once.
    m_inspector->scheduleShutdown(std::numeric_limits<int>::max());
    QVERIFY(m_inspector->isShutdownScheduled());
    QTest::qWait(100);
    QCOMPARE(shutdownSpy.count(), 0);
    m_inspector->abortShutdown();

    // A negative delay means at once.
    m_inspector->scheduleShutdown(-5);
    QTRY_COMPARE_WITH_TIMEOUT(shutdownSpy.count(), 1, 20000);
    QVERIFY(m_peer->waitForMessages(Shutdown, 1, 20000));
}

// ---------------------------------------------------------------------------
// Malformed input

void tst_Inspector::garbageNotJson_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");

    const QList<QPair<const char*, QByteArray>> payloads {
        {"text", QByteArray("volume up")},
        {"truncated", QByteArray(R"({"internal": {"volume": )")},
        {"binary", QByteArray("\x00\xff\xfe{\x01", 5)},
        // A document is an object or an array; a bare value is no document.
        {"bare string", QByteArray(R"("online")")},
        {"bare number", QByteArray("42")},
        {"1 MB", QByteArray(1024 * 1024, 'x')},
        {"deeply nested", QByteArray(100000, '{')},
        {"deeply nested arrays", QByteArray(100000, '[') + QByteArray(100000, ']')},
    };
    for (const char* suffix :
         {"/info", "/status", "/audio", "/stats/cpu", "/stats/memory", "/stats/disk"}) {
        for (const auto& payload : payloads)
            QTest::newRow(qPrintable(QString::fromLatin1(suffix) + " " + payload.first))
                << QString::fromLatin1(suffix) << payload.second;
    }
}

void tst_Inspector::garbageNotJson()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);

    establishState();
    const QVariantMap info = m_inspector->info();
    QSignalSpy infoSpy(m_inspector.get(), &Inspector::infoChanged);
    QSignalSpy statusSpy(m_inspector.get(), &Inspector::statusChanged);
    QSignalSpy volumeSpy(m_inspector.get(), &Inspector::audioVolumeChanged);

    QTest::ignoreMessage(QtCriticalMsg, ParseFailure);
    m_peer->publish(Base + suffix, payload);
    QVERIFY(sync());

    QCOMPARE(infoSpy.count(), 0);
    QCOMPARE(statusSpy.count(), 0);
    QCOMPARE(volumeSpy.count(), 0);
    QCOMPARE(m_inspector->info(), info);
    QCOMPARE(m_inspector->status(), QStringLiteral("online"));
    QCOMPARE(m_inspector->audioVolume(), 70);
    QCOMPARE(m_inspector->memory(), QVariantMap());
}

void tst_Inspector::garbageWrongTypes_data()
{
    // Valid JSON of the wrong shape. A document without the expected fields reads
    // as a report of empty values; fields of the wrong type are logged and change
    // nothing.
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("volume");
    QTest::addColumn<QString>("version");

    for (const char* name : {"empty", "array"}) {
        const QByteArray payload = QByteArray(name) == "empty" ? QByteArray() : "[1, 2]";
        QTest::newRow(qPrintable(QStringLiteral("/info %1").arg(name)))
            << "/info" << payload << "online" << 70 << "";
        QTest::newRow(qPrintable(QStringLiteral("/status %1").arg(name)))
            << "/status" << payload << "offline" << 70 << "3.1";
        QTest::newRow(qPrintable(QStringLiteral("/audio %1").arg(name)))
            << "/audio" << payload << "online" << 0 << "3.1";
        QTest::newRow(qPrintable(QStringLiteral("/stats/cpu %1").arg(name)))
            << "/stats/cpu" << payload << "online" << 70 << "3.1";
    }

    const QList<QPair<const char*, QByteArray>> wrong {
        {"wrong members",
         QByteArray(R"({"service": {"version": 3}, "internal": {"volume": "80"}})")},
        {"wrong nesting", QByteArray(R"({"service": [true], "internal": 80})")},
        {"fraction", QByteArray(R"({"service": 1, "internal": {"volume": 80.5}})")},
    };
    for (const auto& payload : wrong) {
        const QString name = QString::fromLatin1(payload.first);
        for (const char* suffix : {"/info", "/status", "/audio"}) {
            QTest::newRow(qPrintable(QString::fromLatin1(suffix) + " " + name))
                << QString::fromLatin1(suffix) << payload.second << "online" << 70 << "3.1";
        }
    }
}

void tst_Inspector::garbageWrongTypes()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QString, status);
    QFETCH(int, volume);
    QFETCH(QString, version);

    establishState();
    QSignalSpy infoSpy(m_inspector.get(), &Inspector::infoChanged);
    QSignalSpy statusSpy(m_inspector.get(), &Inspector::statusChanged);
    QSignalSpy volumeSpy(m_inspector.get(), &Inspector::audioVolumeChanged);
    MessageCapture log;
    m_peer->publish(Base + suffix, payload);
    QVERIFY(sync());

    QCOMPARE(m_inspector->info().value("version").toString(), version);
    QCOMPARE(m_inspector->status(), status);
    QCOMPARE(m_inspector->audioVolume(), volume);
    QCOMPARE(m_inspector->memory(), QVariantMap());
    QCOMPARE(m_inspector->cpu(), QVariantMap());
    QCOMPARE(m_inspector->disks(), QVariantMap());
    QCOMPARE(statusSpy.count(), status == QLatin1String("online") ? 0 : 1);
    QCOMPARE(volumeSpy.count(), volume == 70 ? 0 : 1);
    const bool kept = status == QLatin1String("online") && volume == 70 && version == "3.1";
    if (kept && suffix != QLatin1String("/stats/cpu")) {
        QCOMPARE(infoSpy.count(), 0);
        QCOMPARE(log.messages(QtWarningMsg).filter("[Inspector] Ignoring field '").size(), 1);
    }
    QCOMPARE(log.messages(QtCriticalMsg), QStringList());
}

void tst_Inspector::otherTopicsIgnored()
{
    establishState();
    QSignalSpy statusSpy(m_inspector.get(), &Inspector::statusChanged);
    MessageCapture log;

    // The connection is shared: other clients' messages reach this one as well.
    m_mqtt->subscribe(Base + QStringLiteral("/status/extra"));
    m_mqtt->subscribe(QStringLiteral("elsewhere/#"));
    QSignalSpy received(m_mqtt, &MqttClient::received);
    QVERIFY(sync()); // the subscriptions are in force
    // Outside the base, however malformed: not this client's business.
    m_peer->publish(QStringLiteral("elsewhere/status"), QByteArray("{broken"));
    m_peer->publish(QStringLiteral("elsewhere/status"), json(QJsonObject {{"service", false}}));
    // Under the base but none of its topics.
    m_peer->publish(Base + QStringLiteral("/status/extra"), json(QJsonObject {{"service", false}}));
    QVERIFY(sync());
    QCOMPARE(received.count(), 3 + 2); // and the probes of both sync()
    QCOMPARE(statusSpy.count(), 0);
    QCOMPARE(m_inspector->status(), QStringLiteral("online"));
    QCOMPARE(log.messages(QtCriticalMsg), QStringList());
}

QTEST_GUILESS_MAIN(tst_Inspector)
#include "tst_inspector.moc"
