#include "DispenserService.h"
#include "MessageCapture.h"
#include "RfidService.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
constexpr int Wait = 10000;
}

// The simulated dispenser and reader services as a client sees them on the
// broker: a TestPeer sends the requests and records the answers and events.
class TestSimulatedServices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void publishesInfoAndStatusOnConnectionAndOnRequest();
    void answersRequestsOnTheResponseTopic();
    void malformedRequestsAreRefusedNotFatal();
    void scriptedRepliesAndDelays();
    void offlineAnswersNothing();
    void comesBackAfterABrokerRestart();

    void dispenserMovesCardsThroughItsPositions();
    void dispenserFaultsRefuseMovements();
    void readerFindsTheCardTheDispenserBrings();
    void readerKeepsTheContentPerCard();
    void readerObeysPlainEnableAndDisable();

private:
    // Sends a request and returns the answer (empty when none came).
    QJsonObject call(const QString& base, const QString& method, const QByteArray& payload = "{}");

    TestBroker m_broker;
    std::unique_ptr<TestPeer> m_client;
    std::unique_ptr<DispenserService> m_dispenser;
    std::unique_ptr<RfidService> m_reader;
    QString m_prefix;
    int m_serial = 0;
    int m_id = 0;
};

void TestSimulatedServices::initTestCase()
{
    QVERIFY(m_broker.start());
}

void TestSimulatedServices::init()
{
    m_prefix = QStringLiteral("sim%1").arg(++m_serial);
    m_client = std::make_unique<TestPeer>(m_broker);
    QVERIFY(m_client->connectToBroker());
    QVERIFY(m_client->subscribe(m_prefix + "/#", 1));
    m_dispenser = std::make_unique<DispenserService>(m_prefix + "/dispenser");
    m_reader = std::make_unique<RfidService>(m_prefix + "/rfid");
    m_reader->linkDispenser(m_dispenser.get());
    m_dispenser->connectToBroker(m_broker.host(), m_broker.port());
    m_reader->connectToBroker(m_broker.host(), m_broker.port());
    QTRY_VERIFY_WITH_TIMEOUT(m_dispenser->isConnected() && m_reader->isConnected(), Wait);
}

void TestSimulatedServices::cleanup()
{
    m_reader.reset();
    m_dispenser.reset();
    m_client.reset();
}

QJsonObject TestSimulatedServices::call(const QString& base, const QString& method,
                                        const QByteArray& payload)
{
    const QString id = QString::number(++m_id);
    const QString response = base + method + "/response/" + id;
    if (!m_client->publish(base + method + "/request/" + id, payload, 1))
        return {};
    if (!m_client->waitForMessages(response, 1, Wait))
        return {};
    return m_client->last(response).json();
}

void TestSimulatedServices::publishesInfoAndStatusOnConnectionAndOnRequest()
{
    const QString base = m_dispenser->baseTopic();
    QTRY_VERIFY_WITH_TIMEOUT(m_client->count(base + "/status") >= 1, Wait);
    QCOMPARE(m_client->last(base + "/info").json().value("service").toObject().value("version"),
             QJsonValue("1.0.0"));
    const QJsonObject status = m_client->last(base + "/status").json();
    QCOMPARE(status.value("service"), QJsonValue(true));
    QCOMPARE(status.value("device").toObject().value("active"), QJsonValue(true));

    const int before = m_client->count(base + "/status");
    QVERIFY(m_client->publish(base + "/status/get", QByteArray()));
    QVERIFY(m_client->waitForMessages(base + "/status", before + 1));
    QVERIFY(m_client->publish(base + "/info/get", QByteArray("garbage")));
    QVERIFY(m_client->waitForMessages(base + "/info", 2));

    // Retained: a late subscriber learns the state at once.
    TestPeer late(m_broker);
    QVERIFY(late.connectToBroker());
    QVERIFY(late.subscribe(m_reader->baseTopic() + "/status"));
    QVERIFY(late.waitForMessages(m_reader->baseTopic() + "/status"));
    QCOMPARE(late.last().json().value("device").toObject().value("state"), QJsonValue(1));
}

