#include "CardIssuingRig.h"
#include "KVRTv1Card.h"
#include "LogCapture.h"
#include "MqttSubscription.h"
#include "ObjectCensus.h"
#include "Settlement.h"
#include "TestBroker.h"

#include <QAbstractEventDispatcher>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::CardIssuer;
using Outcome = Settlement<CardIssuer::Result>;

namespace {
constexpr int Wait = 20000;

const QStringList IssueFromEmptyReader {
    "dispenser/issue",  "rfid/enable",     "rfid/disable", "rfid/enable",
    "rfid/card/create", "rfid/card/write", "rfid/disable", "dispenser/eject",
};

QJsonObject dispenserRefusal(int code, const QString& text)
{
    return QJsonObject {{"completed", false},
                        {"error", QJsonObject {{"code", code}, {"description", text}}}};
}

QJsonObject readerRefusal(const QString& text)
{
    return QJsonObject {{"completed", false}, {"error", QJsonObject {{"what", text}}}};
}

// Waits for a chain or request to settle and tells how it ended.
template<class R>
typename Settlement<R>::Ptr run(const Deferred<R>& chain)
{
    auto outcome = Settlement<R>::of(chain);
    outcome->wait(Wait);
    return outcome;
}

// Active timers of the objects that live as long as the program.
int activeTimers(const QList<QObject*>& objects)
{
    int timers = 0;
    for (QObject* object : objects)
        timers += QAbstractEventDispatcher::instance()->registeredTimers(object).size();
    return timers;
}
} // namespace

// The card issuer driving the simulated dispenser and reader through a real broker.
class TestCardIssuer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void stateNames();
    void stateFollowsTheDevices();
    void stateTableOrder();
    void setStateLogsEveryChange();

    void issueFromAnEmptyReader();
    void preparedCardIsReadAgainBeforeWriting();
    void prepareRetractsACardInTheMouth();
    void prepareUsesACardAlreadyAtTheReader();
    void issueWithoutContentIsRefused();

    void writeFailureDisposesTheCard();
    void readFailureDisposesTheCard();
    void cardNotCollectedIsRetracted();
    void cardNotCollectedEvenWhenRetractionFails();
    void ejectFailureLeavesTheCardWhereItIs();
    void fourDisposalsMeanTooManyFailures();
    void openingTheDoorResetsTheFailCounter();
    void rfOffFailureStillSettlesTheChain();

    void collectedWithoutCurrentCardReportsNull();
    void manyCardsInARowWorkLikeTheFirst();

private:
    QStringList issuerErrors(const LogCapture& log) const;

    TestBroker m_broker;
    std::unique_ptr<CardIssuingRig> m_rig;
    int m_serial = 0;
};

void TestCardIssuer::initTestCase()
{
    qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
    QVERIFY(m_broker.start());
}

void TestCardIssuer::init()
{
    m_rig
        = std::make_unique<CardIssuingRig>(m_broker, QStringLiteral("test/gate%1").arg(++m_serial));
    QVERIFY(m_rig->start());
}

void TestCardIssuer::cleanup()
{
    m_rig.reset();
}

QStringList TestCardIssuer::issuerErrors(const LogCapture& log) const
{
    return log.lines(QtCriticalMsg);
}

void TestCardIssuer::stateNames()
{
    QCOMPARE(CardIssuer::stateToStr(CardIssuer::Init), QStringLiteral("Init"));
    QCOMPARE(CardIssuer::stateToStr(CardIssuer::Busy), QStringLiteral("Busy"));
    QCOMPARE(CardIssuer::stateToStr(CardIssuer::Ready), QStringLiteral("Ready"));
    QCOMPARE(CardIssuer::stateToStr(CardIssuer::Error), QStringLiteral("Error"));
    QCOMPARE(CardIssuer::stateToStr(static_cast<CardIssuer::State>(4)), QStringLiteral("Unknown"));
}

