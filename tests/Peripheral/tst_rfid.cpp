#include "DeviceTestBench.h"
#include "KVRTv1Card.h"
#include "LogLines.h"
#include "MessageCapture.h"
#include "MqttClient.h"
#include "RFID.h"
#include "RfidService.h"
#include "SAM.h"
#include "Settlement.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::RFID;
using Outcome = Settlement<RFID::Result>;

namespace {
constexpr int Wait = 10000;

QJsonObject status(int state, const QJsonValue& error = QJsonValue())
{
    return QJsonObject {{"service", true},
                        {"device", QJsonObject {{"state", state}, {"error", error}}}};
}

QJsonObject kvrtCard(const QString& uid, int customsId)
{
    return QJsonObject {
        {"uid", uid},
        {"type", int(Tag::MIFARE_DESFire)},
        {"template", "KVRTv1"},
        {"data",
         QJsonObject {
             {"info", QJsonObject {{"version", 0}, {"customsId", customsId}, {"status", "active"}}},
             {"usageCounter", 2},
             {"usageLog", QJsonArray()}}},
    };
}
} // namespace

// The RFID reader client against a real broker, with the simulated reader
// service as its peer and a raw peer for scripted events and garbage.
class TestRfid : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void stateNames();
    void infoIsMirrored();
    void statusSetsStateAndError();
    void serviceOfflineIsAnError();
    void statusIdleClearsTheActiveTag();

    void foundAndRemovedCarryTheSameTag();
    void removedWithoutTagCarriesNull();
    void everyFoundMessageMakesANewTag();

    void completedRepliesReplaceOrClearTheActiveTag();
    void requestsCarryTheirParameters();
    void requestIdsCountFromOne();
    void refusalsCarryTheReadersText();
    void writeFailureOfTheReader();
    void writeOfNoCardIsRefusedLocally();

    void autoreadOfOurTemplate();
    void autoreadOfAnotherTemplate();
    void autoreadFailure();

    void waitCardFoundWhileTheFieldIsOff_data();
    void waitCardFoundWhileTheFieldIsOff();
    void waitCardFoundWithACardInTheField();
    void waitCardFoundWhileSearching();
    void waitCardFoundTimesOut();

    void beepsAndSams();
    void garbagePayloadsAreLoggedAndDropped();

private:
    void startService();
    Outcome::Ptr settled(Deferred<RFID::Result> request);

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<RfidService> m_service;
    std::unique_ptr<RFID> m_client;
    QString m_base;
    int m_serial = 0;
};

void TestRfid::initTestCase()
{
    qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
    qRegisterMetaType<Card::Ptr>("Card::Ptr");
    QVERIFY(m_broker.start());
}

void TestRfid::init()
{
    m_base = QStringLiteral("test/rfid%1").arg(++m_serial);
    m_service = std::make_unique<RfidService>(m_base);
    // The client plays the program, the bench's peer the service's raw side.
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_client = std::make_unique<RFID>(m_bench->client(), m_base);
    QVERIFY(m_bench->start(m_base + "/#"));
}

void TestRfid::cleanup()
{
    m_client.reset();
    m_service.reset();
    m_bench.reset();
}

void TestRfid::startService()
{
    m_service->connectToBroker(m_broker.host(), m_broker.port());
    QTRY_VERIFY_WITH_TIMEOUT(m_service->isConnected(), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Idle, Wait);
}

Outcome::Ptr TestRfid::settled(Deferred<RFID::Result> request)
{
    auto outcome = Outcome::of(request);
    outcome->wait(Wait);
    return outcome;
}

void TestRfid::stateNames()
{
    QCOMPARE(RFID::stateToStr(RFID::Init), QStringLiteral("Init"));
    QCOMPARE(RFID::stateToStr(RFID::Idle), QStringLiteral("Idle"));
    QCOMPARE(RFID::stateToStr(RFID::Searching), QStringLiteral("Searching"));
    QCOMPARE(RFID::stateToStr(RFID::CardFound), QStringLiteral("CardFound"));
    QCOMPARE(RFID::stateToStr(RFID::Update), QStringLiteral("Updating"));
    QCOMPARE(RFID::stateToStr(RFID::Error), QStringLiteral("Error"));
    QCOMPARE(RFID::stateToStr(static_cast<RFID::State>(7)), QStringLiteral("Unknown"));
    QCOMPARE(RFID::stateToStr(static_cast<RFID::State>(-1)), QStringLiteral("Unknown"));
}

