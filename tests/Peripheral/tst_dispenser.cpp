#include "Dispenser.h"
#include "DispenserService.h"
#include "LogCapture.h"
#include "MqttClient.h"
#include "Settlement.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::Dispenser;
using Outcome = Settlement<Dispenser::Result>;

namespace {
constexpr int Wait = 10000;
}

// The dispenser client against a real broker, with the simulated dispenser
// service as its peer and a raw peer for messages no sane service sends.
class TestDispenser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void infoIsMirrored();
    void statusIsMirrored();
    void serviceDownKeepsTheSensorFlags();
    void statusWithoutDeviceClearsEveryFlag();
    void repeatedStatusEmitsNothing();
    void cardEventsAreSignalled();
    void topicsOutsideTheBaseAreIgnored();

    void operationsAskTheirMethods();
    void requestIdsCountFromOneAndNeverReset();
    void refusalCarriesTheServiceCodeAndText_data();
    void refusalCarriesTheServiceCodeAndText();
    void transportFailureHasCodeMinusOne();

    void waitCollectResolvesOnCardRemoved();
    void waitCollectTimesOut();
    void waitCollectZeroWaitsWithoutLimit();

    void setLedsPublishesOneFlagPerLamp();
    void garbagePayloadsAreLoggedAndDropped();

private:
    // Makes sure every subscription the client made so far is in place at the
    // broker: the broker handles a connection's packets in order.
    bool subscriptionsSettled();
    void startService();

    TestBroker m_broker;
    std::unique_ptr<manager::MqttClient> m_mqtt;
    std::unique_ptr<TestPeer> m_raw;
    std::unique_ptr<DispenserService> m_service;
    std::unique_ptr<Dispenser> m_client;
    QString m_base;
    int m_serial = 0;
};

void TestDispenser::initTestCase()
{
    QVERIFY(m_broker.start());
    m_mqtt = std::make_unique<manager::MqttClient>();
    m_mqtt->setHostname(m_broker.host());
    m_mqtt->setPort(m_broker.port());
    m_mqtt->connect();
    QTRY_VERIFY_WITH_TIMEOUT(m_mqtt->isConnected(), Wait);
    m_raw = std::make_unique<TestPeer>(m_broker);
    QVERIFY(m_raw->connectToBroker());
}

void TestDispenser::init()
{
    // A fresh base per test: retained messages of earlier tests stay out of the way.
    m_base = QStringLiteral("test/dispenser%1").arg(++m_serial);
    m_service = std::make_unique<DispenserService>(m_base);
    m_client = std::make_unique<Dispenser>(*m_mqtt, m_base);
    QVERIFY(subscriptionsSettled());
}

void TestDispenser::cleanup()
{
    m_client.reset();
    m_service.reset();
}

bool TestDispenser::subscriptionsSettled()
{
    const QString topic = QStringLiteral("test/sync/%1").arg(++m_serial);
    if (!m_raw->publish(topic, QByteArray("{}"), 1, true))
        return false;
    auto sync = Settlement<QJsonValue>::of(m_mqtt->waitTopic(topic, Wait));
    return sync->wait(Wait + 1000) && sync->resolved();
}

void TestDispenser::startService()
{
    m_service->connectToBroker(m_broker.host(), m_broker.port());
    QTRY_VERIFY_WITH_TIMEOUT(m_service->isConnected(), Wait);
    QTRY_VERIFY_WITH_TIMEOUT(m_client->active(), Wait);
}

void TestDispenser::infoIsMirrored()
{
    QSignalSpy model(m_client.get(), &Dispenser::modelChanged);
    startService();
    QTRY_COMPARE_WITH_TIMEOUT(m_client->software(), QStringLiteral("1.0.0"), Wait);
    QCOMPARE(m_client->manufacturer(), QStringLiteral("KVRT Simulation"));
    QCOMPARE(m_client->model(), QStringLiteral("Simulated dispenser"));
    QCOMPARE(m_client->firmware(), QStringLiteral("1.0"));
    QCOMPARE(model.count(), 1);
    QCOMPARE(m_client->cartridge(), QString());

    // The properties are what QML reads.
    QCOMPARE(m_client->property("model").toString(), QStringLiteral("Simulated dispenser"));
}