void TestSimulatedServices::answersRequestsOnTheResponseTopic()
{
    QSignalSpy received(m_dispenser.get(), &SimulatedService::requestReceived);
    const QJsonObject reply = call(m_dispenser->baseTopic(), "/accept/enable");
    QCOMPARE(reply, QJsonObject({{"completed", true}}));
    QCOMPARE(received.count(), 1);
    QCOMPARE(m_dispenser->requestedMethods(), QStringList {"/accept/enable"});
    QCOMPARE(m_dispenser->requests().first().id, QString::number(m_id));
    QVERIFY(m_dispenser->acceptEnabled());

    const QJsonObject unknown = call(m_dispenser->baseTopic(), "/fly");
    QCOMPARE(unknown.value("completed"), QJsonValue(false));
    QCOMPARE(unknown.value("error").toObject().value("description").toString(),
             QStringLiteral("Unknown method /fly"));
    const QJsonObject unknownRfid = call(m_reader->baseTopic(), "/card/format");
    QCOMPARE(unknownRfid.value("error").toObject().value("what").toString(),
             QStringLiteral("Unknown method /card/format"));
}

void TestSimulatedServices::malformedRequestsAreRefusedNotFatal()
{
    MessageCapture log;
    const QString base = m_reader->baseTopic();
    for (const QByteArray& payload :
         {QByteArray("not json"), QByteArray("[1,2]"), QByteArray("\xff\x00\x01", 3)}) {
        const QJsonObject reply = call(base, "/enable", payload);
        QCOMPARE(reply.value("completed"), QJsonValue(false));
        QCOMPARE(reply.value("error").toObject().value("what").toString(),
                 QStringLiteral("Malformed request"));
    }
    QVERIFY(!m_reader->fieldOn());
    QCOMPARE(m_reader->requests().size(), 3);
    QVERIFY(!m_reader->requests().first().valid);

    // Topics that only look like requests are ignored.
    QVERIFY(m_client->publish(base + "/enable/request/", QByteArray("{}")));
    QVERIFY(m_client->publish(base + "/request/5", QByteArray("{}")));
    // Wrong types in the parameters are read as missing.
    const QJsonObject write = call(base, "/card/write", "{\"uid\": 5, \"data\": []}");
    QCOMPARE(write.value("completed"), QJsonValue(false));
    QCOMPARE(call(base, "/enable", "{\"autoread\": \"yes\"}").value("completed"), QJsonValue(true));
    QVERIFY(m_reader->fieldOn());
    QVERIFY(!m_reader->autoread());
    QVERIFY(log.messages(QtWarningMsg).size() >= 3);
}

void TestSimulatedServices::scriptedRepliesAndDelays()
{
    const QString base = m_dispenser->baseTopic();
    m_dispenser->setReply("/issue", QJsonObject {{"anything", 1}});
    QCOMPARE(call(base, "/issue"), QJsonObject({{"anything", 1}}));
    // The scripted answer comes without the method's effect.
    QVERIFY(!m_dispenser->cardAtRfid());
    m_dispenser->clearReply("/issue");
    QCOMPARE(call(base, "/issue").value("completed"), QJsonValue(true));
    QVERIFY(m_dispenser->cardAtRfid());

    // A delayed answer: the request is recorded at once, the effect comes with the answer.
    m_dispenser->setDelay("/eject", 300);
    QCOMPARE(m_dispenser->delay("/eject"), 300);
    QCOMPARE(m_dispenser->delay("/issue"), 0);
    m_dispenser->setTakeDelay(DispenserService::NeverTaken);
    const QString id = QString::number(++m_id);
    QVERIFY(m_client->publish(base + "/eject/request/" + id, QByteArray("{}"), 1));
    QTRY_COMPARE_WITH_TIMEOUT(m_dispenser->requests().size(), 3, Wait);
    QVERIFY(m_dispenser->cardAtRfid());
    QVERIFY(m_client->waitForMessages(base + "/eject/response/" + id));
    QVERIFY(m_dispenser->cardInMouth());
}

void TestSimulatedServices::offlineAnswersNothing()
{
    const QString base = m_dispenser->baseTopic();
    m_dispenser->setDelay("/issue", 200);
    const QString id = QString::number(++m_id);
    QVERIFY(m_client->publish(base + "/issue/request/" + id, QByteArray("{}"), 1));
    QTRY_COMPARE_WITH_TIMEOUT(m_dispenser->requests().size(), 1, Wait);
    // Going offline while the answer is due: it never comes.
    m_dispenser->setOnline(false);
    QTRY_COMPARE_WITH_TIMEOUT(m_client->last(base + "/status").json(),
                              QJsonObject({{"service", false}}), Wait);
    QVERIFY(m_client->publish(base + "/collect/request/99", QByteArray("{}"), 1));
    QTRY_COMPARE_WITH_TIMEOUT(m_dispenser->requests().size(), 2, Wait);
    QTest::qWait(400);
    QCOMPARE(m_client->count(base + "/+/response/+"), 0);
    QVERIFY(!m_dispenser->cardAtRfid());

    m_dispenser->setOnline(true);
    QTRY_COMPARE_WITH_TIMEOUT(m_client->last(base + "/status").json().value("service"),
                              QJsonValue(true), Wait);
    QCOMPARE(call(base, "/accept/enable").value("completed"), QJsonValue(true));
}

