#include "Inspector.h"
#include "LogCapture.h"
#include "MqttClient.h"
#include "RepeatUntil.h"
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
    void connectClient();
    // Returns once every message published before has been handled by the client.
    bool sync();
    // Returns once every publication of the client made before has reached the peer.
    bool flushOutgoing();
    void establishState();

    TestBroker m_broker;
    std::unique_ptr<MqttClient> m_mqtt;
    std::unique_ptr<Inspector> m_inspector;
    std::unique_ptr<TestPeer> m_peer;
    int m_sync = 0;
};

void tst_Inspector::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void tst_Inspector::init()
{
    m_peer = std::make_unique<TestPeer>(m_broker);
    QVERIFY(m_peer->connectToBroker());
    QVERIFY(m_peer->subscribe(Base + QStringLiteral("/#")));

    m_mqtt = std::make_unique<MqttClient>();
    m_mqtt->setHostname(m_broker.host());
    m_mqtt->setPort(m_broker.port());
    m_mqtt->setRetryMillis(200);
    m_mqtt->setClientId(QStringLiteral("tst_inspector_%1").arg(++m_sync));
    m_inspector = std::make_unique<Inspector>(*m_mqtt, Base);
}

void tst_Inspector::cleanup()
{
    m_inspector.reset();
    m_mqtt.reset();
    m_peer.reset();
}

void tst_Inspector::connectClient()
{
    m_mqtt->connect();
    QTRY_VERIFY_WITH_TIMEOUT(m_mqtt->isConnected(), 10000);

    // The subscriptions are made once connected; the disk statistics topic is the
    // last of them, so once a message on it arrives all of them are in place.
    QSignalSpy received(m_mqtt.get(), &MqttClient::received);
    QVERIFY(repeatUntil(
        [&] { m_peer->publish(Base + QStringLiteral("/stats/disk"), QJsonObject {{"hello", 1}}); },
        [&] { return !received.isEmpty(); }));
    // Repeated greetings still on their way are drained here.
    QVERIFY(sync());
    m_peer->clear();
}

bool tst_Inspector::sync()
{
    // The statistics are not evaluated, so a marker there changes nothing. The
    // client handles each message as the connection delivers it, before this spy.
    const QByteArray marker = json(QJsonObject {{"marker", ++m_sync}});
    const QByteArray topic = (Base + QStringLiteral("/stats/disk")).toUtf8();
    QSignalSpy received(m_mqtt.get(), &MqttClient::received);
    m_peer->publish(Base + QStringLiteral("/stats/disk"), marker);
    return QTest::qWaitFor(
        [&] {
            for (const QList<QVariant>& args : qAsConst(received)) {
                if (args.at(0).toByteArray() == marker && args.at(1).toByteArray() == topic)
                    return true;
            }
            return false;
        },
        10000);
}

bool tst_Inspector::flushOutgoing()
{
    // The client's publications reach the peer in order.
    const QString marker = QStringLiteral("/marker-%1.wav").arg(++m_sync);
    m_inspector->audioPlay(marker);
    return QTest::qWaitFor(
        [&] {
            return parse(m_peer->last(AudioPlay).payload).value("filepath").toString() == marker;
        },
        10000);
}

void tst_Inspector::establishState()
{
    connectClient();
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
    // The peer listens before the client connects, so it sees the whole refresh.
    m_mqtt->connect();
    QVERIFY(m_peer->waitForMessages(Base + QStringLiteral("/stats/cpu/get")));
    QStringList order;
    for (const TestPeer::Message& message : m_peer->messages()) {
        order << message.topic.mid(Base.size());
        QCOMPARE(message.payload, QByteArray("{}"));
    }
    QCOMPARE(
        order,
        (QStringList {"/audio/get", "/stats/memory/get", "/stats/disk/get", "/stats/cpu/get"}));
    // Information and status are not asked for.
    QVERIFY(flushOutgoing());
    QCOMPARE(m_peer->count(Base + QStringLiteral("/info/get")), 0);
    QCOMPARE(m_peer->count(Base + QStringLiteral("/status/get")), 0);

    // Again after every reconnection (the client comes back by itself).
    m_mqtt->disconnect();
    QTRY_VERIFY_WITH_TIMEOUT(!m_mqtt->isConnected(), 10000);
    m_peer->clear();
    m_mqtt->connect();
    QVERIFY(m_peer->waitForMessages(Base + QStringLiteral("/stats/cpu/get"), 1, 20000));
    QCOMPARE(m_peer->messages().first().topic, Base + QStringLiteral("/audio/get"));
}