void TestDispenser::statusIsMirrored()
{
    startService();
    QVERIFY(!m_client->isJammed());
    QVERIFY(!m_client->cardInRfid());

    QSignalSpy jammed(m_client.get(), &Dispenser::isJammedChanged);
    QSignalSpy door(m_client.get(), &Dispenser::isDoorOpenChanged);
    QSignalSpy rfid(m_client.get(), &Dispenser::cardInRfidChanged);
    QSignalSpy mouth(m_client.get(), &Dispenser::cardInMouthChanged);

    LogCapture log;
    QVERIFY(m_service->placeCardAtRfid());
    QTRY_VERIFY_WITH_TIMEOUT(m_client->cardInRfid(), Wait);
    QCOMPARE(log.lines(QtWarningMsg), QStringList {"[Dispenser] Card in RFID changed true"});

    m_service->setJammed(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_client->isJammed(), Wait);
    m_service->setDoorOpen(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_client->isDoorOpen(), Wait);
    QCOMPARE(log.lines(QtInfoMsg, QStringLiteral("[Dispenser] ")),
             QStringList(
                 {"[Dispenser] Jammed changed : true", "[Dispenser] Door state changed : Open"}));
    m_service->setDoorOpen(false);
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->isDoorOpen(), Wait);
    QCOMPARE(log.count(QtInfoMsg, "[Dispenser] Door state changed : Closed"), 1);

    QCOMPARE(jammed.count(), 1);
    QCOMPARE(door.count(), 2);
    QCOMPARE(rfid.count(), 1);
    QCOMPARE(mouth.count(), 0);
    QVERIFY(m_client->active());
}

void TestDispenser::serviceDownKeepsTheSensorFlags()
{
    startService();
    m_service->setJammed(true);
    QVERIFY(m_service->placeCardAtRfid());
    QTRY_VERIFY_WITH_TIMEOUT(m_client->isJammed() && m_client->cardInRfid(), Wait);

    QSignalSpy active(m_client.get(), &Dispenser::activeChanged);
    QSignalSpy jammed(m_client.get(), &Dispenser::isJammedChanged);
    QSignalSpy rfid(m_client.get(), &Dispenser::cardInRfidChanged);
    LogCapture log;
    m_service->setOnline(false);
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->active(), Wait);
    QCOMPARE(active.count(), 1);
    QCOMPARE(log.lines(QtInfoMsg, "[Dispenser] "),
             QStringList {"[Dispenser] Active changed : false"});

    // Nothing else moves, not even later: the flags are the last ones known.
    QVERIFY(subscriptionsSettled());
    QVERIFY(m_client->isJammed());
    QVERIFY(m_client->cardInRfid());
    QCOMPARE(jammed.count(), 0);
    QCOMPARE(rfid.count(), 0);

    // A missing "service" counts as down as well.
    m_service->setOnline(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_client->active(), Wait);
    QVERIFY(m_raw->publish(m_base + "/status", QJsonObject {{"device", QJsonObject {}}}));
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->active(), Wait);
    QVERIFY(m_client->isJammed());
}

void TestDispenser::statusWithoutDeviceClearsEveryFlag()
{
    startService();
    m_service->setJammed(true);
    m_service->setDoorOpen(true);
    QVERIFY(m_service->placeCardAtRfid());
    QTRY_VERIFY_WITH_TIMEOUT(m_client->isDoorOpen() && m_client->cardInRfid(), Wait);

    QVERIFY(m_raw->publish(m_base + "/status", QJsonObject {{"service", true}}));
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->cardInRfid(), Wait);
    QVERIFY(!m_client->active());
    QVERIFY(!m_client->isJammed());
    QVERIFY(!m_client->isDoorOpen());
    QVERIFY(!m_client->cardInMouth());
}