void TestRfid::infoIsMirrored()
{
    QSignalSpy uid(m_client.get(), &RFID::uidChanged);
    startService();
    QTRY_COMPARE_WITH_TIMEOUT(m_client->software(), QStringLiteral("1.0.0"), Wait);
    QCOMPARE(m_client->uid(), QStringLiteral("RDR-0001"));
    QCOMPARE(m_client->manufacturer(), QStringLiteral("KVRT Simulation"));
    QCOMPARE(m_client->model(), QStringLiteral("Simulated reader"));
    QCOMPARE(m_client->firmware(), QStringLiteral("1.0"));
    QCOMPARE(uid.count(), 1);

    // Asked again, the same info changes nothing.
    QVERIFY(m_bench->service().publish(m_base + "/info/get", QByteArray()));
    QVERIFY(m_service->isConnected());
    QVERIFY(m_bench->sync());
    QCOMPARE(uid.count(), 1);
}

void TestRfid::statusSetsStateAndError()
{
    QCOMPARE(m_client->state(), RFID::Init);
    QVERIFY(!m_client->active());
    QSignalSpy state(m_client.get(), &RFID::stateChanged);
    QSignalSpy error(m_client.get(), &RFID::errorChanged);
    MessageCapture log;

    QVERIFY(m_bench->service().publish(m_base + "/status", status(RFID::Searching)));
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Searching, Wait);
    QVERIFY(m_client->active());
    QCOMPARE(m_client->property("stateName").toString(), QStringLiteral("Searching"));
    QVERIFY(m_bench->service().publish(m_base + "/status", status(RFID::Error, "Antenna broken")));
    QTRY_COMPARE_WITH_TIMEOUT(m_client->error(), QStringLiteral("Antenna broken"), Wait);
    QCOMPARE(m_client->state(), RFID::Error);
    QVERIFY(!m_client->active());
    QVERIFY(m_bench->service().publish(m_base + "/status", status(RFID::Update)));
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Update, Wait);
    QCOMPARE(m_client->error(), QString());
    QVERIFY(!m_client->active());
    // Service up without a device part: nothing known.
    QVERIFY(m_bench->service().publish(m_base + "/status", QJsonObject {{"service", true}}));
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Init, Wait);

    QCOMPARE(state.count(), 4);
    QCOMPARE(error.count(), 2);
    QCOMPARE(linesStartingWith(log.messages(QtInfoMsg), "[RFID] State changed"),
             QStringList({"[RFID] State changed : Searching", "[RFID] State changed : Error",
                          "[RFID] State changed : Updating", "[RFID] State changed : Init"}));
}

void TestRfid::serviceOfflineIsAnError()
{
    startService();
    m_service->placeCard("04AABBCC");
    auto enabled = settled(m_client->enable(false));
    QVERIFY(enabled->resolved());
    QTRY_VERIFY_WITH_TIMEOUT(m_client->activeCard(), Wait);
    const Tag::Ptr tag = m_client->activeCard();

    m_service->setOnline(false);
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Error, Wait);
    QCOMPARE(m_client->error(), QStringLiteral("Service is offline"));
    // Identification and the tag are kept.
    QCOMPARE(m_client->activeCard(), tag);
    QCOMPARE(m_client->uid(), QStringLiteral("RDR-0001"));

    m_service->setOnline(true);
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::CardFound, Wait);
    QCOMPARE(m_client->error(), QString());
}