void TestCardIssuer::stateFollowsTheDevices()
{
    CardIssuer& issuer = m_rig->issuer;
    DispenserService& dispenser = m_rig->dispenserService;
    RfidService& reader = m_rig->rfidService;
    dispenser.setTakeDelay(DispenserService::NeverTaken);
    QCOMPARE(issuer.reason(), QString());
    QCOMPARE(issuer.property("stateName").toString(), QStringLiteral("Ready"));

    auto expect = [&](CardIssuer::State state, const QString& reason) {
        return QTest::qWaitFor([&] { return issuer.state() == state && issuer.reason() == reason; },
                               Wait);
    };

    QVERIFY(dispenser.placeCardAtRfid());
    QVERIFY(expect(CardIssuer::Busy, "Card on RFID"));
    dispenser.setJammed(true);
    QVERIFY(expect(CardIssuer::Error, "Dispenser jammed"));
    dispenser.setJammed(false);
    QVERIFY(expect(CardIssuer::Busy, "Card on RFID"));
    QVERIFY(run(m_rig->dispenser.eject())->resolved());
    QVERIFY(expect(CardIssuer::Busy, "Card in Mouth"));
    dispenser.setActive(false);
    QVERIFY(expect(CardIssuer::Error, "Dispenser error"));
    dispenser.setActive(true);
    QVERIFY(expect(CardIssuer::Busy, "Card in Mouth"));
    QVERIFY(dispenser.takeCard());
    QVERIFY(expect(CardIssuer::Ready, QString()));
    // The dispenser service going down counts as an inactive dispenser.
    dispenser.setOnline(false);
    QVERIFY(expect(CardIssuer::Error, "Dispenser error"));
    dispenser.setOnline(true);
    QVERIFY(expect(CardIssuer::Ready, QString()));

    reader.setFault("Antenna broken");
    QVERIFY(expect(CardIssuer::Error, "RFID error"));
    reader.setFault(QString());
    QVERIFY(expect(CardIssuer::Ready, QString()));
    reader.setOnline(false);
    QVERIFY(expect(CardIssuer::Error, "RFID error"));
    reader.setOnline(true);
    QVERIFY(expect(CardIssuer::Ready, QString()));
    reader.setUpdating(true);
    QVERIFY(expect(CardIssuer::Init, "RFID updating"));
    reader.setUpdating(false);
    QVERIFY(expect(CardIssuer::Ready, QString()));

    // A card in the reader's field is a card on the RFID position too.
    reader.placeCard("04BEEF");
    QVERIFY(run(m_rig->rfid.enable(false))->resolved());
    QVERIFY(expect(CardIssuer::Busy, "Card on RFID"));
    QTRY_VERIFY_WITH_TIMEOUT(issuer.currCard(), Wait);
    QCOMPARE(issuer.currCard()->uid(), QStringLiteral("04BEEF"));
    // Switching the field off forgets the card.
    QVERIFY(run(m_rig->rfid.disable())->resolved());
    QVERIFY(expect(CardIssuer::Ready, QString()));
    QVERIFY(!issuer.currCard());
}

