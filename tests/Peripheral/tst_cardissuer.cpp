#include "CardIssuingRig.h"
#include "MessageCapture.h"
#include "ObjectCensus.h"
#include "Settlement.h"
#include "TestBroker.h"

#include <QAbstractEventDispatcher>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::CardIssuer;
using Outcome = Settlement<CardIssuer::Result>;

namespace {
constexpr int Wait = 20000;
const QStringList Issue {"dispenser/issue",  "rfid/enable",     "rfid/disable", "rfid/enable",
                         "rfid/card/create", "rfid/card/write", "rfid/disable", "dispenser/eject"};

template<class R>
typename Settlement<R>::Ptr run(const Deferred<R>& chain)
{
    auto outcome = Settlement<R>::of(chain);
    outcome->wait(Wait);
    return outcome;
}

// Puts the devices in the state a row names: "dispenser/<method>" and "rfid/<method>"
// refuse that request with the text "No"; the other words are conditions.
void arrange(CardIssuingRig& rig, const QString& setup)
{
    DispenserService& dispenser = rig.dispenserService;
    const QJsonObject no {{"code", 8}, {"description", "No"}, {"what", "No"}};
    for (const QString& word : setup.split(' ', Qt::SkipEmptyParts)) {
        const QString method = word.mid(word.indexOf('/'));
        if (word.startsWith("dispenser/"))
            dispenser.setReply(method, {{"completed", false}, {"error", no}});
        else if (word.startsWith("rfid/"))
            rig.rfidService.setReply(method, {{"completed", false}, {"error", no}});
        else if (word == "mouth")
            run(rig.dispenser.enableAccept()), dispenser.insertCard();
        else if (word == "field")
            rig.rfidService.placeCard("04BEEF"), run(rig.rfid.enable(false));
        else if (word == "rfid")
            dispenser.placeCardAtRfid();
        else if (word == "inactive")
            dispenser.setActive(false);
        else if (word == "jammed")
            dispenser.setJammed(true);
        else if (word == "door")
            dispenser.setDoorOpen(true);
        else if (word == "kept")
            dispenser.setTakeDelay(DispenserService::NeverTaken);
        else if (word == "fault")
            rig.rfidService.setFault("Broken");
        else if (word == "updating")
            rig.rfidService.setUpdating(true);
    }
    QTest::qWaitFor([&] {
        return rig.dispenser.cardInRfid() == dispenser.cardAtRfid()
            && rig.dispenser.cardInMouth() == dispenser.cardInMouth()
            && rig.dispenser.active() == dispenser.isActive();
    });
    rig.requestLog.clear();
}
} // namespace