void TestRfid::statusIdleClearsTheActiveTag()
{
    QVERIFY(m_bench->service().publish(m_base + "/status", status(RFID::Searching)));
    QVERIFY(m_bench->service().publish(m_base + "/card/found",
                                       QJsonObject {{"uid", "A1"}, {"type", 4}}));
    QTRY_VERIFY_WITH_TIMEOUT(m_client->activeCard(), Wait);
    QSignalSpy changed(m_client.get(), &RFID::activeCardChanged);
    MessageCapture log;
    QVERIFY(m_bench->service().publish(m_base + "/status", status(RFID::Idle)));
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->activeCard(), Wait);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(log.messages(QtWarningMsg),
             QStringList {"[RFID] WARN: RF disabled. Clearing active card"});
    QCOMPARE(linesStartingWith(log.messages(QtInfoMsg), "[RFID] Active"),
             QStringList {"[RFID] Active tag changed : old=A1 new=<none>"});

    // Idle again without a tag: nothing to say.
    log.clear();
    QVERIFY(m_bench->service().publish(m_base + "/status", status(RFID::Idle, "x")));
    QTRY_COMPARE_WITH_TIMEOUT(m_client->error(), QStringLiteral("x"), Wait);
    QCOMPARE(log.messages(QtWarningMsg).size(), 0);
}

void TestRfid::foundAndRemovedCarryTheSameTag()
{
    startService();
    QSignalSpy found(m_client.get(), &RFID::cardFound);
    QSignalSpy removed(m_client.get(), &RFID::cardRemoved);
    QSignalSpy changed(m_client.get(), &RFID::activeCardChanged);

    QVERIFY(settled(m_client->enable(false))->resolved());
    m_service->placeCard("04A1B2C3D4E5F6", Tag::MIFARE_Classic_1K);
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, Wait);
    const Tag::Ptr tag = found.at(0).at(0).value<Tag::Ptr>();
    QVERIFY(tag);
    QCOMPARE(tag->uid(), QStringLiteral("04A1B2C3D4E5F6"));
    QCOMPARE(tag->type(), Tag::MIFARE_Classic_1K);
    QCOMPARE(m_client->activeCard(), tag);
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::CardFound, Wait);

    m_service->removeCard();
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, Wait);
    QCOMPARE(removed.at(0).at(0).value<Tag::Ptr>(), tag);
    QVERIFY(!m_client->activeCard());
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Searching, Wait);
    QCOMPARE(found.count(), 1);
    // The completed "/enable" cleared nothing there was; then found, then removed.
    QCOMPARE(changed.count(), 2);
}

void TestRfid::removedWithoutTagCarriesNull()
{
    QSignalSpy removed(m_client.get(), &RFID::cardRemoved);
    QSignalSpy changed(m_client.get(), &RFID::activeCardChanged);
    QVERIFY(
        m_bench->service().publish(m_base + "/card/removed", QJsonObject {{"uid", "whatever"}}));
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, Wait);
    QVERIFY(!removed.at(0).at(0).value<Tag::Ptr>());
    QCOMPARE(changed.count(), 0);
}

void TestRfid::everyFoundMessageMakesANewTag()
{
    QSignalSpy found(m_client.get(), &RFID::cardFound);
    QSignalSpy changed(m_client.get(), &RFID::activeCardChanged);
    MessageCapture log;
    const QJsonObject tag {{"uid", "A1"}, {"type", 4}};
    QVERIFY(m_bench->service().publish(m_base + "/card/found", tag));
    QVERIFY(m_bench->service().publish(m_base + "/card/found", tag));
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 2, Wait);
    const Tag::Ptr first = found.at(0).at(0).value<Tag::Ptr>();
    const Tag::Ptr second = found.at(1).at(0).value<Tag::Ptr>();
    QVERIFY(first && second);
    QVERIFY(first != second);
    QCOMPARE(second->uid(), first->uid());
    QCOMPARE(m_client->activeCard(), second);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(linesStartingWith(log.messages(QtInfoMsg), "[RFID] Active"),
             QStringList({"[RFID] Active tag changed : old=<none> new=A1",
                          "[RFID] Active tag changed : old=A1 new=A1"}));
}