void tst_Inspector::monitor()
{
    connectClient();
    const QString cpu = Base + QStringLiteral("/stats/cpu/get");

    m_inspector->monitor(100);
    // Refreshed at once, then on every tick.
    QVERIFY(m_peer->waitForMessages(cpu, 1));
    QVERIFY(m_peer->waitForMessages(cpu, 4));

    m_inspector->monitor(0);
    QVERIFY(flushOutgoing());
    const int stopped = m_peer->count(cpu);
    QTest::qWait(500);
    QVERIFY(flushOutgoing());
    QCOMPARE(m_peer->count(cpu), stopped);
}

void tst_Inspector::info()
{
    connectClient();
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
    QTest::newRow("service as text") << QByteArray(R"({"service": "true"})") << "offline";
    QTest::newRow("empty") << QByteArray() << "offline";
}

void tst_Inspector::status()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);

    connectClient();
    QSignalSpy spy(m_inspector.get(), &Inspector::statusChanged);
    QCOMPARE(m_inspector->status(), QString());
    m_peer->publish(Base + QStringLiteral("/status"), payload);
    m_peer->publish(Base + QStringLiteral("/status"), payload);
    QVERIFY(sync());
    QCOMPARE(m_inspector->status(), expected);
    QCOMPARE(spy.count(), 1);
}

void tst_Inspector::audioVolume()
{
    connectClient();
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
    connectClient();
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
    connectClient();
    QSignalSpy rebootSpy(m_inspector.get(), &Inspector::systemRebootStarted);
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    QElapsedTimer elapsed;
    elapsed.start();
    m_inspector->systemReboot();
    QCOMPARE(rebootSpy.count(), 1);

    // Not yet: the busy screen comes first. (Only checked while clearly within the
    // delay, so that a slow machine cannot fail it.)
    QVERIFY(flushOutgoing());
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
    connectClient();
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    QElapsedTimer elapsed;
    elapsed.start();
    m_inspector->systemShutdown();
    QCOMPARE(shutdownSpy.count(), 1);

    QVERIFY(flushOutgoing());
    if (elapsed.elapsed() < 1500)
        QCOMPARE(m_peer->count(Shutdown), 0);

    QVERIFY(m_peer->waitForMessages(Shutdown, 1, 20000));
    QVERIFY(elapsed.elapsed() >= Inspector::PowerRequestDelayMsec * 3 / 4);
    QCOMPARE(m_peer->last(Shutdown).payload, QByteArray());
    QCOMPARE(m_peer->count(Reboot), 0);
}