void TestDispenser::repeatedStatusEmitsNothing()
{
    const QJsonObject status {
        {"service", true},
        {"device", QJsonObject {{"active", true}, {"isJammed", true}, {"cardInMouth", true}}},
    };
    QSignalSpy active(m_client.get(), &Dispenser::activeChanged);
    QSignalSpy jammed(m_client.get(), &Dispenser::isJammedChanged);
    QSignalSpy mouth(m_client.get(), &Dispenser::cardInMouthChanged);
    QSignalSpy door(m_client.get(), &Dispenser::isDoorOpenChanged);
    QSignalSpy rfid(m_client.get(), &Dispenser::cardInRfidChanged);

    QVERIFY(m_raw->publish(m_base + "/status", status));
    QTRY_VERIFY_WITH_TIMEOUT(m_client->cardInMouth(), Wait);
    QVERIFY(m_raw->publish(m_base + "/status", status));
    QVERIFY(m_raw->publish(m_base + "/status", status));
    QVERIFY(subscriptionsSettled());
    // The raw peer's messages are in order: a marker after them proves they all arrived.
    QSignalSpy inserted(m_client.get(), &Dispenser::cardAccepted);
    QVERIFY(m_raw->publish(m_base + "/card/inserted", QByteArray()));
    QTRY_COMPARE_WITH_TIMEOUT(inserted.count(), 1, Wait);

    QCOMPARE(active.count(), 1);
    QCOMPARE(jammed.count(), 1);
    QCOMPARE(mouth.count(), 1);
    QCOMPARE(door.count(), 0);
    QCOMPARE(rfid.count(), 0);
}

void TestDispenser::cardEventsAreSignalled()
{
    QSignalSpy accepted(m_client.get(), &Dispenser::cardAccepted);
    QSignalSpy removed(m_client.get(), &Dispenser::cardRemoved);
    QSignalSpy disposed(m_client.get(), &Dispenser::cardDisposed);
    startService();
    m_service->setTakeDelay(DispenserService::NeverTaken);

    // Out of the cartridge, to the mouth, back in, into the bin; then out again
    // and taken by the user.
    auto step = [](Deferred<Dispenser::Result> request) {
        auto outcome = Outcome::of(request);
        return outcome->wait(Wait) && outcome->resolved();
    };
    QVERIFY(step(m_client->issue()));
    QVERIFY(step(m_client->eject()));
    QVERIFY(step(m_client->accept()));
    QTRY_COMPARE_WITH_TIMEOUT(accepted.count(), 1, Wait);
    QVERIFY(step(m_client->dispose()));
    QTRY_COMPARE_WITH_TIMEOUT(disposed.count(), 1, Wait);
    QVERIFY(step(m_client->issue()));
    QVERIFY(step(m_client->eject()));
    QTRY_VERIFY_WITH_TIMEOUT(m_client->cardInMouth(), Wait);
    QVERIFY(m_service->takeCard());
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, Wait);
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->cardInMouth(), Wait);

    QCOMPARE(accepted.count(), 1);
    QCOMPARE(disposed.count(), 1);
    QCOMPARE(m_service->cardsInCartridge(), 98);
}

void TestDispenser::topicsOutsideTheBaseAreIgnored()
{
    QSignalSpy removed(m_client.get(), &Dispenser::cardRemoved);
    LogCapture log;
    // The same suffix under another base is not ours, and not even parsed.
    const QString elsewhere = QStringLiteral("test/elsewhere%1").arg(m_serial);
    auto other = std::make_unique<Dispenser>(*m_mqtt, elsewhere);
    QVERIFY(subscriptionsSettled());
    QVERIFY(m_raw->publish(elsewhere + "/card/removed", QByteArray("not json")));
    QSignalSpy otherRemoved(other.get(), &Dispenser::cardRemoved);
    QVERIFY(m_raw->publish(elsewhere + "/card/removed", QByteArray()));
    QTRY_COMPARE_WITH_TIMEOUT(otherRemoved.count(), 1, Wait);
    QCOMPARE(removed.count(), 0);
    // Only the client of that base complained about the garbage.
    QCOMPARE(log.lines(QtCriticalMsg),
             QStringList {"[Dispenser] ERROR: Failed to parse JSON message (topic=" + elsewhere
                          + "/card/removed) :not json )"});
}

