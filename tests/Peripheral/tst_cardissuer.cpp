// The card issuer driving the simulated dispenser and reader through a real broker.

#include "CardIssuingRig.h"
#include "MessageCapture.h"
#include "RuntimeCensus.h"
#include "Settlement.h"
#include "TableRows.h"
#include "TestBroker.h"

#include <QAbstractEventDispatcher>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::CardIssuer;

namespace {
constexpr int Wait = 20000;
// The requests of a card issued from an empty reader, dispenser's and reader's alike.
const QString Issue = "issue enable disable enable create write disable eject";

template<class R>
typename Settlement<R>::Ptr run(const Deferred<R>& chain)
{
    auto outcome = Settlement<R>::of(chain);
    outcome->wait(Wait);
    return outcome;
}

// The requests the services received, in order, by method.
QString asked(const CardIssuingRig& rig)
{
    return rig.requestLog.join(' ').remove("dispenser/").remove("rfid/").remove("card/");
}

// Puts the devices in the state a row names: "dispenser/<method>" and "rfid/<method>"
// refuse that request with the text "No"; the other words are conditions.
void arrange(CardIssuingRig& rig, const QString& setup)
{
    DispenserService& dispenser = rig.dispenserService;
    const QJsonObject no {
        {"completed", false},
        {"error", QJsonObject {{"code", 8}, {"description", "No"}, {"what", "No"}}}};
    RfidService& reader = rig.rfidService;
    const QHash<QString, std::function<void()>> conditions {
        {"mouth", [&] { run(rig.dispenser.enableAccept()), dispenser.insertCard(); }},
        {"field", [&] { reader.placeCard("04BEEF"), run(rig.rfid.enable(false)); }},
        {"rfid", [&] { dispenser.placeCardAtRfid(); }},
        {"inactive", [&] { dispenser.setActive(false); }},
        {"jammed", [&] { dispenser.setJammed(true); }},
        {"door", [&] { dispenser.setDoorOpen(true); }},
        {"kept", [&] { dispenser.setTakeDelay(DispenserService::NeverTaken); }},
        {"fault", [&] { reader.setFault("Broken"); }},
        {"updating", [&] { reader.setUpdating(true); }}};
    for (const QString& word : setup.split(' ', Qt::SkipEmptyParts)) {
        const QString method = word.mid(word.indexOf('/'));
        if (word.startsWith("dispenser/"))
            dispenser.setReply(method, no);
        else if (word.startsWith("rfid/"))
            reader.setReply(method, no);
        else if (conditions.contains(word))
            conditions[word]();
    }
    QVERIFY(QTest::qWaitFor([&] {
        return rig.dispenser.cardInRfid() == dispenser.cardAtRfid()
            && rig.dispenser.cardInMouth() == dispenser.cardInMouth()
            && rig.dispenser.active() == dispenser.isActive();
    }));
    rig.requestLog.clear();
}
} // namespace