void TestSimulatedServices::comesBackAfterABrokerRestart()
{
    TestBroker broker;
    QVERIFY(broker.start());
    DispenserService service(QStringLiteral("restart/dispenser"));
    QSignalSpy connected(&service, &SimulatedService::connectedChanged);
    service.connectToBroker(broker.host(), broker.port());
    QTRY_VERIFY_WITH_TIMEOUT(service.isConnected(), Wait);
    broker.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!service.isConnected(), Wait);
    QVERIFY(broker.restart());
    QTRY_VERIFY_WITH_TIMEOUT(service.isConnected(), Wait);
    QCOMPARE(connected.count(), 3);

    // It republished its state and answers again.
    TestPeer client(broker);
    QVERIFY(client.connectToBroker());
    QVERIFY(client.subscribe("restart/#", 1));
    QVERIFY(client.waitForMessages("restart/dispenser/status"));
    QVERIFY(client.publish("restart/dispenser/issue/request/1", QByteArray("{}"), 1));
    QVERIFY(client.waitForMessages("restart/dispenser/issue/response/1"));
    QCOMPARE(client.last("restart/dispenser/issue/response/1").json().value("completed"),
             QJsonValue(true));
}

void TestSimulatedServices::dispenserMovesCardsThroughItsPositions()
{
    const QString base = m_dispenser->baseTopic();
    m_dispenser->setCardsInCartridge(2);
    m_dispenser->setTakeDelay(DispenserService::NeverTaken);
    QCOMPARE(call(base, "/eject").value("error").toObject().value("code"), QJsonValue(5));
    QCOMPARE(call(base, "/issue").value("completed"), QJsonValue(true));
    QCOMPARE(call(base, "/issue").value("error").toObject().value("code"), QJsonValue(7));
    QCOMPARE(call(base, "/eject").value("completed"), QJsonValue(true));
    QVERIFY(m_dispenser->cardInMouth());
    QCOMPARE(call(base, "/accept").value("completed"), QJsonValue(true));
    QVERIFY(m_client->waitForMessages(base + "/card/inserted"));
    QCOMPARE(call(base, "/dispose").value("completed"), QJsonValue(true));
    QVERIFY(m_client->waitForMessages(base + "/card/disposed"));
    QCOMPARE(call(base, "/issue").value("completed"), QJsonValue(true));
    QCOMPARE(m_dispenser->cardsInCartridge(), 0);
    QCOMPARE(call(base, "/eject").value("completed"), QJsonValue(true));
    QVERIFY(m_dispenser->takeCard());
    QVERIFY(!m_dispenser->takeCard());
    QVERIFY(m_client->waitForMessages(base + "/card/removed"));
    // The cartridge is empty now.
    const QJsonObject empty = call(base, "/issue");
    QCOMPARE(empty.value("error").toObject().value("code"), QJsonValue(4));
    QCOMPARE(empty.value("error").toObject().value("description"), QJsonValue("Cartridge empty"));
    QCOMPARE(m_dispenser->issuedCount(), 2);
    QCOMPARE(m_dispenser->disposedCount(), 1);
    QCOMPARE(m_dispenser->takenCount(), 1);

    // A card taken after a while, by itself.
    m_dispenser->setCardsInCartridge(1);
    m_dispenser->setTakeDelay(100);
    QCOMPARE(call(base, "/issue").value("completed"), QJsonValue(true));
    QCOMPARE(call(base, "/eject").value("completed"), QJsonValue(true));
    QTRY_COMPARE_WITH_TIMEOUT(m_dispenser->takenCount(), 2, Wait);

    // Lamps.
    QVERIFY(m_client->publish(base + "/led/set", QByteArray("{\"red\": true}")));
    QTRY_COMPARE_WITH_TIMEOUT(m_dispenser->leds(), QJsonObject({{"red", true}, {"green", false}}),
                              Wait);
    QVERIFY(m_client->publish(base + "/led/set", QByteArray("][")));
    QVERIFY(m_client->publish(base + "/led/set", QByteArray("{\"green\": 1}")));
    QVERIFY(m_client->publish(base + "/led/set", QByteArray("{\"green\": true}")));
    QTRY_COMPARE_WITH_TIMEOUT(m_dispenser->leds(), QJsonObject({{"red", true}, {"green", true}}),
                              Wait);
}