void TestCardIssuer::stateTableOrder()
{
    CardIssuer& issuer = m_rig->issuer;
    DispenserService& dispenser = m_rig->dispenserService;
    dispenser.setTakeDelay(DispenserService::NeverTaken);
    auto expect = [&](CardIssuer::State state, const QString& reason) {
        return QTest::qWaitFor([&] { return issuer.state() == state && issuer.reason() == reason; },
                               Wait);
    };

    // Door open and dispenser inactive: the door is named.
    dispenser.setActive(false);
    dispenser.setDoorOpen(true);
    QVERIFY(expect(CardIssuer::Error, "Cartridge door open"));
    // The reader's error or update outranks whatever the dispenser reports.
    m_rig->rfidService.setUpdating(true);
    QVERIFY(expect(CardIssuer::Init, "RFID updating"));
    m_rig->rfidService.setUpdating(false);
    QVERIFY(expect(CardIssuer::Error, "Cartridge door open"));
    m_rig->rfidService.setFault("Broken");
    QVERIFY(expect(CardIssuer::Error, "RFID error"));
    m_rig->rfidService.setFault(QString());
    QVERIFY(expect(CardIssuer::Error, "Cartridge door open"));
    dispenser.setDoorOpen(false);
    QVERIFY(expect(CardIssuer::Error, "Dispenser error"));
    dispenser.setActive(true);
    // Jammed with a card in the mouth: jammed.
    QVERIFY(dispenser.placeCardAtRfid());
    QVERIFY(run(m_rig->dispenser.eject())->resolved());
    dispenser.setJammed(true);
    QVERIFY(expect(CardIssuer::Error, "Dispenser jammed"));
    dispenser.setJammed(false);
    // A card at the reader and one in the mouth: the reader's is named.
    QVERIFY(dispenser.placeCardAtRfid());
    QVERIFY(expect(CardIssuer::Busy, "Card on RFID"));
}

void TestCardIssuer::setStateLogsEveryChange()
{
    CardIssuer& issuer = m_rig->issuer;
    QSignalSpy changed(&issuer, &CardIssuer::stateChanged);
    LogCapture log;
    m_rig->dispenserService.setJammed(true);
    QTRY_COMPARE_WITH_TIMEOUT(issuer.state(), CardIssuer::Error, Wait);
    m_rig->dispenserService.setDoorOpen(true);
    QTRY_COMPARE_WITH_TIMEOUT(issuer.reason(), QStringLiteral("Cartridge door open"), Wait);
    m_rig->dispenserService.setJammed(false);
    m_rig->dispenserService.setDoorOpen(false);
    QTRY_COMPARE_WITH_TIMEOUT(issuer.state(), CardIssuer::Ready, Wait);

    // Same state, other reason: a change all the same.
    QCOMPARE(changed.count(), 3);
    QCOMPARE(log.lines(QtInfoMsg, "[CardIssuer] State changed"),
             QStringList({"[CardIssuer] State changed : (3) Error (reason=Dispenser jammed)",
                          "[CardIssuer] State changed : (3) Error (reason=Cartridge door open)",
                          "[CardIssuer] State changed : (2) Ready "}));
    QVERIFY(log.count(QtDebugMsg,
                      "[CardIssuer] checkState() : Dispenser(true) RFID(Idle) cardInRfid(false) "
                      "cardInMouth(false)")
            > 0);
}