void TestRfid::completedRepliesReplaceOrClearTheActiveTag()
{
    startService();
    m_service->placeCard("04C0FFEE");
    QVERIFY(settled(m_client->enable(false))->resolved());
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::CardFound, Wait);
    const Tag::Ptr found = m_client->activeCard();
    QVERIFY(found);

    // The created card replaces the found tag.
    auto created = settled(m_client->createCard("KVRTv1"));
    QVERIFY(created->resolved());
    const auto card = created->value.card.dynamicCast<KVRTv1Card>();
    QVERIFY(card);
    QCOMPARE(card->uid(), QStringLiteral("04C0FFEE"));
    QCOMPARE(card->name(), QStringLiteral("KVRTv1"));
    QCOMPARE(m_client->activeCard(), created->value.card);

    // Reading gives yet another object with the stored content.
    m_service->setCardContent("04C0FFEE", kvrtCard("04C0FFEE", 42));
    auto read = settled(m_client->readCard("KVRTv1", 5));
    QVERIFY(read->resolved());
    const auto content = read->value.card.dynamicCast<KVRTv1Card>();
    QVERIFY(content);
    QCOMPARE(content->customsId(), 42);
    QCOMPARE(content->usageCounter(), 2);
    QCOMPARE(m_client->activeCard(), read->value.card);

    // A completed reply without a card leaves no active tag.
    auto again = settled(m_client->enable(false));
    QVERIFY(again->resolved());
    QVERIFY(!again->value.card);
    QVERIFY(!m_client->activeCard());
    QCOMPARE(m_client->state(), RFID::CardFound);

    // A card of a template this client does not know counts as none.
    m_service->setReply("/card/read",
                        QJsonObject {{"completed", true},
                                     {"data", QJsonObject {{"uid", "X"}, {"template", "Other"}}}});
    QVERIFY(m_bench->service().publish(m_base + "/card/found", QJsonObject {{"uid", "A1"}}));
    QTRY_VERIFY_WITH_TIMEOUT(m_client->activeCard(), Wait);
    auto other = settled(m_client->readCard("Other", 0));
    QVERIFY(other->resolved());
    QVERIFY(!other->value.card);
    QVERIFY(!m_client->activeCard());
}

void TestRfid::requestsCarryTheirParameters()
{
    startService();
    m_service->placeCard("04FEED");
    QVERIFY(settled(m_client->enable(true))->resolved());
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::CardFound, Wait);
    QVERIFY(settled(m_client->createCard("KVRTv1"))->resolved());

    KVRTv1Card::Ptr card(new KVRTv1Card);
    card->setStatus("active");
    card->setCustomsId(1);
    card->incrUsageCounter(1);
    card->addUsageLog("entry", "DEV1", "LOC1");
    auto written = settled(m_client->writeCard(card));
    QVERIFY(written->resolved());
    QCOMPARE(written->value.card->uid(), QStringLiteral("04FEED"));
    QVERIFY(settled(m_client->readCard("KVRTv1", 3))->resolved());
    QVERIFY(settled(m_client->disable())->resolved());

    const auto requests = m_service->requests();
    QCOMPARE(m_service->requestedMethods(),
             QStringList({"/enable", "/card/create", "/card/write", "/card/read", "/disable"}));
    QCOMPARE(requests.at(0).params, QJsonObject({{"autoread", true}}));
    QCOMPARE(requests.at(1).params, QJsonObject({{"template", "KVRTv1"}}));
    QCOMPARE(
        requests.at(2).params,
        QJsonObject({{"uid", ""}, {"type", 0}, {"template", "KVRTv1"}, {"data", card->data()}}));
    QCOMPARE(requests.at(3).params,
             QJsonObject({{"template", "KVRTv1"}, {"usageLogs", 3}, {"topupLogs", 0}}));
    QCOMPARE(requests.at(4).params, QJsonObject());

    // What the reader stored is what was written.
    const QJsonObject stored = m_service->cardContent("04FEED");
    QCOMPARE(stored.value("data").toObject().value("info").toObject().value("status").toString(),
             QStringLiteral("active"));
    QCOMPARE(stored.value("data").toObject().value("usageLog").toArray().size(), 1);
}