void TestDispenser::operationsAskTheirMethods()
{
    startService();
    // Every answer is scripted: the methods' own effects are not the point here.
    const QStringList methods {"/accept",  "/issue",         "/dispose",       "/eject",
                               "/collect", "/accept/enable", "/accept/disable"};
    for (const QString& method : methods)
        m_service->setReply(method, QJsonObject {{"completed", true}});

    const QList<Deferred<Dispenser::Result>> requests {
        m_client->accept(),  m_client->issue(),        m_client->dispose(),       m_client->eject(),
        m_client->collect(), m_client->enableAccept(), m_client->disableAccept(),
    };
    for (const auto& request : requests) {
        auto outcome = Outcome::of(request);
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled(), Wait);
        QVERIFY(outcome->resolved());
        QCOMPARE(outcome->value.code, 0);
        QCOMPARE(outcome->value.error, QString());
    }
    QCOMPARE(m_service->requestedMethods(), methods);
    for (const auto& request : m_service->requests()) {
        QVERIFY(request.valid);
        QCOMPARE(request.params, QJsonObject());
    }
}

void TestDispenser::requestIdsCountFromOneAndNeverReset()
{
    startService();
    for (int i = 0; i < 5; ++i) {
        auto outcome = Outcome::of(i % 2 ? m_client->collect() : m_client->enableAccept());
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled(), Wait);
    }
    // A client of its own counts on its own.
    Dispenser second(*m_mqtt, m_base);
    auto outcome = Outcome::of(second.enableAccept());
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled(), Wait);

    QStringList ids;
    for (const auto& request : m_service->requests())
        ids.append(request.id);
    QCOMPARE(ids, QStringList({"1", "2", "3", "4", "5", "1"}));
}

void TestDispenser::refusalCarriesTheServiceCodeAndText_data()
{
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("error");

    QTest::newRow("refused")
        << QJsonObject {{"completed", false},
                        {"error", QJsonObject {{"code", 4}, {"description", "Cartridge empty"}}}}
        << 4 << "Cartridge empty";
    QTest::newRow("no completed, no error") << QJsonObject {} << 0 << "";
    QTest::newRow("error without completed")
        << QJsonObject {{"error", QJsonObject {{"code", 3}, {"description", "Dispenser jammed"}}}}
        << 3 << "Dispenser jammed";
    QTest::newRow("completed as text") << QJsonObject {{"completed", "true"}} << 0 << "";
    QTest::newRow("error not an object")
        << QJsonObject {{"completed", false}, {"error", "broken"}} << 0 << "";
    QTest::newRow("code as text")
        << QJsonObject {{"completed", false},
                        {"error", QJsonObject {{"code", "7"}, {"description", "Busy"}}}}
        << 0 << "Busy";
}

void TestDispenser::refusalCarriesTheServiceCodeAndText()
{
    QFETCH(QJsonObject, reply);
    QFETCH(int, code);
    QFETCH(QString, error);

    startService();
    m_service->setReply("/issue", reply);
    auto outcome = Outcome::of(m_client->issue());
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled(), Wait);
    QVERIFY(outcome->rejected());
    QCOMPARE(outcome->value.code, code);
    QCOMPARE(outcome->value.error, error);
    QCOMPARE(outcome->calls(), 1);
}

void TestDispenser::transportFailureHasCodeMinusOne()
{
    // A response that is no JSON object at all.
    startService();
    TestPeer broken(m_broker);
    QVERIFY(broken.connectToBroker());
    m_service->setOnline(false);
    QVERIFY(broken.respondRaw(m_base + "/eject/request/+", [](const QString&, const QByteArray&) {
        return QList<QByteArray> {"[1, 2]"};
    }));
    auto invalid = Outcome::of(m_client->eject());
    QTRY_VERIFY_WITH_TIMEOUT(invalid->settled(), Wait);
    QVERIFY(invalid->rejected());
    QCOMPARE(invalid->value.code, -1);
    QCOMPARE(invalid->value.error, QStringLiteral("Invalid response"));

    // No broker connection at all: refused at once.
    manager::MqttClient offline;
    Dispenser lonely(offline, m_base);
    auto notConnected = Outcome::of(lonely.issue());
    QVERIFY(notConnected->rejected());
    QCOMPARE(notConnected->value.code, -1);
    QCOMPARE(notConnected->value.error, QStringLiteral("Not connected"));
    auto waitNotConnected = Outcome::of(lonely.waitCollect(5));
    QVERIFY(waitNotConnected->rejected());
    QCOMPARE(waitNotConnected->value.code, -1);
    QCOMPARE(waitNotConnected->value.error, QStringLiteral("Not connected"));
}