void TestCardIssuer::issueFromAnEmptyReader()
{
    CardIssuingRig& rig = *m_rig;
    QSignalSpy collected(&rig.issuer, &CardIssuer::cardCollected);
    QSignalSpy disposed(&rig.issuer, &CardIssuer::cardDisposed);
    LogCapture log;

    const Card::Ptr card = CardIssuingRig::newCard();
    auto issued = run(rig.issuer.issueCard(card, 60));
    QVERIFY(issued->resolved());
    QVERIFY(!issued->value.card);
    QCOMPARE(issued->value.error, QString());
    QCOMPARE(issued->calls(), 1);

    QCOMPARE(rig.requestLog, IssueFromEmptyReader);
    QTRY_COMPARE_WITH_TIMEOUT(collected.count(), 1, Wait);
    QCOMPARE(disposed.count(), 0);
    QCOMPARE(rig.issuer.failCount(), 0);
    QCOMPARE(rig.dispenserService.issuedCount(), 1);
    QCOMPARE(rig.dispenserService.takenCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.state(), CardIssuer::Ready, Wait);
    QCOMPARE(issuerErrors(log), QStringList());

    // What went onto the card is the content given, with its usage entry.
    const auto writes = rig.rfidService.requests();
    const QJsonObject written = writes.at(4).params;
    QCOMPARE(writes.at(4).method, QStringLiteral("/card/write"));
    QCOMPARE(written.value("template").toString(), QStringLiteral("KVRTv1"));
    QCOMPARE(written.value("data").toObject(), card->data());
    const QStringList found = log.lines(QtInfoMsg, "[CardIssuer] Card written successfully : ");
    QCOMPARE(found.size(), 1);
    const QString cardUid
        = found.first().mid(QStringLiteral("[CardIssuer] Card written successfully : ").size());
    const QJsonObject stored = rig.rfidService.cardContent(cardUid).value("data").toObject();
    QCOMPARE(stored.value("info").toObject().value("customsId").toInt(), 1);
    QCOMPARE(stored.value("usageLog").toArray().size(), 1);
    QCOMPARE(stored.value("usageLog").toArray().at(0).toObject().value("deviceId").toString(),
             QStringLiteral("TERM-01"));

    // The steps tell their story.
    const QStringList steps = log.lines(QtInfoMsg, "[CardIssuer] ");
    auto position = [&](const QString& line) { return steps.indexOf("[CardIssuer] " + line); };
    QVERIFY(position("Moving card on RFID") >= 0);
    QVERIFY(position("Reading card UID") > position("Moving card on RFID"));
    QVERIFY(position("Card found : " + cardUid) > position("Reading card UID"));
    QVERIFY(position("Creating card : KVRTv1") > position("Card found : " + cardUid));
    QVERIFY(position("Writing card : " + cardUid) > position("Creating card : KVRTv1"));
    QVERIFY(position("Ejecting card") > position("Writing card : " + cardUid));
    QVERIFY(position("Card ejected successfully") > position("Ejecting card"));
    QVERIFY(position("Waiting for card to be collected (timeout=60 sec)")
            > position("Card ejected successfully"));
    QVERIFY(position("Card collected successfully")
            > position("Waiting for card to be collected (timeout=60 sec)"));
    QCOMPARE(log.lines(QtWarningMsg, "[CardIssuer] "),
             QStringList {"[CardIssuer] WARN: Card not present. Preparing."});
}

void TestCardIssuer::preparedCardIsReadAgainBeforeWriting()
{
    CardIssuingRig& rig = *m_rig;
    LogCapture log;
    // As the terminal does after each card: prepare the next one.
    auto prepared = run(rig.issuer.prepareCard());
    QVERIFY(prepared->resolved());
    QVERIFY(prepared->value.card);
    QCOMPARE(prepared->value.card->uid(), rig.dispenserService.cardAtRfidUid());
    QCOMPARE(rig.requestLog, QStringList({"dispenser/issue", "rfid/enable", "rfid/disable"}));
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.state(), CardIssuer::Busy, Wait);
    // The field is off again, so the card is no longer the reader's current one.
    QVERIFY(!rig.issuer.currCard());

    rig.requestLog.clear();
    auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
    QVERIFY(issued->resolved());
    QCOMPARE(rig.requestLog, IssueFromEmptyReader.mid(1));
    QCOMPARE(rig.dispenserService.issuedCount(), 1);
    QCOMPARE(log.count(QtWarningMsg, "[CardIssuer] WARN: Card alaready present. Skipping."), 1);
    QCOMPARE(issuerErrors(log), QStringList());
}