void TestRfid::requestIdsCountFromOne()
{
    startService();
    for (int i = 0; i < 4; ++i)
        settled(i % 2 ? m_client->disable() : m_client->enable(false));
    QStringList ids;
    for (const auto& request : m_service->requests())
        ids.append(request.id);
    QCOMPARE(ids, QStringList({"1", "2", "3", "4"}));
}

void TestRfid::refusalsCarryTheReadersText()
{
    startService();
    // Without a card in the field the reader refuses.
    auto refused = settled(m_client->createCard("KVRTv1"));
    QVERIFY(refused->rejected());
    QVERIFY(!refused->value.card);
    QCOMPARE(refused->value.error, QStringLiteral("RF is disabled"));

    m_service->setReply(
        "/enable", QJsonObject {{"completed", false}, {"error", QJsonObject {{"what", "Busy"}}}});
    auto busy = settled(m_client->enable(false));
    QVERIFY(busy->rejected());
    QCOMPARE(busy->value.error, QStringLiteral("Busy"));

    // No "completed", no "error": a refusal without a text.
    m_service->setReply("/enable", QJsonObject {{"data", kvrtCard("X", 1)}});
    QVERIFY(m_bench->service().publish(m_base + "/card/found", QJsonObject {{"uid", "A1"}}));
    QTRY_VERIFY_WITH_TIMEOUT(m_client->activeCard(), Wait);
    auto unknown = settled(m_client->enable(false));
    QVERIFY(unknown->rejected());
    QCOMPARE(unknown->value.error, QString());
    // A refusal leaves the active tag alone.
    QCOMPARE(m_client->activeCard()->uid(), QStringLiteral("A1"));
}

void TestRfid::writeFailureOfTheReader()
{
    startService();
    m_service->placeCard("04BAD0");
    QVERIFY(settled(m_client->enable(false))->resolved());
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::CardFound, Wait);
    QVERIFY(settled(m_client->createCard("KVRTv1"))->resolved());
    const Tag::Ptr created = m_client->activeCard();

    m_service->failNextWrite("Tag lost");
    KVRTv1Card::Ptr card(new KVRTv1Card);
    auto failed = settled(m_client->writeCard(card));
    QVERIFY(failed->rejected());
    QCOMPARE(failed->value.error, QStringLiteral("Tag lost"));
    QCOMPARE(m_client->activeCard(), created);
    // Only the next write fails.
    QVERIFY(settled(m_client->writeCard(card))->resolved());
}

void TestRfid::writeOfNoCardIsRefusedLocally()
{
    startService();
    auto refused = Outcome::of(m_client->writeCard(Card::Ptr()));
    QVERIFY(refused->rejected());
    QCOMPARE(refused->value.error, QStringLiteral("No card to write"));
    QVERIFY(m_bench->sync());
    QCOMPARE(m_service->requests().size(), 0);
}

void TestRfid::autoreadOfOurTemplate()
{
    startService();
    QSignalSpy autoread(m_client.get(), &RFID::cardAutoread);
    m_service->setCardContent("04AA", kvrtCard("04AA", 9));
    QVERIFY(settled(m_client->enable(true))->resolved());
    m_service->placeCard("04AA");
    QTRY_COMPARE_WITH_TIMEOUT(autoread.count(), 1, Wait);
    const auto card = autoread.at(0).at(0).value<Card::Ptr>().dynamicCast<KVRTv1Card>();
    QVERIFY(card);
    QCOMPARE(card->customsId(), 9);
    QCOMPARE(m_client->activeCard(), Tag::Ptr(card));
}