class TestCardIssuer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
        QVERIFY(m_broker.start());
    }
    void init()
    {
        m_rig = std::make_unique<CardIssuingRig>(m_broker, QString("gate%1").arg(++m_serial));
        QVERIFY(m_rig->start());
    }
    void cleanup() { m_rig.reset(); }

    // The state the devices put the issuer in (the row name says which condition decides;
    // none: Ready) and a card issued then: an error state refuses it, a failing step ends it with
    // its error, a card that cannot be written is disposed of (a failure counted), one not
    // collected is pulled back in. "reader": the card rests at the reader afterwards.
    void issue_data()
    {
        addTextRows({"setup", "state", "requests", "error", "rest"},
                    QString(R"(
empty reader | | | ISSUE |
door before inactive | inactive door | (3) Error (reason=Cartridge door open) | | Cartridge door open
update before door | door updating | (0) Init (reason=RFID updating) | issue | Issue failed : Cartridge door open
reader before door | door fault | (3) Error (reason=RFID error) | | RFID error
inactive | inactive | (3) Error (reason=Dispenser error) | | Dispenser error
jammed before busy | rfid jammed | (3) Error (reason=Dispenser jammed) | | Dispenser jammed | reader
card at the reader | rfid | (1) Busy (reason=Card on RFID) | enable disable enable create write disable eject |
card at the reader before mouth | mouth rfid | (1) Busy (reason=Card on RFID) | enable disable enable create write disable eject | Failed to eject card : Card already in mouth | reader
card in the mouth | mouth | (1) Busy (reason=Card in Mouth) | accept enable disable enable create write disable eject |
card in the field | field | (1) Busy (reason=Card on RFID) | enable create write disable eject | Failed to eject card : No card at RFID position
RF stays on | rfid/disable | | ISSUE |
issue | dispenser/issue | | issue | Issue failed : No
accept | mouth dispenser/accept | (1) Busy (reason=Card in Mouth) | accept | Accept failed : No
read | rfid/enable | | issue enable dispose | RFID enable failed : No
create | rfid/card/create | | issue enable disable enable create dispose | Create card failed : No
write | rfid/card/write | | issue enable disable enable create write dispose | Write card failed : No
write, dispose | rfid/card/write dispenser/dispose | | issue enable disable enable create write dispose | Write card failed : No | reader
eject | dispenser/eject | | ISSUE | Failed to eject card : No | reader
not collected | kept | | ISSUE accept | Card was not collected | reader
not collected, retract | kept dispenser/accept | | ISSUE accept | Card was not collected
no content | null | | | No card content to issue)")
                        .replace("ISSUE", Issue));
    }
    void issue()
    {
        QFETCH(QString, setup);
        QFETCH(QString, state);
        QFETCH(QString, error);
        QFETCH(QString, rest);
        CardIssuingRig& rig = *m_rig;
        CardIssuer& issuer = rig.issuer;
        MessageCapture log;
        arrange(rig, setup);
        if (!state.isEmpty()) {
            const auto now = [&issuer] {
                return QString("(%1) %2 (reason=%3)")
                    .arg(issuer.state())
                    .arg(issuer.property("stateName").toString(), issuer.reason());
            };
            QTRY_COMPARE_WITH_TIMEOUT(now(), state, Wait);
        }
        // The current card follows the reader's field.
        QCOMPARE(issuer.currCard() ? issuer.currCard()->uid() : "",
                 setup == "field" ? "04BEEF" : "");
        QSignalSpy collected(&issuer, &CardIssuer::cardCollected);
        QSignalSpy disposed(&issuer, &CardIssuer::cardDisposed);
        auto issued
            = run(issuer.issueCard(setup == "null" ? Card::Ptr() : CardIssuingRig::newCard(),
                                   setup.startsWith("kept") ? 1 : 60));
        QCOMPARE(issued->rejected(), !error.isEmpty());
        QCOMPARE(issued->value.error, error);
        QVERIFY(!issued->value.card);
        QCOMPARE(issued->calls(), 1);
        QTEST(asked(rig), "requests");
        // The first failing step decides, and says so once.
        QCOMPARE(log.messages().filter("[CardIssuer] ERROR: " + error).size(),
                 int(!error.isEmpty() && !state.contains("Error")));
        QTRY_COMPARE_WITH_TIMEOUT(collected.count(), int(error.isEmpty()), Wait);
        const bool binned = asked(rig).contains("dispose");
        QTRY_COMPARE_WITH_TIMEOUT(disposed.count(), int(binned && !setup.contains("dispose")),
                                  Wait);
        QCOMPARE(issuer.failCount(), int(binned));
        QCOMPARE(rig.dispenserService.cardAtRfid(), rest == "reader");
    }
    void tooManyFailures()
    {
        CardIssuingRig& rig = *m_rig;
        CardIssuer& issuer = rig.issuer;
        auto failWrite = [&] {
            rig.rfidService.failNextWrite("Lost");
            return run(issuer.issueCard(CardIssuingRig::newCard(), 60))->rejected();
        };
        for (int i = 0; i < 4; ++i)
            QVERIFY(failWrite());
        QTRY_COMPARE_WITH_TIMEOUT(issuer.reason(), QStringLiteral("Too many failures"), Wait);
        // Refused at once and nothing moves; a card at the reader changes nothing.
        rig.requestLog.clear();
        const QString refused = run(issuer.prepareCard())->value.error + ","
            + run(issuer.issueCard(CardIssuingRig::newCard(), 60))->value.error;
        QCOMPARE(refused + asked(rig), "Too many failures,Too many failures");
        arrange(rig, "field");
        QCOMPARE(issuer.reason(), QStringLiteral("Too many failures"));
        // A current card is issued in any state: a fifth disposal counts no further.
        QVERIFY(issuer.currCard() && failWrite());
        QCOMPARE(issuer.failCount(), 4);
        QVERIFY(run(rig.rfid.disable())->resolved());
        // Opening the door clears the failures, and so do a card written and a dispenser
        // gone inactive.
        rig.dispenserService.setDoorOpen(true);
        QTRY_COMPARE_WITH_TIMEOUT(issuer.failCount(), 0, Wait);
        rig.dispenserService.setDoorOpen(false);
        QTRY_COMPARE_WITH_TIMEOUT(issuer.state(), CardIssuer::Ready, Wait);
        QVERIFY(failWrite());
        QVERIFY(run(issuer.issueCard(CardIssuingRig::newCard(), 60))->resolved());
        QCOMPARE(issuer.failCount(), 0);
        QVERIFY(failWrite());
        rig.dispenserService.setActive(false);
        QTRY_COMPARE_WITH_TIMEOUT(issuer.failCount(), 0, Wait);
    }
    void manyCardsInARowLeaveNothingBehind()
    {
        CardIssuingRig& rig = *m_rig;
        CardIssuer& issuer = rig.issuer;
        RuntimeCensus census;
        // As the terminal runs it: issue, then prepare the next card.
        auto round = [&] {
            rig.requestLog.clear();
            const bool ok = run(issuer.issueCard(CardIssuingRig::newCard(), 60))->resolved()
                && run(issuer.prepareCard())->resolved();
            return ok ? asked(rig) : QStringLiteral("failed");
        };
        QCOMPARE(round(), Issue + " issue enable disable");
        const QString usual = round();
        QCOMPARE(usual, Issue.mid(6) + " issue enable disable");
        QTest::qWait(50);
        const auto standing = [&] {
            QList<qint64> counts {census.objects(), rig.mqtt.subscriptionCount(),
                                  rig.mqtt.pendingWaits(),
                                  rig.mqtt.receiverCount(SIGNAL(received(QByteArray, QByteArray))),
                                  rig.mqtt.receiverCount(SIGNAL(connected()))};
            for (QObject* object : std::initializer_list<QObject*> {&rig.mqtt, &rig.dispenser,
                                                                    &rig.rfid, &rig.issuer})
                counts << QAbstractEventDispatcher::instance()->registeredTimers(object).size();
            return counts;
        };
        const QList<qint64> before = standing();
        for (int n = 3; n <= 20; ++n)
            QCOMPARE(round(), usual);
        QTRY_COMPARE_WITH_TIMEOUT(standing(), before, Wait);
        QCOMPARE(rig.dispenserService.takenCount(), 20);
        // Request ids went on counting from 1, one by one, without a gap or a repeat.
        for (const auto& requests : {rig.dispenserService.requests(), rig.rfidService.requests()}) {
            for (int i = 0; i < requests.size(); ++i)
                QCOMPARE(requests[i].id, QString::number(i + 1));
        }
    }

private:
    TestBroker m_broker;
    std::unique_ptr<CardIssuingRig> m_rig;
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestCardIssuer)
#include "tst_cardissuer.moc"