void TestCardIssuer::prepareRetractsACardInTheMouth()
{
    CardIssuingRig& rig = *m_rig;
    QVERIFY(run(rig.dispenser.enableAccept())->resolved());
    QVERIFY(rig.dispenserService.insertCard("04ABCDEF"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.reason(), QStringLiteral("Card in Mouth"), Wait);
    rig.requestLog.clear();
    LogCapture log;

    auto prepared = run(rig.issuer.prepareCard());
    QVERIFY(prepared->resolved());
    QCOMPARE(prepared->value.card->uid(), QStringLiteral("04ABCDEF"));
    QCOMPARE(rig.requestLog, QStringList({"dispenser/accept", "rfid/enable", "rfid/disable"}));
    QCOMPARE(log.lines(QtWarningMsg, "[CardIssuer] "),
             QStringList {"[CardIssuer] WARN: Card in mouth. Retracting."});
}

void TestCardIssuer::prepareUsesACardAlreadyAtTheReader()
{
    CardIssuingRig& rig = *m_rig;
    QVERIFY(rig.dispenserService.placeCardAtRfid("04000001"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.dispenser.cardInRfid(), Wait);
    auto prepared = run(rig.issuer.prepareCard());
    QVERIFY(prepared->resolved());
    QCOMPARE(prepared->value.card->uid(), QStringLiteral("04000001"));
    // The dispenser is not asked at all.
    QCOMPARE(rig.requestLog, QStringList({"rfid/enable", "rfid/disable"}));
}

void TestCardIssuer::issueWithoutContentIsRefused()
{
    LogCapture log;
    auto issued = run(m_rig->issuer.issueCard(Card::Ptr(), 60));
    QVERIFY(issued->rejected());
    QCOMPARE(issued->value.error, QStringLiteral("No card content to issue"));
    QCOMPARE(issuerErrors(log), QStringList {"[CardIssuer] ERROR: No card content to issue"});
    QCOMPARE(m_rig->requestLog, QStringList());
}

void TestCardIssuer::writeFailureDisposesTheCard()
{
    CardIssuingRig& rig = *m_rig;
    QSignalSpy disposed(&rig.issuer, &CardIssuer::cardDisposed);
    QSignalSpy collected(&rig.issuer, &CardIssuer::cardCollected);
    rig.rfidService.failNextWrite("Tag lost");
    LogCapture log;

    auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
    QVERIFY(issued->rejected());
    QVERIFY(!issued->value.card);
    QCOMPARE(issued->value.error, QStringLiteral("Write card failed : Tag lost"));
    QCOMPARE(rig.requestLog, IssueFromEmptyReader.mid(0, 6) + QStringList {"dispenser/dispose"});
    QTRY_COMPARE_WITH_TIMEOUT(disposed.count(), 1, Wait);
    QCOMPARE(collected.count(), 0);
    QCOMPARE(rig.issuer.failCount(), 1);
    QCOMPARE(rig.dispenserService.disposedCount(), 1);
    QCOMPARE(issuerErrors(log), QStringList {"[CardIssuer] ERROR: Write card failed : Tag lost"});
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Incremented fail counter : 1"), 1);
    // The chain ended once: with the disposal done.
    QCOMPARE(issued->calls(), 1);
    QVERIFY(!rig.dispenserService.cardAtRfid());
}

void TestCardIssuer::readFailureDisposesTheCard()
{
    CardIssuingRig& rig = *m_rig;
    rig.rfidService.setReply("/enable", readerRefusal("Antenna off"));
    LogCapture log;
    auto prepared = run(rig.issuer.prepareCard());
    QVERIFY(prepared->rejected());
    QCOMPARE(prepared->value.error, QStringLiteral("RFID enable failed : Antenna off"));
    QCOMPARE(rig.requestLog, QStringList({"dispenser/issue", "rfid/enable", "dispenser/dispose"}));
    QCOMPARE(issuerErrors(log),
             QStringList {"[CardIssuer] ERROR: RFID enable failed : Antenna off"});
    QCOMPARE(rig.issuer.failCount(), 1);
}

void TestCardIssuer::cardNotCollectedIsRetracted()
{
    CardIssuingRig& rig = *m_rig;
    rig.dispenserService.setTakeDelay(DispenserService::NeverTaken);
    QSignalSpy collected(&rig.issuer, &CardIssuer::cardCollected);
    LogCapture log;

    auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 1));
    QVERIFY(issued->rejected());
    QCOMPARE(issued->value.error, QStringLiteral("Card was not collected"));
    QCOMPARE(rig.requestLog, IssueFromEmptyReader + QStringList {"dispenser/accept"});
    QCOMPARE(issuerErrors(log), QStringList {"[CardIssuer] ERROR: Card was not collected"});
    QCOMPARE(collected.count(), 0);
    // Back at the reader, ready to be used again; nothing counted as failed.
    QTRY_VERIFY_WITH_TIMEOUT(rig.dispenser.cardInRfid(), Wait);
    QVERIFY(!rig.dispenser.cardInMouth());
    QCOMPARE(rig.issuer.failCount(), 0);

    rig.requestLog.clear();
    rig.dispenserService.setTakeDelay(0);
    auto again = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
    QVERIFY(again->resolved());
    QCOMPARE(rig.requestLog, IssueFromEmptyReader.mid(1));
    QCOMPARE(rig.dispenserService.issuedCount(), 1);
}