void TestRfid::autoreadOfAnotherTemplate()
{
    QSignalSpy autoread(m_client.get(), &RFID::cardAutoread);
    QVERIFY(m_bench->service().publish(m_base + "/card/found", QJsonObject {{"uid", "A1"}}));
    QTRY_VERIFY_WITH_TIMEOUT(m_client->activeCard(), Wait);
    QVERIFY(m_bench->service().publish(
        m_base + "/card/autoread",
        QJsonObject {{"uid", "A1"}, {"template", "Other"}, {"data", 1}}));
    QTRY_COMPARE_WITH_TIMEOUT(autoread.count(), 1, Wait);
    QVERIFY(!autoread.at(0).at(0).value<Card::Ptr>());
    QVERIFY(!m_client->activeCard());
}

void TestRfid::autoreadFailure()
{
    QSignalSpy autoread(m_client.get(), &RFID::cardAutoread);
    QSignalSpy failed(m_client.get(), &RFID::cardAutoreadFailed);
    QVERIFY(m_bench->service().publish(m_base + "/card/found", QJsonObject {{"uid", "A1"}}));
    QTRY_VERIFY_WITH_TIMEOUT(m_client->activeCard(), Wait);
    const Tag::Ptr tag = m_client->activeCard();
    QVERIFY(m_bench->service().publish(
        m_base + "/card/autoread",
        QJsonObject {{"error", QJsonObject {{"what", "Authentication failed"}}}}));
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, Wait);
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("Authentication failed"));
    QCOMPARE(autoread.count(), 0);
    QCOMPARE(m_client->activeCard(), tag);

    // Through the reader: a card nobody has written yet.
    startService();
    QVERIFY(settled(m_client->enable(true))->resolved());
    m_service->placeCard("04BB");
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, Wait);
    QCOMPARE(failed.at(1).at(0).toString(), QStringLiteral("Card not created"));
}

void TestRfid::waitCardFoundWhileTheFieldIsOff_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("msec");
    QTest::newRow("Init") << int(RFID::Init) << 3000;
    QTest::newRow("Idle") << int(RFID::Idle) << 0;
    QTest::newRow("Updating") << int(RFID::Update) << 5000;
    QTest::newRow("Error") << int(RFID::Error) << 1;
}

void TestRfid::waitCardFoundWhileTheFieldIsOff()
{
    QFETCH(int, state);
    QFETCH(int, msec);
    if (state != RFID::Init) {
        QVERIFY(m_bench->service().publish(m_base + "/status", status(state)));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_client->state()), state, Wait);
    }
    auto refused = Outcome::of(m_client->waitCardFound(msec));
    // Refused at once, without asking anybody.
    QVERIFY(refused->rejected());
    QVERIFY(!refused->value.card);
    QCOMPARE(refused->value.error, QStringLiteral("RF is disabled"));
}

void TestRfid::waitCardFoundWithACardInTheField()
{
    startService();
    m_service->placeCard("04AB");
    QVERIFY(settled(m_client->enable(false))->resolved());
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::CardFound, Wait);
    auto found = Outcome::of(m_client->waitCardFound(3000));
    QVERIFY(found->resolved());
    QCOMPARE(found->value.card, m_client->activeCard());
    QCOMPARE(found->value.card->uid(), QStringLiteral("04AB"));
}

void TestRfid::waitCardFoundWhileSearching()
{
    startService();
    QVERIFY(settled(m_client->enable(false))->resolved());
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Searching, Wait);
    QSignalSpy foundSignal(m_client.get(), &RFID::cardFound);
    auto found = Outcome::of(m_client->waitCardFound(0));
    QVERIFY(m_bench->sync());
    QVERIFY(!found->settled());
    m_service->placeCard("04CD", Tag::ISO14443_4A);
    QTRY_VERIFY_WITH_TIMEOUT(found->settled(), Wait);
    QVERIFY(found->resolved());
    QCOMPARE(found->value.card->uid(), QStringLiteral("04CD"));
    QCOMPARE(found->value.card->type(), Tag::ISO14443_4A);
    // A tag of its own, built from the message, besides the active one.
    QTRY_COMPARE_WITH_TIMEOUT(foundSignal.count(), 1, Wait);
    QVERIFY(found->value.card != m_client->activeCard());
    QCOMPARE(m_client->activeCard()->uid(), QStringLiteral("04CD"));
    QVERIFY(m_bench->sync());
    QCOMPARE(foundSignal.count(), 1);
}