void tst_Inspector::scheduledShutdown()
{
    connectClient();
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
    connectClient();
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    LogCapture log;
    m_inspector->scheduleShutdown(1);
    // A second request neither restarts the countdown nor replaces its length:
    // were it taken, the power-off would come an hour later.
    m_inspector->scheduleShutdown(3600);
    QCOMPARE(log.count(QtInfoMsg, "[Inspector] Scheduling"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(shutdownSpy.count(), 1, 20000);
    QVERIFY(m_peer->waitForMessages(Shutdown, 1, 20000));

    // Once it has run out, a new countdown can start.
    m_inspector->scheduleShutdown(3600);
    QVERIFY(m_inspector->isShutdownScheduled());
    QCOMPARE(log.count(QtInfoMsg, "[Inspector] Scheduling"), 2);
    m_inspector->abortShutdown();
}

void tst_Inspector::abortShutdown()
{
    connectClient();
    QSignalSpy shutdownSpy(m_inspector.get(), &Inspector::systemShutdownStarted);
    LogCapture log;

    // Nothing to abort: nothing logged.
    m_inspector->abortShutdown();
    QCOMPARE(log.count(QtInfoMsg, "[Inspector] "), 0);

    m_inspector->scheduleShutdown(1);
    m_inspector->abortShutdown();
    QVERIFY(!m_inspector->isShutdownScheduled());
    QVERIFY(log.contains(QtInfoMsg, "[Inspector] Aborting System shutdown"));

    // Well past the countdown and the delay: nothing happened.
    QTest::qWait(1000 + Inspector::PowerRequestDelayMsec + 500);
    QVERIFY(flushOutgoing());
    QCOMPARE(shutdownSpy.count(), 0);
    QCOMPARE(m_peer->count(Shutdown), 0);
}

void tst_Inspector::scheduleShutdownOutOfRange()
{
    connectClient();
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
    // Valid JSON of the wrong shape reads as a report without the expected fields.
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("volume");
    QTest::addColumn<QString>("version");

    const QList<QPair<const char*, QByteArray>> payloads {
        {"empty", QByteArray()},
        {"array", QByteArray("[1, 2]")},
        {"wrong members",
         QByteArray(R"({"service": {"version": 3}, "internal": {"volume": "80"}})")},
        {"wrong nesting", QByteArray(R"({"service": [true], "internal": 80})")},
    };
    for (const auto& payload : payloads) {
        const QString name = QString::fromLatin1(payload.first);
        QTest::newRow(qPrintable("/info " + name))
            << "/info" << payload.second << "online" << 70 << "";
        QTest::newRow(qPrintable("/status " + name))
            << "/status" << payload.second << "offline" << 70 << "3.1";
        QTest::newRow(qPrintable("/audio " + name))
            << "/audio" << payload.second << "online" << 0 << "3.1";
        QTest::newRow(qPrintable("/stats/cpu " + name))
            << "/stats/cpu" << payload.second << "online" << 70 << "3.1";
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
    m_peer->publish(Base + suffix, payload);
    QVERIFY(sync());
    QCOMPARE(m_inspector->info().value("version").toString(), version);
    QCOMPARE(m_inspector->status(), status);
    QCOMPARE(m_inspector->audioVolume(), volume);
    QCOMPARE(m_inspector->memory(), QVariantMap());
    QCOMPARE(m_inspector->cpu(), QVariantMap());
    QCOMPARE(m_inspector->disks(), QVariantMap());
}

void tst_Inspector::otherTopicsIgnored()
{
    establishState();
    QSignalSpy statusSpy(m_inspector.get(), &Inspector::statusChanged);
    LogCapture log;

    // The connection is shared: other clients' messages reach this one as well.
    // (Subscribed in this order, the first message elsewhere shows both in place.)
    m_mqtt->subscribe(Base + QStringLiteral("/status/extra"));
    m_mqtt->subscribe(QStringLiteral("elsewhere/#"));
    QSignalSpy received(m_mqtt.get(), &MqttClient::received);
    // Outside the base, however malformed: not this client's business.
    QVERIFY(repeatUntil(
        [&] { m_peer->publish(QStringLiteral("elsewhere/status"), QByteArray("{broken")); },
        [&] { return !received.isEmpty(); }));
    QVERIFY(!received.isEmpty());
    m_peer->publish(QStringLiteral("elsewhere/status"), json(QJsonObject {{"service", false}}));
    // Under the base but none of its topics.
    m_peer->publish(Base + QStringLiteral("/status/extra"), json(QJsonObject {{"service", false}}));
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const QList<QVariant>& args : received) {
                if (args.at(1).toByteArray().endsWith("/status/extra"))
                    return true;
            }
            return false;
        }(),
        10000);
    QVERIFY(sync());
    QCOMPARE(statusSpy.count(), 0);
    QCOMPARE(m_inspector->status(), QStringLiteral("online"));
    QCOMPARE(log.count(QtCriticalMsg), 0);
}

QTEST_GUILESS_MAIN(tst_Inspector)
#include "tst_inspector.moc"