void TestCardIssuer::cardNotCollectedEvenWhenRetractionFails()
{
    CardIssuingRig& rig = *m_rig;
    rig.dispenserService.setTakeDelay(DispenserService::NeverTaken);
    rig.dispenserService.setReply("/accept", dispenserRefusal(8, "Mouth blocked"));
    LogCapture log;

    auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 1));
    QVERIFY(issued->rejected());
    QCOMPARE(issued->value.error, QStringLiteral("Card was not collected"));
    QCOMPARE(rig.requestLog, IssueFromEmptyReader + QStringList {"dispenser/accept"});
    // Each failing step says so once; the chain adds nothing.
    QCOMPARE(issuerErrors(log),
             QStringList({"[CardIssuer] ERROR: Card was not collected",
                          "[CardIssuer] ERROR: Accept failed : Mouth blocked"}));
    QCOMPARE(issued->calls(), 1);
}

void TestCardIssuer::ejectFailureLeavesTheCardWhereItIs()
{
    CardIssuingRig& rig = *m_rig;
    rig.dispenserService.setReply("/eject", dispenserRefusal(8, "Mouth blocked"));
    QSignalSpy disposed(&rig.issuer, &CardIssuer::cardDisposed);
    LogCapture log;

    auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
    QVERIFY(issued->rejected());
    QCOMPARE(issued->value.error, QStringLiteral("Failed to eject card : Mouth blocked"));
    QCOMPARE(rig.requestLog, IssueFromEmptyReader);
    QCOMPARE(issuerErrors(log),
             QStringList {"[CardIssuer] ERROR: Failed to eject card : Mouth blocked"});
    // Neither disposed of nor retracted, and nobody waits for it.
    QVERIFY(rig.dispenserService.cardAtRfid());
    QCOMPARE(disposed.count(), 0);
    QCOMPARE(rig.issuer.failCount(), 0);
    QCOMPARE(log.count(QtInfoMsg, "[CardIssuer] Waiting for card"), 0);
}

void TestCardIssuer::fourDisposalsMeanTooManyFailures()
{
    CardIssuingRig& rig = *m_rig;
    LogCapture log;
    for (int i = 1; i <= 4; ++i) {
        rig.rfidService.failNextWrite("Tag lost");
        auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
        QVERIFY(issued->rejected());
        QCOMPARE(issued->value.error, QStringLiteral("Write card failed : Tag lost"));
        QCOMPARE(rig.issuer.failCount(), i);
    }
    QCOMPARE(rig.dispenserService.disposedCount(), 4);
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.state(), CardIssuer::Error, Wait);
    QCOMPARE(rig.issuer.reason(), QStringLiteral("Too many failures"));
    QCOMPARE(issuerErrors(log).size(), 4);

    // Refused at once, unlogged, and nothing moves.
    log.clear();
    rig.requestLog.clear();
    auto prepared = Outcome::of(rig.issuer.prepareCard());
    QVERIFY(prepared->rejected());
    QVERIFY(!prepared->value.card);
    QCOMPARE(prepared->value.error, QStringLiteral("Too many failures"));
    auto issued = Outcome::of(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
    QVERIFY(issued->rejected());
    QCOMPARE(issued->value.error, QStringLiteral("Too many failures"));
    QCOMPARE(issuerErrors(log), QStringList());
    // A card arriving at the reader does not make it busy either.
    QVERIFY(rig.dispenserService.placeCardAtRfid());
    QTRY_VERIFY_WITH_TIMEOUT(rig.dispenser.cardInRfid(), Wait);
    QCOMPARE(rig.issuer.reason(), QStringLiteral("Too many failures"));
    QCOMPARE(rig.requestLog, QStringList());
    QCOMPARE(rig.issuer.failCount(), 4);
}