void TestSimulatedServices::dispenserFaultsRefuseMovements()
{
    const QString base = m_dispenser->baseTopic();
    m_dispenser->setJammed(true);
    QCOMPARE(call(base, "/issue").value("error").toObject().value("code"), QJsonValue(3));
    m_dispenser->setJammed(false);
    m_dispenser->setDoorOpen(true);
    QCOMPARE(call(base, "/issue").value("error").toObject().value("code"), QJsonValue(2));
    QTRY_COMPARE_WITH_TIMEOUT(m_client->last(base + "/status")
                                  .json()
                                  .value("device")
                                  .toObject()
                                  .value("isCartridgeDoorOpen"),
                              QJsonValue(true), Wait);
    m_dispenser->setDoorOpen(false);
    m_dispenser->setActive(false);
    QCOMPARE(call(base, "/issue").value("error").toObject().value("code"), QJsonValue(1));
    m_dispenser->setActive(true);
    QCOMPARE(call(base, "/issue").value("completed"), QJsonValue(true));
}

void TestSimulatedServices::readerFindsTheCardTheDispenserBrings()
{
    const QString rfid = m_reader->baseTopic();
    QCOMPARE(call(rfid, "/enable").value("completed"), QJsonValue(true));
    QCOMPARE(m_reader->state(), int(RfidService::Searching));
    QCOMPARE(call(m_dispenser->baseTopic(), "/issue").value("completed"), QJsonValue(true));
    QVERIFY(m_client->waitForMessages(rfid + "/card/found"));
    QCOMPARE(m_client->last(rfid + "/card/found").json().value("uid").toString(),
             m_dispenser->cardAtRfidUid());
    QTRY_COMPARE_WITH_TIMEOUT(m_reader->state(), int(RfidService::CardFound), Wait);
    // Found only after the answer that switched the field on.
    const auto messages = m_client->messages(rfid + "/#");
    int answer = -1, found = -1;
    for (int i = 0; i < messages.size(); ++i) {
        if (messages.at(i).topic.startsWith(rfid + "/enable/response/"))
            answer = i;
        if (messages.at(i).topic == rfid + "/card/found")
            found = i;
    }
    QVERIFY(answer >= 0 && found > answer);

    QCOMPARE(call(m_dispenser->baseTopic(), "/dispose").value("completed"), QJsonValue(true));
    QVERIFY(m_client->waitForMessages(rfid + "/card/removed"));
    QCOMPARE(m_reader->state(), int(RfidService::Searching));
    QCOMPARE(call(rfid, "/disable").value("completed"), QJsonValue(true));
    QCOMPARE(m_reader->state(), int(RfidService::Idle));

    // Faults.
    m_reader->setUpdating(true);
    QCOMPARE(call(rfid, "/enable").value("error").toObject().value("what"),
             QJsonValue("Reader not available"));
    m_reader->setUpdating(false);
    m_reader->setFault("Antenna broken");
    QTRY_COMPARE_WITH_TIMEOUT(
        m_client->last(rfid + "/status").json().value("device").toObject().value("error"),
        QJsonValue("Antenna broken"), Wait);
    QCOMPARE(m_reader->state(), int(RfidService::Error));
    m_reader->setFault(QString());
    QCOMPARE(m_reader->state(), int(RfidService::Idle));
}