void TestRfid::waitCardFoundTimesOut()
{
    startService();
    QVERIFY(settled(m_client->enable(false))->resolved());
    QTRY_COMPARE_WITH_TIMEOUT(m_client->state(), RFID::Searching, Wait);
    auto found = Outcome::of(m_client->waitCardFound(200));
    QTRY_VERIFY_WITH_TIMEOUT(found->settled(), Wait);
    QVERIFY(found->rejected());
    QVERIFY(!found->value.card);
    QCOMPARE(found->value.error, QStringLiteral("Timeout"));
}

void TestRfid::beepsAndSams()
{
    startService();
    QVERIFY(m_client->beepValid());
    QVERIFY(m_client->beepInvalid());
    QVERIFY(m_client->beepInvalid());
    QTRY_COMPARE_WITH_TIMEOUT(m_service->beepsInvalid(), 2, Wait);
    QCOMPARE(m_service->beepsValid(), 1);

    QVERIFY(m_client->sams().isEmpty());
    m_client->setSAMs(QJsonArray {QJsonObject {{"slot", 1}, {"name", "first"}},
                                  QJsonObject {{"slot", 2}, {"name", "second"}}});
    QCOMPARE(m_client->sams().size(), 2);
    QCOMPARE(m_client->sams().at(1)->parent(), m_client.get());
    QPointer<SAM> old = m_client->sams().at(0);
    m_client->setSAMs(QJsonArray {QJsonObject {{"slot", 3}}, 7});
    QCOMPARE(m_client->sams().size(), 2);
    QVERIFY(!m_client->sams().contains(old.data()));
    QTRY_VERIFY(!old);

    manager::MqttClient offline;
    RFID lonely(offline, m_base);
    QVERIFY(!lonely.beepValid());
}

void TestRfid::garbagePayloadsAreLoggedAndDropped()
{
    startService();
    QSignalSpy state(m_client.get(), &RFID::stateChanged);
    QSignalSpy found(m_client.get(), &RFID::cardFound);
    MessageCapture log;

    // The reader's own empty switch command is no garbage.
    QVERIFY(m_bench->service().publish(m_base + "/disable", QByteArray()));
    QVERIFY(m_bench->service().publish(m_base + "/status", QByteArray("nope")));
    QVERIFY(m_bench->service().publish(m_base + "/card/found", QByteArray()));
    QVERIFY(m_bench->service().publish(m_base + "/card/autoread", QByteArray("{\"uid\":")));
    QVERIFY(m_bench->service().publish(m_base + "/info", QByteArray("\x00\x01\x02", 3)));
    // Valid JSON that is no object reads as an empty object.
    QVERIFY(m_bench->service().publish(m_base + "/card/found", QByteArray("[\"A1\"]")));
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, Wait);

    QStringList errors = linesStartingWith(log.messages(QtCriticalMsg), "[RFID] ");
    QCOMPARE(errors.size(), 4);
    QCOMPARE(errors.at(0), QStringLiteral("[RFID] Failed to parse JSON message: nope"));
    QCOMPARE(errors.at(1), QStringLiteral("[RFID] Failed to parse JSON message: "));
    QCOMPARE(state.count(), 0);
    QCOMPARE(m_client->state(), RFID::Idle);
    QCOMPARE(found.at(0).at(0).value<Tag::Ptr>()->uid(), QString());

    // An unknown state number is kept as it is and named "Unknown".
    QVERIFY(m_bench->service().publish(m_base + "/status", status(42)));
    QTRY_COMPARE_WITH_TIMEOUT(int(m_client->state()), 42, Wait);
    QVERIFY(!m_client->active());
    QCOMPARE(countContaining(log.messages(QtInfoMsg), "[RFID] State changed : Unknown"), 1);
}

QTEST_GUILESS_MAIN(TestRfid)
#include "tst_rfid.moc"