void TestCardIssuer::openingTheDoorResetsTheFailCounter()
{
    CardIssuingRig& rig = *m_rig;
    for (int i = 0; i < 4; ++i) {
        rig.rfidService.failNextWrite("Tag lost");
        QVERIFY(run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->rejected());
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.reason(), QStringLiteral("Too many failures"), Wait);

    LogCapture log;
    rig.dispenserService.setDoorOpen(true);
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.reason(), QStringLiteral("Cartridge door open"), Wait);
    QCOMPARE(rig.issuer.failCount(), 0);
    QCOMPARE(log.lines(QtInfoMsg, "[CardIssuer] Reset fail counter"),
             QStringList {"[CardIssuer] Reset fail counter : 0"});
    rig.dispenserService.setDoorOpen(false);
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.state(), CardIssuer::Ready, Wait);

    // Back in business.
    QVERIFY(run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->resolved());

    // A successful write resets the counter too.
    rig.rfidService.failNextWrite("Tag lost");
    QVERIFY(run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->rejected());
    QCOMPARE(rig.issuer.failCount(), 1);
    QVERIFY(run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->resolved());
    QCOMPARE(rig.issuer.failCount(), 0);

    // And so does a dispenser that goes inactive.
    rig.rfidService.failNextWrite("Tag lost");
    QVERIFY(run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->rejected());
    QCOMPARE(rig.issuer.failCount(), 1);
    rig.dispenserService.setActive(false);
    QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.failCount(), 0, Wait);
}

void TestCardIssuer::rfOffFailureStillSettlesTheChain()
{
    CardIssuingRig& rig = *m_rig;
    rig.rfidService.setReply("/disable", readerRefusal("Field stuck"));
    QSignalSpy disposed(&rig.issuer, &CardIssuer::cardDisposed);
    LogCapture log;

    // The UID was read: the card is prepared all the same.
    auto prepared = run(rig.issuer.prepareCard());
    QVERIFY(prepared->resolved());
    QVERIFY(prepared->value.card);
    QCOMPARE(prepared->value.card->uid(), rig.dispenserService.cardAtRfidUid());

    // The card was written: it is issued all the same.
    auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
    QVERIFY(issued->resolved());
    QCOMPARE(issued->value.error, QString());
    QCOMPARE(rig.dispenserService.takenCount(), 1);
    QCOMPARE(disposed.count(), 0);
    QCOMPARE(rig.issuer.failCount(), 0);

    QCOMPARE(issuerErrors(log), QStringList());
    QCOMPARE(log.lines(QtWarningMsg, "[CardIssuer] WARN: RFID disable failed"),
             QStringList({"[CardIssuer] WARN: RFID disable failed : Field stuck",
                          "[CardIssuer] WARN: RFID disable failed : Field stuck"}));
}