void TestDispenser::waitCollectResolvesOnCardRemoved()
{
    startService();
    m_service->setTakeDelay(DispenserService::NeverTaken);
    QVERIFY(m_service->placeCardAtRfid());
    auto ejected = Outcome::of(m_client->eject());
    QTRY_VERIFY_WITH_TIMEOUT(ejected->resolved(), Wait);

    QSignalSpy removed(m_client.get(), &Dispenser::cardRemoved);
    auto collected = Outcome::of(m_client->waitCollect(60));
    QVERIFY(subscriptionsSettled());
    QVERIFY(!collected->settled());
    QVERIFY(m_service->takeCard());
    QTRY_VERIFY_WITH_TIMEOUT(collected->settled(), Wait);
    QVERIFY(collected->resolved());
    QCOMPARE(collected->value.code, 0);
    QCOMPARE(collected->value.error, QString());
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, Wait);

    // The wait is over, the signal goes on: exactly once per event.
    QVERIFY(m_raw->publish(m_base + "/card/removed", QByteArray()));
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 2, Wait);
    QVERIFY(subscriptionsSettled());
    QCOMPARE(removed.count(), 2);
    QCOMPARE(collected->calls(), 1);
}

void TestDispenser::waitCollectTimesOut()
{
    startService();
    auto collected = Outcome::of(m_client->waitCollect(1));
    QTRY_VERIFY_WITH_TIMEOUT(collected->settled(), Wait);
    QVERIFY(collected->rejected());
    QCOMPARE(collected->value.code, -1);
    QCOMPARE(collected->value.error, QStringLiteral("Timeout"));

    // The client's own subscription to the event outlives the wait.
    QSignalSpy removed(m_client.get(), &Dispenser::cardRemoved);
    QVERIFY(m_raw->publish(m_base + "/card/removed", QByteArray()));
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, Wait);
}

void TestDispenser::waitCollectZeroWaitsWithoutLimit()
{
    startService();
    auto collected = Outcome::of(m_client->waitCollect(0));
    auto negative = Outcome::of(m_client->waitCollect(-5));
    // Longer than any finite wait a slow machine could round a short limit to.
    QTest::qWait(1500);
    QVERIFY(!collected->settled());
    QVERIFY(!negative->settled());
    QVERIFY(m_raw->publish(m_base + "/card/removed", QByteArray()));
    QTRY_VERIFY_WITH_TIMEOUT(collected->settled(), Wait);
    QVERIFY(collected->resolved());
    QTRY_VERIFY_WITH_TIMEOUT(negative->resolved(), Wait);
}

void TestDispenser::setLedsPublishesOneFlagPerLamp()
{
    startService();
    TestPeer watcher(m_broker);
    QVERIFY(watcher.connectToBroker());
    QVERIFY(watcher.subscribe(m_base + "/led/set"));

    QVERIFY(m_client->setLEDs(Dispenser::Red));
    QVERIFY(watcher.waitForMessages(m_base + "/led/set", 1));
    QVERIFY(m_client->setLEDs(Dispenser::Red | Dispenser::Green));
    QVERIFY(watcher.waitForMessages(m_base + "/led/set", 2));
    QVERIFY(m_client->setLEDs(Dispenser::Off));
    QVERIFY(watcher.waitForMessages(m_base + "/led/set", 3));

    const auto messages = watcher.messages(m_base + "/led/set");
    QCOMPARE(messages.at(0).json(), QJsonObject({{"red", true}, {"green", false}}));
    QCOMPARE(messages.at(1).json(), QJsonObject({{"red", true}, {"green", true}}));
    QCOMPARE(messages.at(2).json(), QJsonObject({{"red", false}, {"green", false}}));
    // Commands go out as indented JSON.
    QVERIFY(messages.at(0).payload.contains('\n'));
    QTRY_COMPARE_WITH_TIMEOUT(m_service->leds(), QJsonObject({{"red", false}, {"green", false}}),
                              Wait);

    manager::MqttClient offline;
    Dispenser lonely(offline, m_base);
    QVERIFY(!lonely.setLEDs(Dispenser::Green));
}