void TestSimulatedServices::readerKeepsTheContentPerCard()
{
    const QString rfid = m_reader->baseTopic();
    m_reader->placeCard("04AA");
    QCOMPARE(call(rfid, "/card/create", "{\"template\":\"KVRTv1\"}").value("error"),
             QJsonValue(QJsonObject {{"what", "RF is disabled"}}));
    QCOMPARE(call(rfid, "/enable").value("completed"), QJsonValue(true));
    QTRY_COMPARE_WITH_TIMEOUT(m_reader->state(), int(RfidService::CardFound), Wait);
    QCOMPARE(call(rfid, "/card/write", "{\"template\":\"KVRTv1\",\"data\":{}}").value("error"),
             QJsonValue(QJsonObject {{"what", "Card not created"}}));
    QCOMPARE(call(rfid, "/card/create", "{\"template\":\"Other\"}").value("error"),
             QJsonValue(QJsonObject {{"what", "Unknown template Other"}}));
    const QJsonObject created = call(rfid, "/card/create", "{\"template\":\"KVRTv1\"}");
    QCOMPARE(created.value("data").toObject().value("uid"), QJsonValue("04AA"));

    auto write = [&](int n) {
        const QJsonObject data {
            {"info", QJsonObject {{"version", 0}, {"customsId", 1}, {"status", "active"}}},
            {"usageCounter", n},
            {"usageLog", QJsonArray {QJsonObject {{"type", "entry"}, {"usageCounter", n}}}},
        };
        const QJsonObject card {{"uid", ""}, {"type", 0}, {"template", "KVRTv1"}, {"data", data}};
        return call(rfid, "/card/write", QJsonDocument(card).toJson());
    };
    QCOMPARE(write(1).value("completed"), QJsonValue(true));
    m_reader->failNextWrite("Tag lost");
    QCOMPARE(write(2).value("error"), QJsonValue(QJsonObject {{"what", "Tag lost"}}));
    QCOMPARE(write(3).value("completed"), QJsonValue(true));
    // New entries are added to those on the card.
    const QJsonObject all = call(rfid, "/card/read", "{\"template\":\"KVRTv1\"}");
    QCOMPARE(
        all.value("data").toObject().value("data").toObject().value("usageLog").toArray().size(),
        2);
    const QJsonObject last = call(rfid, "/card/read", "{\"template\":\"KVRTv1\",\"usageLogs\":1}");
    const QJsonArray lastLog
        = last.value("data").toObject().value("data").toObject().value("usageLog").toArray();
    QCOMPARE(lastLog.size(), 1);
    QCOMPARE(lastLog.at(0).toObject().value("usageCounter"), QJsonValue(3));

    // Another card knows nothing of it; the first one keeps it.
    m_reader->placeCard("04BB");
    QVERIFY(m_client->waitForMessages(rfid + "/card/removed"));
    QTRY_COMPARE_WITH_TIMEOUT(m_reader->state(), int(RfidService::CardFound), Wait);
    QCOMPARE(call(rfid, "/card/read", "{\"template\":\"KVRTv1\"}").value("error"),
             QJsonValue(QJsonObject {{"what", "Card not created"}}));
    QCOMPARE(m_reader->cardContent("04AA").value("template"), QJsonValue("KVRTv1"));

    // Autoread publishes what the card holds.
    QCOMPARE(call(rfid, "/disable").value("completed"), QJsonValue(true));
    m_reader->placeCard("04AA");
    QCOMPARE(call(rfid, "/enable", "{\"autoread\":true}").value("completed"), QJsonValue(true));
    QVERIFY(m_client->waitForMessages(rfid + "/card/autoread"));
    QCOMPARE(m_client->last(rfid + "/card/autoread").json().value("uid"), QJsonValue("04AA"));
}

void TestSimulatedServices::readerObeysPlainEnableAndDisable()
{
    const QString rfid = m_reader->baseTopic();
    QVERIFY(m_client->publish(rfid + "/enable", QByteArray("{\"autoread\": true}")));
    QTRY_VERIFY_WITH_TIMEOUT(m_reader->fieldOn(), Wait);
    QVERIFY(m_reader->autoread());
    QVERIFY(m_client->publish(rfid + "/disable", QByteArray()));
    QTRY_VERIFY_WITH_TIMEOUT(!m_reader->fieldOn(), Wait);
    QVERIFY(m_client->publish(rfid + "/enable", QByteArray("garbage")));
    QTRY_VERIFY_WITH_TIMEOUT(m_reader->fieldOn(), Wait);
    QVERIFY(!m_reader->autoread());
    // No answers to plain publications.
    QVERIFY(m_client->publish(rfid + "/beep/valid", QByteArray()));
    QTRY_COMPARE_WITH_TIMEOUT(m_reader->beepsValid(), 1, Wait);
    QCOMPARE(m_client->count(rfid + "/+/response/+"), 0);
}

QTEST_GUILESS_MAIN(TestSimulatedServices)
#include "tst_simulatedservices.moc"