void TestCardIssuer::collectedWithoutCurrentCardReportsNull()
{
    CardIssuingRig& rig = *m_rig;
    QSignalSpy collected(&rig.issuer, &CardIssuer::cardCollected);
    QVERIFY(run(rig.dispenser.enableAccept())->resolved());
    QVERIFY(rig.dispenserService.insertCard());
    QTRY_VERIFY_WITH_TIMEOUT(rig.dispenser.cardInMouth(), Wait);
    QVERIFY(rig.dispenserService.takeCard());
    QTRY_COMPARE_WITH_TIMEOUT(collected.count(), 1, Wait);
    QVERIFY(!collected.at(0).at(0).value<Tag::Ptr>());
}

void TestCardIssuer::manyCardsInARowWorkLikeTheFirst()
{
    CardIssuingRig& rig = *m_rig;
    QSignalSpy collected(&rig.issuer, &CardIssuer::cardCollected);
    LogCapture log;
    ObjectCensus census;
    const QList<QObject*> lasting {&rig.mqtt,   &rig.dispenser,        &rig.rfid,
                                   &rig.issuer, &rig.dispenserService, &rig.rfidService};

    // One round as the terminal runs it: issue, then prepare the next card.
    auto round = [&](int n) {
        rig.requestLog.clear();
        auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
        if (!issued->resolved())
            return QStringLiteral("issue %1 failed: %2").arg(n).arg(issued->value.error);
        const QStringList issueRequests = rig.requestLog;
        rig.requestLog.clear();
        auto prepared = run(rig.issuer.prepareCard());
        if (!prepared->resolved())
            return QStringLiteral("prepare %1 failed: %2").arg(n).arg(prepared->value.error);
        return (issueRequests + QStringList {"--"} + rig.requestLog).join(' ');
    };

    const QString first = round(1);
    QCOMPARE(first,
             (IssueFromEmptyReader
              + QStringList {"--", "dispenser/issue", "rfid/enable", "rfid/disable"})
                 .join(' '));
    const QString usual = round(2);
    QCOMPARE(usual,
             (IssueFromEmptyReader.mid(1)
              + QStringList {"--", "dispenser/issue", "rfid/enable", "rfid/disable"})
                 .join(' '));

    // What the first rounds leave standing is what stands after many more.
    QTest::qWait(50);
    const qint64 objects = census.alive();
    const int timers = activeTimers(lasting);
    const int receivers = rig.mqtt.receiverCount(SIGNAL(received(QByteArray, QByteArray)));
    const int connectedReceivers = rig.mqtt.receiverCount(SIGNAL(connected()));

    constexpr int Rounds = 30;
    for (int n = 3; n <= Rounds; ++n)
        QCOMPARE(round(n), usual);

    QCOMPARE(collected.count(), Rounds);
    QCOMPARE(rig.dispenserService.issuedCount(), Rounds + 1);
    QCOMPARE(rig.dispenserService.takenCount(), Rounds);
    QCOMPARE(rig.issuer.failCount(), 0);
    QCOMPARE(log.lines(QtCriticalMsg), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(census.alive(), objects, Wait);
    QCOMPARE(activeTimers(lasting), timers);
    QCOMPARE(rig.mqtt.receiverCount(SIGNAL(received(QByteArray, QByteArray))), receivers);
    QCOMPARE(rig.mqtt.receiverCount(SIGNAL(connected())), connectedReceivers);

    // Request ids went on counting, one by one, without a gap or a repeat.
    for (const SimulatedService* service : {static_cast<SimulatedService*>(&rig.dispenserService),
                                            static_cast<SimulatedService*>(&rig.rfidService)}) {
        const auto requests = service->requests();
        for (int i = 0; i < requests.size(); ++i)
            QCOMPARE(requests.at(i).id, QString::number(i + 1));
    }
    QCOMPARE(rig.dispenserService.requests().size(), 2 * Rounds + 1);
    QCOMPARE(rig.rfidService.requests().size(), 8 * Rounds);
}

QTEST_GUILESS_MAIN(TestCardIssuer)
#include "tst_cardissuer.moc"