void TestDispenser::garbagePayloadsAreLoggedAndDropped()
{
    startService();
    QVERIFY(m_service->placeCardAtRfid());
    QTRY_VERIFY_WITH_TIMEOUT(m_client->cardInRfid(), Wait);
    QSignalSpy active(m_client.get(), &Dispenser::activeChanged);
    QSignalSpy rfid(m_client.get(), &Dispenser::cardInRfidChanged);
    QSignalSpy model(m_client.get(), &Dispenser::modelChanged);
    LogCapture log;

    const QString status = m_base + "/status";
    QVERIFY(m_raw->publish(status, QByteArray("not json")));
    QVERIFY(m_raw->publish(status, QByteArray("{\"service\": tru")));
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 37 + 11) % 256));
    QVERIFY(m_raw->publish(status, binary));
    QVERIFY(m_raw->publish(m_base + "/info", QByteArray("\xff\xfe{")));
    // The payload of an event is not read, but it is parsed: garbage is no event.
    QSignalSpy accepted(m_client.get(), &Dispenser::cardAccepted);
    QVERIFY(m_raw->publish(m_base + "/card/inserted", QByteArray("ignored payload")));
    // Unknown topic under the base (it arrives here through a wider subscription
    // of the shared connection): parsed, complained about, ignored.
    m_mqtt->subscribe(m_base + "/#");
    QVERIFY(subscriptionsSettled());
    QVERIFY(m_raw->publish(m_base + "/unknown", QByteArray("<xml/>")));

    // A marker after the garbage: everything before it has been handled.
    QVERIFY(m_raw->publish(m_base + "/card/inserted", QByteArray()));
    QTRY_COMPARE_WITH_TIMEOUT(accepted.count(), 1, Wait);

    const QStringList errors = log.lines(QtCriticalMsg, "[Dispenser] ");
    QCOMPARE(errors.size(), 6);
    QCOMPARE(errors.at(0),
             "[Dispenser] ERROR: Failed to parse JSON message (topic=" + status + ") :not json )");
    QCOMPARE(errors.at(4), "[Dispenser] ERROR: Failed to parse JSON message (topic=" + m_base
                               + "/card/inserted) :ignored payload )");
    QCOMPARE(errors.at(5), "[Dispenser] ERROR: Failed to parse JSON message (topic=" + m_base
                               + "/unknown) :<xml/> )");
    QVERIFY(m_client->active());
    QVERIFY(m_client->cardInRfid());
    QCOMPARE(active.count(), 0);
    QCOMPARE(rfid.count(), 0);
    QCOMPARE(model.count(), 0);

    // Text up to a NUL byte counts; NUL padding is no error. An empty payload
    // reads as an empty object, and valid JSON that is no object as well: the
    // service then counts as down.
    log.clear();
    QByteArray padded
        = QJsonDocument(QJsonObject {{"service", true}, {"device", QJsonObject {{"active", true}}}})
              .toJson(QJsonDocument::Compact);
    padded.append('\0');
    padded.append("trailing garbage");
    QVERIFY(m_raw->publish(status, padded));
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->cardInRfid(), Wait);
    QVERIFY(m_client->active());
    QVERIFY(m_raw->publish(status, QByteArray()));
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->active(), Wait);
    m_service->publishStatus();
    QTRY_VERIFY_WITH_TIMEOUT(m_client->active(), Wait);
    QVERIFY(m_raw->publish(status, QByteArray("[true]")));
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->active(), Wait);
    QCOMPARE(log.lines(QtCriticalMsg).size(), 0);
}

QTEST_GUILESS_MAIN(TestDispenser)
#include "tst_dispenser.moc"