// The card issuer driving the simulated dispenser and reader through a real broker.
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
        m_rig
            = std::make_unique<CardIssuingRig>(m_broker, QStringLiteral("gate%1").arg(++m_serial));
        QVERIFY(m_rig->start());
    }
    void cleanup() { m_rig.reset(); }

    void state_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("reason");
        QTest::newRow("door before inactive") << "inactive door" << 3 << "Cartridge door open";
        QTest::newRow("update before door") << "door updating" << 0 << "RFID updating";
        QTest::newRow("reader before door") << "door fault" << 3 << "RFID error";
        QTest::newRow("inactive") << "inactive" << 3 << "Dispenser error";
        QTest::newRow("jammed before busy") << "rfid jammed" << 3 << "Dispenser jammed";
        QTest::newRow("RFID before mouth") << "mouth rfid" << 1 << "Card on RFID";
        QTest::newRow("mouth") << "mouth" << 1 << "Card in Mouth";
        QTest::newRow("field") << "field" << 1 << "Card on RFID";
    }
    void state()
    {
        QFETCH(QString, setup);
        QFETCH(int, state);
        QFETCH(QString, reason);
        arrange(*m_rig, setup);
        CardIssuer& issuer = m_rig->issuer;
        QTRY_VERIFY_WITH_TIMEOUT(issuer.state() == state && issuer.reason() == reason, Wait);
        QCOMPARE(issuer.property("stateName").toString(),
                 QStringList({"Init", "Busy", "Ready", "Error"}).at(state));
        // The current card follows the reader's field.
        QCOMPARE(issuer.currCard() ? issuer.currCard()->uid() : "",
                 setup == "field" ? "04BEEF" : "");
        QSignalSpy collected(&issuer, &CardIssuer::cardCollected);
        if (setup == "mouth") {
            // A card taken that was never the issuer's.
            QVERIFY(m_rig->dispenserService.takeCard());
            QTRY_COMPARE_WITH_TIMEOUT(collected.count(), 1, Wait);
            QVERIFY(!collected[0][0].value<Tag::Ptr>());
        }
    }

    void issue_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("logged"); // warnings and errors after the first
        const QStringList write = Issue.mid(0, 6) << "dispenser/dispose";
        const QStringList kept = QStringList(Issue) << "dispenser/accept";
        const QString noRf = "WARN: RFID disable failed : No";
        QTest::newRow("empty reader") << "" << Issue << "" << QStringList();
        QTest::newRow("card at the reader")
            << "rfid" << QStringList(Issue.mid(1)) << ""
            << QStringList {"WARN: Card alaready present. Skipping."};
        QTest::newRow("card in the mouth")
            << "mouth" << QStringList(QStringList("dispenser/accept") + Issue.mid(1)) << ""
            << QStringList {"WARN: Card in mouth. Retracting."};
        QTest::newRow("RF stays on") << "rfid/disable" << Issue << "" << QStringList {noRf, noRf};
        QTest::newRow("issue") << "dispenser/issue" << QStringList(Issue.mid(0, 1))
                               << "Issue failed : No" << QStringList();
        QTest::newRow("accept") << "mouth dispenser/accept" << QStringList {"dispenser/accept"}
                                << "Accept failed : No"
                                << QStringList {"WARN: Card in mouth. Retracting."};
        QTest::newRow("read") << "rfid/enable"
                              << QStringList {"dispenser/issue", "rfid/enable", "dispenser/dispose"}
                              << "RFID enable failed : No" << QStringList();
        QTest::newRow("create") << "rfid/card/create"
                                << (QStringList(Issue.mid(0, 5)) << "dispenser/dispose")
                                << "Create card failed : No" << QStringList();
        QTest::newRow("write") << "rfid/card/write" << write << "Write card failed : No"
                               << QStringList();
        QTest::newRow("write, dispose")
            << "rfid/card/write dispenser/dispose" << write << "Write card failed : No"
            << QStringList {"ERROR: Dispose failed : No"};
        QTest::newRow("eject") << "dispenser/eject" << Issue << "Failed to eject card : No"
                               << QStringList();
        QTest::newRow("not collected")
            << "kept" << kept << "Card was not collected" << QStringList();
        QTest::newRow("not collected, retract")
            << "kept dispenser/accept" << kept << "Card was not collected"
            << QStringList {"ERROR: Accept failed : No"};
        QTest::newRow("no content")
            << "null" << QStringList() << "No card content to issue" << QStringList();
    }
    void issue()
    {
        QFETCH(QString, setup);
        QFETCH(QString, error);
        QFETCH(QStringList, logged);
        CardIssuingRig& rig = *m_rig;
        arrange(rig, setup);
        QSignalSpy collected(&rig.issuer, &CardIssuer::cardCollected);
        QSignalSpy disposed(&rig.issuer, &CardIssuer::cardDisposed);
        MessageCapture log;
        auto issued
            = run(rig.issuer.issueCard(setup == "null" ? Card::Ptr() : CardIssuingRig::newCard(),
                                       setup.startsWith("kept") ? 1 : 60));
        QCOMPARE(issued->rejected(), !error.isEmpty());
        QCOMPARE(issued->value.error, error);
        QVERIFY(!issued->value.card);
        QCOMPARE(issued->calls(), 1);
        QTEST(rig.requestLog, "requests");
        // Each failing step says so once, the first one decides.
        QStringList expected = logged.filter("WARN: ") + logged.filter("ERROR: ");
        if (!error.isEmpty())
            expected.insert(logged.filter("WARN: ").size(), "ERROR: " + error);
        if (setup != "null")
            expected.prepend("WARN: Card not present. Preparing.");
        QStringList lines
            = log.messages().filter(QRegularExpression("^\\[CardIssuer\\] (WARN|ERROR): "));
        QCOMPARE(lines.replaceInStrings("[CardIssuer] ", ""), expected);
        QTRY_COMPARE_WITH_TIMEOUT(collected.count(), int(error.isEmpty()), Wait);
        const bool binned
            = rig.requestLog.contains("dispenser/dispose") && !setup.contains("dispose");
        QTRY_COMPARE_WITH_TIMEOUT(disposed.count(), int(binned), Wait);
        QCOMPARE(rig.issuer.failCount(), int(rig.requestLog.contains("dispenser/dispose")));
        // A card not collected is back at the reader, to be used again; one not ejected or
        // not disposed of stays there.
        QCOMPARE(rig.dispenserService.cardAtRfid(),
                 QStringList({"kept", "dispenser/eject", "rfid/card/write dispenser/dispose"})
                     .contains(setup));
    }

    void tooManyFailures()
    {
        CardIssuingRig& rig = *m_rig;
        auto failWrite = [&rig] {
            rig.rfidService.failNextWrite("Lost");
            return run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->rejected();
        };
        for (int i = 0; i < 4; ++i)
            QVERIFY(failWrite());
        QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.reason(), QStringLiteral("Too many failures"), Wait);
        QCOMPARE(rig.issuer.failCount(), 4);

        // Refused at once, unlogged, and nothing moves; a card at the reader changes nothing.
        MessageCapture log;
        rig.requestLog.clear();
        auto prepared = run(rig.issuer.prepareCard());
        auto issued = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
        QCOMPARE(prepared->value.error + issued->value.error, "Too many failuresToo many failures");
        QVERIFY(prepared->rejected() && issued->rejected() && rig.requestLog.isEmpty());
        QCOMPARE(log.messages(QtCriticalMsg), QStringList());
        arrange(rig, "field");
        QCOMPARE(rig.issuer.reason(), QStringLiteral("Too many failures"));
        // A current card is issued in any state: a fifth disposal counts no further.
        QVERIFY(rig.issuer.currCard());
        QVERIFY(failWrite());
        QCOMPARE(rig.issuer.failCount(), 4);
        QVERIFY(run(rig.rfid.disable())->resolved());

        // Opening the door clears the failures.
        log.clear();
        rig.dispenserService.setDoorOpen(true);
        QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.failCount(), 0, Wait);
        rig.dispenserService.setDoorOpen(false);
        QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.state(), CardIssuer::Ready, Wait);
        QCOMPARE(
            log.messages(QtInfoMsg).filter(QRegularExpression("^\\[CardIssuer\\] (State|Reset)")),
            QStringList({"[CardIssuer] State changed : (3) Error (reason=Cartridge door open)",
                         "[CardIssuer] Reset fail counter : 0",
                         "[CardIssuer] State changed : (2) Ready "}));
        QVERIFY(log.messages(QtDebugMsg)
                    .contains("[CardIssuer] checkState() : Dispenser(true) "
                              "RFID(Idle) cardInRfid(false) cardInMouth(false)"));

        // So do a card written and a dispenser gone inactive.
        QVERIFY(failWrite());
        QVERIFY(run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->resolved());
        QCOMPARE(rig.issuer.failCount(), 0);
        QVERIFY(failWrite());
        rig.dispenserService.setActive(false);
        QTRY_COMPARE_WITH_TIMEOUT(rig.issuer.failCount(), 0, Wait);
    }

    void manyCardsInARowLeaveNothingBehind()
    {
        CardIssuingRig& rig = *m_rig;
        ObjectCensus census;
        const QList<QObject*> lasting {&rig.mqtt, &rig.dispenser, &rig.rfid, &rig.issuer};
        auto timers = [&lasting] {
            int count = 0;
            for (QObject* object : lasting)
                count += QAbstractEventDispatcher::instance()->registeredTimers(object).size();
            return count;
        };
        // As the terminal runs it: issue, then prepare the next card.
        auto round = [&rig] {
            rig.requestLog.clear();
            const bool ok = run(rig.issuer.issueCard(CardIssuingRig::newCard(), 60))->resolved()
                && run(rig.issuer.prepareCard())->resolved();
            return ok ? rig.requestLog.join(' ') : QStringLiteral("failed");
        };
        QCOMPARE(round(), (Issue + Issue.mid(0, 3)).join(' '));
        const QString usual = round();
        QCOMPARE(usual, (Issue.mid(1) + Issue.mid(0, 3)).join(' '));
        QTest::qWait(50);
        const auto standing = [&] {
            return QList<qint64>({census.alive(), timers(), rig.mqtt.subscriptionCount(),
                                  rig.mqtt.pendingWaits(),
                                  rig.mqtt.receiverCount(SIGNAL(received(QByteArray, QByteArray))),
                                  rig.mqtt.receiverCount(SIGNAL(connected()))});
        };
        const QList<qint64> before = standing();
        for (int n = 3; n <= 20; ++n)
            QCOMPARE(round(), usual);
        QTRY_COMPARE_WITH_TIMEOUT(standing(), before, Wait);
        QCOMPARE(rig.dispenserService.takenCount(), 20);
        // Request ids went on counting, one by one, without a gap or a repeat.
        for (const SimulatedService* service :
             {static_cast<SimulatedService*>(&rig.dispenserService),
              static_cast<SimulatedService*>(&rig.rfidService)}) {
            const auto requests = service->requests();
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
