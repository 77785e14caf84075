// The device-service simulator on a real broker, seen through the terminal's own
// clients where they exist and through the raw JSON elsewhere.

#include "Board.h"
#include "BoardService.h"
#include "CardIssuer.h"
#include "ChildProcess.h"
#include "ClockService.h"
#include "ControlCommands.h"
#include "Dispenser.h"
#include "DispenserService.h"
#include "InspectorService.h"
#include "KVRTTerminal.h"
#include "KVRTv1Card.h"
#include "MqttClient.h"
#include "NetworkService.h"
#include "RFID.h"
#include "RfidService.h"
#include "Simulator.h"
#include "TerminalService.h"
#include "TestBroker.h"
#include "TestPeer.h"
#include "Transaction.h"
#include "UpdateService.h"
#include "ValidatorRfid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {
constexpr int Wait = 15000;
const QString Program = QStringLiteral(KVRT_BINARY_DIR "/tools/kvrt-simulator");

QJsonObject command(const QString& name, const QJsonObject& arguments = QJsonObject())
{
    QJsonObject json = arguments;
    json.insert(QStringLiteral("command"), name);
    return json;
}

// The terminal's side of card issuing: one connection, both device clients and the issuer.
struct IssuingClients
{
    explicit IssuingClients(const TestBroker& broker)
        : dispenser(mqtt, QStringLiteral("ovant/dispenser"))
        , rfid(mqtt, QStringLiteral("ovant/rfid"))
        , issuer(rfid, dispenser)
    {
        mqtt.setHostname(broker.host());
        mqtt.setPort(broker.port());
        mqtt.setClientId(QStringLiteral("tst_simulator_issuing"));
        mqtt.connect();
    }

    manager::MqttClient mqtt;
    manager::Dispenser dispenser;
    manager::RFID rfid;
    manager::CardIssuer issuer;
};

// Where a deferred result ended.
struct Outcome
{
    bool settled = false;
    bool resolved = false;
    QString error;
    Tag::Ptr card;
};

void follow(const Deferred<manager::CardIssuer::Result>& deferred, Outcome* outcome)
{
    deferred
        .done([outcome](const manager::CardIssuer::Result& result) {
            outcome->settled = true;
            outcome->resolved = true;
            outcome->card = result.card;
        })
        .fail([outcome](const manager::CardIssuer::Result& result) {
            outcome->settled = true;
            outcome->error = result.error;
        });
}

KVRTv1Card::Ptr entryCard()
{
    auto card = KVRTv1Card::Ptr::create();
    card->setCustomsId(1);
    card->setStatus(QStringLiteral("active"));
    card->incrUsageCounter(1);
    card->addUsageLog(QStringLiteral("entry"), QStringLiteral("K00000001"), QStringLiteral("gate"));
    return card;
}
} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private:
    Simulator::Options options(const QStringList& services = {}) const
    {
        Simulator::Options o;
        o.host = m_broker->host();
        o.port = m_broker->port();
        o.services = services;
        o.motionDelay = 20;
        o.takeDelay = -1;
        return o;
    }

    // A peer that records everything on the broker.
    std::unique_ptr<TestPeer> observer()
    {
        auto peer = std::make_unique<TestPeer>(*m_broker);
        if (!peer->connectToBroker() || !peer->subscribe(QStringLiteral("#"), 1))
            return nullptr;
        return peer;
    }

    static QJsonObject last(const TestPeer& peer, const QString& topic)
    {
        return peer.last(topic).json();
    }

    std::unique_ptr<TestBroker> m_broker;

private Q_SLOTS:
    void init()
    {
        // A broker of its own for every case: no retained state leaks between them.
        m_broker = std::make_unique<TestBroker>();
        QVERIFY(m_broker->start());
    }

    void cleanup() { m_broker.reset(); }

    void issuesACardThroughTheWholeSequence()
    {
        Simulator::Options o = options({QStringLiteral("dispenser"), QStringLiteral("rfid")});
        o.takeDelay = 100;
        Simulator sim(o);
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        IssuingClients terminal(*m_broker);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.state(), manager::CardIssuer::Ready, Wait);
        QSignalSpy collected(&terminal.issuer, &manager::CardIssuer::cardCollected);

        Outcome prepared;
        follow(terminal.issuer.prepareCard(), &prepared);
        QTRY_VERIFY_WITH_TIMEOUT(prepared.settled, Wait);
        QVERIFY2(prepared.resolved, qPrintable(prepared.error));
        QVERIFY(sim.dispenser()->cardAtRfid());
        const QString uid = sim.dispenser()->cardAtRfidUid();
        QVERIFY(prepared.card);
        QCOMPARE(prepared.card->uid(), uid);

        const KVRTv1Card::Ptr card = entryCard();
        Outcome issued;
        follow(terminal.issuer.issueCard(card, 30), &issued);
        QTRY_VERIFY_WITH_TIMEOUT(issued.settled, Wait);
        QVERIFY2(issued.resolved, qPrintable(issued.error));
        QCOMPARE(collected.count(), 1);

        // The reader kept what was written on that very card.
        const QJsonObject content = sim.rfid()->cardContent(uid);
        QCOMPARE(content.value(QStringLiteral("template")).toString(), KVRTv1Card::Name);
        QCOMPARE(content.value(QStringLiteral("data")).toObject(), card->data());
        QCOMPARE(sim.dispenser()->takenCount(), 1);
        QCOMPARE(sim.dispenser()->cardsInCartridge(), 99);
        QVERIFY(!sim.dispenser()->cardInMouth());
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.state(), manager::CardIssuer::Ready, Wait);
    }

    void theUserTakesTheCardOnCommand()
    {
        Simulator sim(options({QStringLiteral("dispenser"), QStringLiteral("rfid")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        IssuingClients terminal(*m_broker);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.state(), manager::CardIssuer::Ready, Wait);

        // Nobody takes a card by himself: the card waits in the mouth.
        QCOMPARE(
            sim.execute(command(QStringLiteral("take-card"))).value(QStringLiteral("ok")).toBool(),
            false);
        Outcome issued;
        follow(terminal.issuer.issueCard(entryCard(), 60), &issued);
        QTRY_VERIFY_WITH_TIMEOUT(terminal.dispenser.cardInMouth(), Wait);
        QVERIFY(!issued.settled);

        const QJsonObject reply = sim.execute(command(QStringLiteral("take-card")));
        QVERIFY(reply.value(QStringLiteral("ok")).toBool());
        QTRY_VERIFY_WITH_TIMEOUT(issued.settled, Wait);
        QVERIFY2(issued.resolved, qPrintable(issued.error));
        QTRY_VERIFY_WITH_TIMEOUT(!terminal.dispenser.cardInMouth(), Wait);
    }

    void dispenserFaultsReachTheClients()
    {
        Simulator sim(options({QStringLiteral("dispenser"), QStringLiteral("rfid")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        IssuingClients terminal(*m_broker);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.state(), manager::CardIssuer::Ready, Wait);

        QVERIFY(sim.execute(command(QStringLiteral("jam"))).value(QStringLiteral("ok")).toBool());
        QTRY_VERIFY_WITH_TIMEOUT(terminal.dispenser.isJammed(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.reason(), QStringLiteral("Dispenser jammed"),
                                  Wait);
        QCOMPARE(terminal.issuer.state(), manager::CardIssuer::Error);
        sim.execute(
            command(QStringLiteral("jam"), {{QStringLiteral("value"), QStringLiteral("off")}}));
        QTRY_VERIFY_WITH_TIMEOUT(!terminal.dispenser.isJammed(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.state(), manager::CardIssuer::Ready, Wait);

        sim.execute(
            command(QStringLiteral("door"), {{QStringLiteral("value"), QStringLiteral("open")}}));
        QTRY_VERIFY_WITH_TIMEOUT(terminal.dispenser.isDoorOpen(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.reason(), QStringLiteral("Cartridge door open"),
                                  Wait);
        sim.execute(
            command(QStringLiteral("door"), {{QStringLiteral("value"), QStringLiteral("close")}}));
        QTRY_VERIFY_WITH_TIMEOUT(!terminal.dispenser.isDoorOpen(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.state(), manager::CardIssuer::Ready, Wait);

        // An empty cartridge refuses to issue.
        sim.execute(command(QStringLiteral("cartridge"), {{QStringLiteral("value"), 0}}));
        Outcome prepared;
        follow(terminal.issuer.prepareCard(), &prepared);
        QTRY_VERIFY_WITH_TIMEOUT(prepared.settled, Wait);
        QVERIFY(!prepared.resolved);
        QVERIFY2(prepared.error.startsWith(QStringLiteral("Issue failed : ")),
                 qPrintable(prepared.error));

        // A dispenser that went away is inactive for the terminal.
        sim.execute(command(QStringLiteral("offline"),
                            {{QStringLiteral("service"), QStringLiteral("dispenser")}}));
        QTRY_VERIFY_WITH_TIMEOUT(!terminal.dispenser.active(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.reason(), QStringLiteral("Dispenser error"),
                                  Wait);
        sim.execute(command(QStringLiteral("online"),
                            {{QStringLiteral("service"), QStringLiteral("dispenser")}}));
        QTRY_VERIFY_WITH_TIMEOUT(terminal.dispenser.active(), Wait);
    }

    void aFailedWriteDisposesOfTheCard()
    {
        Simulator sim(options({QStringLiteral("dispenser"), QStringLiteral("rfid")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        IssuingClients terminal(*m_broker);
        QTRY_COMPARE_WITH_TIMEOUT(terminal.issuer.state(), manager::CardIssuer::Ready, Wait);
        QSignalSpy disposed(&terminal.issuer, &manager::CardIssuer::cardDisposed);

        QVERIFY(sim.execute(command(QStringLiteral("fail-write"),
                                    {{QStringLiteral("value"),
                                      QStringLiteral("Card removed too early")}}))
                    .value(QStringLiteral("ok"))
                    .toBool());
        Outcome issued;
        follow(terminal.issuer.issueCard(entryCard(), 30), &issued);
        QTRY_VERIFY_WITH_TIMEOUT(issued.settled, Wait);
        QVERIFY(!issued.resolved);
        QCOMPARE(issued.error, QStringLiteral("Write card failed : Card removed too early"));
        QTRY_COMPARE_WITH_TIMEOUT(disposed.count(), 1, Wait);
        QCOMPARE(sim.dispenser()->disposedCount(), 1);

        // Only the next write failed.
        Outcome again;
        follow(terminal.issuer.issueCard(entryCard(), 30), &again);
        QTRY_VERIFY_WITH_TIMEOUT(terminal.dispenser.cardInMouth(), Wait);
        sim.execute(command(QStringLiteral("take-card")));
        QTRY_VERIFY_WITH_TIMEOUT(again.settled, Wait);
        QVERIFY2(again.resolved, qPrintable(again.error));
    }

    void offlineServicesReportServiceFalse_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("statusTopic");
        QTest::newRow("terminal") << "terminal"
                                  << "ovant/blm/status";
        QTest::newRow("board") << "board"
                               << "ovant/board/status";
        QTest::newRow("inspector") << "inspector"
                                   << "ovant/inspector/status";
        QTest::newRow("network") << "network"
                                 << "ovant/network/status";
        QTest::newRow("clock") << "clock"
                               << "ovant/device/clock/ntp/status";
        QTest::newRow("update") << "update"
                                << "ovant/device/status";
        QTest::newRow("dispenser") << "dispenser"
                                   << "ovant/dispenser/status";
        QTest::newRow("rfid") << "rfid"
                              << "ovant/rfid/status";
    }

    void offlineServicesReportServiceFalse()
    {
        QFETCH(QString, service);
        QFETCH(QString, statusTopic);
        Simulator sim(options());
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        QTRY_VERIFY_WITH_TIMEOUT(last(*peer, statusTopic).value(QStringLiteral("service")).toBool(),
                                 Wait);

        QVERIFY(
            sim.execute(command(QStringLiteral("offline"), {{QStringLiteral("service"), service}}))
                .value(QStringLiteral("ok"))
                .toBool());
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, statusTopic),
                                  (QJsonObject {{QStringLiteral("service"), false}}), Wait);

        // A service that is down answers no "get" either.
        peer->clear();
        peer->publish(statusTopic + QStringLiteral("/get"), QByteArray("{}"));
        QTest::qWait(300);
        QCOMPARE(peer->count(statusTopic), 0);

        sim.execute(command(QStringLiteral("online"), {{QStringLiteral("service"), service}}));
        QTRY_VERIFY_WITH_TIMEOUT(last(*peer, statusTopic).value(QStringLiteral("service")).toBool(),
                                 Wait);
        QVERIFY(last(*peer, statusTopic).size() > 1);
    }

    void terminalStatusCommands_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<bool>("init");
        QTest::addColumn<bool>("hasRfid");
        QTest::addColumn<bool>("hasObu");
        QTest::addColumn<bool>("hasRoute");
        QTest::addColumn<bool>("hasNtp");
        QTest::addColumn<QString>("readerState");
        QTest::newRow("all good") << "ok" << false << true << true << true << true << "Idle";
        QTest::newRow("init") << "init" << true << true << true << true << true << "Idle";
        QTest::newRow("no RFID") << "no-rfid" << false << false << true << true << true << "Error";
        QTest::newRow("RFID updating")
            << "rfid-updating" << false << false << true << true << true << "Updating";
        QTest::newRow("no OBU") << "no-obu" << false << true << false << true << true << "Idle";
        QTest::newRow("no route") << "no-route" << false << true << true << false << true << "Idle";
        QTest::newRow("NTP") << "ntp-unsync" << false << true << true << true << false << "Idle";
    }

    void terminalStatusCommands()
    {
        QFETCH(QString, condition);
        QFETCH(bool, init);
        QFETCH(bool, hasRfid);
        QFETCH(bool, hasObu);
        QFETCH(bool, hasRoute);
        QFETCH(bool, hasNtp);
        QFETCH(QString, readerState);

        Simulator sim(options({QStringLiteral("terminal"), QStringLiteral("clock")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/status")));
        const auto state = [&] {
            return last(*peer, QStringLiteral("ovant/blm/status"))
                .value(QStringLiteral("state"))
                .toObject();
        };
        // Start from another condition, so that the command changes what is reported.
        const QString other = condition == QLatin1String("no-obu") ? QStringLiteral("ok")
                                                                   : QStringLiteral("no-obu");
        QVERIFY(sim.execute(command(QStringLiteral("terminal"), {{QStringLiteral("value"), other}}))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QTRY_COMPARE_WITH_TIMEOUT(state().value(QStringLiteral("hasObu")).toBool(),
                                  other == QLatin1String("ok"), Wait);
        peer->clear();
        const QJsonObject reply = sim.execute(
            command(QStringLiteral("terminal"), {{QStringLiteral("value"), condition}}));
        QVERIFY(reply.value(QStringLiteral("ok")).toBool());
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/status")));

        const QJsonObject status = last(*peer, QStringLiteral("ovant/blm/status"));
        QCOMPARE(status.value(QStringLiteral("service")).toBool(), true);
        QCOMPARE(state().value(QStringLiteral("hasObu")).toBool(), hasObu);
        QCOMPARE(state().value(QStringLiteral("init")).toBool(), init);
        QCOMPARE(state().value(QStringLiteral("hasRfid")).toBool(), hasRfid);
        QCOMPARE(state().value(QStringLiteral("hasRoute")).toBool(), hasRoute);
        QCOMPARE(state().value(QStringLiteral("hasNtp")).toBool(), hasNtp);
        // What the terminal client shows besides: route, vehicle and the reader's state.
        QCOMPARE(status.value(QStringLiteral("route"))
                     .toObject()
                     .value(QStringLiteral("axisName"))
                     .toString()
                     .isEmpty(),
                 !hasRoute);
        QCOMPARE(status.value(QStringLiteral("obu"))
                     .toObject()
                     .value(QStringLiteral("vehicleUuid"))
                     .toString()
                     .isEmpty(),
                 !hasObu);
        ValidatorRfid reader;
        reader.fromJson(status.value(QStringLiteral("device"))
                            .toObject()
                            .value(QStringLiteral("rfid"))
                            .toObject());
        QCOMPARE(reader.state(), readerState);

        // The clock tells the same story as the terminal.
        const auto clock
            = [&] { return last(*peer, QStringLiteral("ovant/device/clock/ntp/status")); };
        peer->publish(QStringLiteral("ovant/device/clock/ntp/status/get"), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(clock().contains(QStringLiteral("synced"))
                                     && clock().value(QStringLiteral("synced")).toBool() == hasNtp,
                                 Wait);
    }

    void terminalClientSeesEachCondition()
    {
        Simulator sim(options({QStringLiteral("terminal")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        manager::MqttClient mqtt;
        mqtt.setHostname(m_broker->host());
        mqtt.setPort(m_broker->port());
        manager::KVRTTerminal terminal(mqtt, QStringLiteral("ovant/blm"));
        mqtt.connect();
        QTRY_COMPARE_WITH_TIMEOUT(terminal.status(), QStringLiteral("online"), Wait);
        QCOMPARE(terminal.reasonCode(), QString());
        QCOMPARE(terminal.route(), sim.terminal()->route());
        QVERIFY(!terminal.version().isEmpty());

        const QList<QPair<QString, QPair<QString, QString>>> expected {
            {QStringLiteral("no-rfid"), {QStringLiteral("online"), QStringLiteral("#0004")}},
            {QStringLiteral("rfid-updating"), {QStringLiteral("online"), QStringLiteral("#0003")}},
            {QStringLiteral("no-obu"), {QStringLiteral("online"), QStringLiteral("#0005")}},
            {QStringLiteral("no-route"),
             {QStringLiteral("out-of-service"), QStringLiteral("#0006")}},
            {QStringLiteral("ntp-unsync"), {QStringLiteral("online"), QStringLiteral("#0007")}},
            {QStringLiteral("ok"), {QStringLiteral("online"), QString()}},
        };
        for (const auto& step : expected) {
            sim.execute(
                command(QStringLiteral("terminal"), {{QStringLiteral("value"), step.first}}));
            QTRY_COMPARE_WITH_TIMEOUT(terminal.reasonCode(), step.second.second, Wait);
            QCOMPARE(terminal.status(), step.second.first);
        }
        sim.execute(command(QStringLiteral("terminal"),
                            {{QStringLiteral("value"), QStringLiteral("init")}}));
        QTRY_COMPARE_WITH_TIMEOUT(terminal.status(), QStringLiteral("init"), Wait);
        sim.execute(command(QStringLiteral("offline"),
                            {{QStringLiteral("service"), QStringLiteral("terminal")}}));
        QTRY_COMPARE_WITH_TIMEOUT(terminal.reasonCode(), QStringLiteral("#0002"), Wait);
        sim.execute(command(QStringLiteral("online"),
                            {{QStringLiteral("service"), QStringLiteral("terminal")}}));
        sim.execute(
            command(QStringLiteral("terminal"), {{QStringLiteral("value"), QStringLiteral("ok")}}));
        QTRY_COMPARE_WITH_TIMEOUT(terminal.reasonCode(), QString(), Wait);

        // The client switches the readers on; a scan then reaches it as a transaction.
        QList<QJsonObject> validated;
        connect(&terminal, &manager::KVRTTerminal::ticketValidated, this,
                [&validated](const Transaction& t) { validated.append(t.data()); });
        terminal.enableRfid();
        terminal.enableBarcode();
        QTRY_VERIFY_WITH_TIMEOUT(terminal.rfid()->enabled() && terminal.barcode()->enabled(), Wait);
        QVERIFY(sim.execute(command(QStringLiteral("scan"),
                                    {{QStringLiteral("ticket"), QStringLiteral("pass")},
                                     {QStringLiteral("result"), QStringLiteral("refused")},
                                     {QStringLiteral("reason"), 201}}))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QTRY_COMPARE_WITH_TIMEOUT(validated.size(), 1, Wait);
        const Transaction transaction(validated.first());
        QCOMPARE(transaction.valid(), false);
        QCOMPARE(transaction.type(), Transaction::CardPeriodPass);
        QCOMPARE(transaction.denyReasonId(), 201);
        terminal.disableRfid();
        QTRY_VERIFY_WITH_TIMEOUT(!terminal.rfid()->enabled(), Wait);
        QVERIFY(!sim.terminal()->rfidEnabled());
    }

    void readerAndScannerFollowTheEnableTopics()
    {
        Simulator sim(options({QStringLiteral("terminal")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        const auto device = [&] {
            return last(*peer, QStringLiteral("ovant/blm/status"))
                .value(QStringLiteral("device"))
                .toObject();
        };

        peer->publish(QStringLiteral("ovant/rfid/enable"),
                      QJsonObject {{QStringLiteral("autoread"), true}});
        QTRY_COMPARE_WITH_TIMEOUT(device()
                                      .value(QStringLiteral("rfid"))
                                      .toObject()
                                      .value(QStringLiteral("state"))
                                      .toInt(),
                                  int(TerminalService::Searching), Wait);
        peer->publish(QStringLiteral("ovant/barcode/enable"), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(device()
                                     .value(QStringLiteral("barcode"))
                                     .toObject()
                                     .value(QStringLiteral("enabled"))
                                     .toBool(),
                                 Wait);

        peer->publish(QStringLiteral("ovant/rfid/disable"), QByteArray());
        peer->publish(QStringLiteral("ovant/barcode/disable"), QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(device()
                                      .value(QStringLiteral("rfid"))
                                      .toObject()
                                      .value(QStringLiteral("state"))
                                      .toInt(),
                                  int(TerminalService::Idle), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(!device()
                                      .value(QStringLiteral("barcode"))
                                      .toObject()
                                      .value(QStringLiteral("enabled"))
                                      .toBool(),
                                 Wait);
        QVERIFY(!sim.terminal()->rfidEnabled());
    }

    void scannedTicketsCarryTransactions_data()
    {
        QTest::addColumn<QString>("ticket");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("valid");
        for (const QString& name : TicketFactory::typeNames()) {
            int type = 0;
            QVERIFY(TicketFactory::typeFromName(name, &type));
            QTest::addRow("%s valid", qPrintable(name)) << name << type << true;
            QTest::addRow("%s refused", qPrintable(name)) << name << type << false;
        }
    }

    void scannedTicketsCarryTransactions()
    {
        QFETCH(QString, ticket);
        QFETCH(int, type);
        QFETCH(bool, valid);
        Simulator sim(options({QStringLiteral("terminal")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        peer->publish(QStringLiteral("ovant/rfid/enable"),
                      QJsonObject {{QStringLiteral("autoread"), true}});
        peer->publish(QStringLiteral("ovant/barcode/enable"), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(sim.terminal()->rfidEnabled() && sim.terminal()->barcodeEnabled(),
                                 Wait);

        const QJsonObject reply
            = sim.execute(command(QStringLiteral("scan"),
                                  {{QStringLiteral("ticket"), ticket},
                                   {QStringLiteral("result"),
                                    valid ? QStringLiteral("valid") : QStringLiteral("refused")},
                                   {QStringLiteral("reason"), QStringLiteral("103")}}));
        QVERIFY2(reply.value(QStringLiteral("ok")).toBool(),
                 qPrintable(reply.value(QStringLiteral("error")).toString()));

        const bool barcode = type == 0;
        const QString topic = barcode ? QStringLiteral("ovant/blm/barcode/scanned")
                                      : QStringLiteral("ovant/blm/rfid/scanned");
        QVERIFY(peer->waitForMessages(topic));
        const Transaction transaction(
            last(*peer, topic).value(QStringLiteral("transaction")).toObject());
        QCOMPARE(transaction.valid(), valid);
        QCOMPARE(int(transaction.type()), type);
        QCOMPARE(transaction.denyReasonId(), valid ? 0 : 103);
        QVERIFY(!transaction.fareProduct().isEmpty());
        QVERIFY(!transaction.ticketId().isEmpty());
        const QVariantMap details = transaction.details();
        switch (type) {
        case Transaction::Barcode:
            QCOMPARE(details.value(QStringLiteral("fromStopGroupName")).toString(),
                     QStringLiteral("Port"));
            break;
        case Transaction::CardEPurse:
        case Transaction::CardCappingEPurse:
            QCOMPARE(details.value(QStringLiteral("deducted")).toDouble(), valid ? 1.2 : 0.0);
            QVERIFY(details.value(QStringLiteral("remaining")).toDouble() > 0);
            break;
        case Transaction::CardPeriodPass:
            QVERIFY(details.value(QStringLiteral("activationTimestamp")).toDateTime().isValid());
            QCOMPARE(details.value(QStringLiteral("remaining")).toInt(), valid ? 27 * 1440 : 0);
            break;
        case Transaction::CardStoredJourneys:
        case Transaction::CardCappingStoredJourneys:
        case Transaction::CardTransfer:
            QVERIFY(details.value(QStringLiteral("activationTimestamp")).toDateTime().isValid());
            QCOMPARE(details.value(QStringLiteral("remaining")).toInt() > 0, valid);
            break;
        default:
            break;
        }

        // A card is seen by the validator's reader while it is validated.
        if (!barcode) {
            QVERIFY(peer->waitForMessages(QStringLiteral("ovant/rfid/card/removed")));
            QCOMPARE(peer->count(QStringLiteral("ovant/rfid/card/found")), 1);
            QCOMPARE(last(*peer, QStringLiteral("ovant/rfid/card/found"))
                         .value(QStringLiteral("uid"))
                         .toString(),
                     transaction.ticketId());
        }
    }

    void scansNeedAWorkingEnabledReader()
    {
        Simulator sim(options({QStringLiteral("terminal"), QStringLiteral("rfid")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        const auto scan = [&](const QJsonObject& arguments) {
            return sim.execute(command(QStringLiteral("scan"), arguments));
        };

        QJsonObject reply = scan({{QStringLiteral("ticket"), QStringLiteral("barcode")}});
        QCOMPARE(reply.value(QStringLiteral("ok")).toBool(), false);
        QCOMPARE(reply.value(QStringLiteral("error")).toString(),
                 QStringLiteral("the barcode scanner is disabled"));
        reply = scan({{QStringLiteral("ticket"), QStringLiteral("epurse")}});
        QCOMPARE(reply.value(QStringLiteral("error")).toString(),
                 QStringLiteral("the RFID reader is disabled"));
        reply = scan({{QStringLiteral("ticket"), QStringLiteral("nonsense")}});
        QCOMPARE(reply.value(QStringLiteral("ok")).toBool(), false);

        // Forced, a disabled reader reads; a broken one never does.
        reply = scan({{QStringLiteral("ticket"), QStringLiteral("journeys")},
                      {QStringLiteral("force"), true}});
        QVERIFY(reply.value(QStringLiteral("ok")).toBool());
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/rfid/scanned")));
        sim.execute(command(QStringLiteral("terminal"),
                            {{QStringLiteral("value"), QStringLiteral("no-rfid")}}));
        reply = scan({{QStringLiteral("ticket"), QStringLiteral("journeys")},
                      {QStringLiteral("force"), true}});
        QCOMPARE(reply.value(QStringLiteral("error")).toString(),
                 QStringLiteral("the RFID reader is not operational"));

        // With the card-issuing reader played too, its card topics stay its own.
        QTest::qWait(600);
        QCOMPARE(peer->count(QStringLiteral("ovant/rfid/card/found")), 0);
        QCOMPARE(peer->count(QStringLiteral("ovant/blm/rfid/scanned")), 1);
    }

    void maintenanceBarcodesAndRetries()
    {
        Simulator sim(options({QStringLiteral("terminal")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        peer->publish(QStringLiteral("ovant/barcode/enable"), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(sim.terminal()->barcodeEnabled(), Wait);

        QVERIFY(sim.execute(command(QStringLiteral("maintenance"),
                                    {{QStringLiteral("kind"), QStringLiteral("both")}}))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/barcode/maintenance/scanned")));
        const QJsonObject barcode
            = last(*peer, QStringLiteral("ovant/blm/barcode/maintenance/scanned"));
        const QUrl obc(barcode.value(QStringLiteral("validator"))
                           .toObject()
                           .value(QStringLiteral("obc"))
                           .toString());
        QVERIFY(obc.isValid());
        QCOMPARE(obc.scheme(), QStringLiteral("mqtt"));
        const QJsonObject eth0 = barcode.value(QStringLiteral("network"))
                                     .toObject()
                                     .value(QStringLiteral("eth0"))
                                     .toObject();
        QCOMPARE(eth0.value(QStringLiteral("method")).toString(), QStringLiteral("manual"));
        for (const char* key : {"address", "netmask", "gateway", "dns0", "dns1"})
            QVERIFY2(!eth0.value(QLatin1String(key)).toString().isEmpty(), key);

        QCOMPARE(sim.execute(command(QStringLiteral("maintenance"),
                                     {{QStringLiteral("kind"), QStringLiteral("what")}}))
                     .value(QStringLiteral("ok"))
                     .toBool(),
                 false);
        QVERIFY(sim.execute(command(QStringLiteral("retry"))).value(QStringLiteral("ok")).toBool());
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/rfid/retry")));
    }

    void terminalConfiguration()
    {
        Simulator sim(options({QStringLiteral("terminal")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/config")));

        // The terminal client writes numbers and booleans; the service reports text.
        peer->clear();
        peer->publish(
            QStringLiteral("ovant/blm/config/set"),
            QJsonObject {{QStringLiteral("blm"),
                          QJsonObject {{QStringLiteral("obu_host"), QStringLiteral("obc2.local")},
                                       {QStringLiteral("obu_port"), 8883},
                                       {QStringLiteral("obu_username"), QString()},
                                       {QStringLiteral("obu_password"), QString()}}},
                         {QStringLiteral("validator"),
                          QJsonObject {{QStringLiteral("passbackTime"), 90},
                                       {QStringLiteral("qr_passback"), false}}}});
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/config")));
        QJsonObject config = last(*peer, QStringLiteral("ovant/blm/config"));
        QCOMPARE(config.value(QStringLiteral("blm"))
                     .toObject()
                     .value(QStringLiteral("obu_port"))
                     .toString(),
                 QStringLiteral("8883"));
        QCOMPARE(config.value(QStringLiteral("blm"))
                     .toObject()
                     .value(QStringLiteral("obu_host"))
                     .toString(),
                 QStringLiteral("obc2.local"));
        QCOMPARE(config.value(QStringLiteral("validator"))
                     .toObject()
                     .value(QStringLiteral("passbackTime"))
                     .toString(),
                 QStringLiteral("90"));
        QCOMPARE(config.value(QStringLiteral("validator"))
                     .toObject()
                     .value(QStringLiteral("qr_passback"))
                     .toString(),
                 QStringLiteral("false"));

        // A port of -1 means none; a bad value refuses the whole request.
        peer->clear();
        peer->publish(
            QStringLiteral("ovant/blm/config/set"),
            QJsonObject {{QStringLiteral("blm"), QJsonObject {{QStringLiteral("obu_port"), -1}}}});
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/config")));
        QCOMPARE(last(*peer, QStringLiteral("ovant/blm/config"))
                     .value(QStringLiteral("blm"))
                     .toObject()
                     .value(QStringLiteral("obu_port"))
                     .toString(),
                 QString());
        const QJsonObject before = sim.terminal()->configuration();
        peer->clear();
        peer->publish(
            QStringLiteral("ovant/blm/config/set"),
            QJsonObject {{QStringLiteral("blm"),
                          QJsonObject {{QStringLiteral("obu_host"), QStringLiteral("x")},
                                       {QStringLiteral("obu_port"), QStringLiteral("http")}}}});
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/config")));
        QCOMPARE(last(*peer, QStringLiteral("ovant/blm/config")), before);
        peer->publish(QStringLiteral("ovant/blm/config/set"), QByteArray("{ not json"));
        peer->clear();
        peer->publish(QStringLiteral("ovant/blm/config/get"), QByteArray("{ }"));
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/blm/config")));
        QCOMPARE(last(*peer, QStringLiteral("ovant/blm/config")), before);
    }

    void boardThroughItsClient()
    {
        Simulator sim(options({QStringLiteral("board")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        manager::MqttClient mqtt;
        mqtt.setHostname(m_broker->host());
        mqtt.setPort(m_broker->port());
        manager::Board board(mqtt, QStringLiteral("ovant/board"));
        mqtt.connect();
        QTRY_COMPARE_WITH_TIMEOUT(board.status(), QStringLiteral("online"), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(board.ignition(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(board.displayBrightness(), sim.board()->brightness(), Wait);
        QCOMPARE(board.info().value(QStringLiteral("hardwareId")).toString(),
                 QStringLiteral("KVB-0001A7"));

        QSignalSpy ignition(&board, &manager::Board::ignitionChanged);
        QVERIFY(sim.execute(command(QStringLiteral("ignition"),
                                    {{QStringLiteral("value"), QStringLiteral("off")}}))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!board.ignition(), Wait);
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/board/event")));
        const QJsonObject event = last(*peer, QStringLiteral("ovant/board/event"));
        QCOMPARE(event.value(QStringLiteral("name")).toString(), QStringLiteral("IgnitionChanged"));
        QCOMPARE(event.value(QStringLiteral("data")).toInt(), 0);
        QCOMPARE(last(*peer, QStringLiteral("ovant/board/status"))
                     .value(QStringLiteral("device"))
                     .toObject()
                     .value(QStringLiteral("ignition"))
                     .toBool(),
                 false);
        sim.execute(
            command(QStringLiteral("ignition"), {{QStringLiteral("value"), QStringLiteral("on")}}));
        QTRY_VERIFY_WITH_TIMEOUT(board.ignition(), Wait);

        sim.execute(command(QStringLiteral("temperature"), {{QStringLiteral("value"), 71.5}}));
        sim.execute(command(QStringLiteral("voltage"),
                            {{QStringLiteral("value"), QStringLiteral("11.8")}}));
        sim.execute(
            command(QStringLiteral("rtc"), {{QStringLiteral("value"), QStringLiteral("failed")}}));
        QTRY_COMPARE_WITH_TIMEOUT(board.temperature(), 71.5, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(board.voltage(), 11.8, Wait);
        QTRY_VERIFY_WITH_TIMEOUT(board.rtcFailed(), Wait);
        QCOMPARE(sim.execute(command(QStringLiteral("temperature"),
                                     {{QStringLiteral("value"), QStringLiteral("hot")}}))
                     .value(QStringLiteral("ok"))
                     .toBool(),
                 false);

        // The client's settings come back as the board's state.
        board.setDelayShutdownFor(120);
        board.setDisplayBrightness(35);
        board.setPeripheralPower(QStringLiteral("usbHub"), false);
        board.setAudioEnabled(false);
        QTRY_COMPARE_WITH_TIMEOUT(board.delayShutdownFor(), 120, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(board.displayBrightness(), 35, Wait);
        QTRY_VERIFY_WITH_TIMEOUT(!board.peripheralPower(QStringLiteral("usbHub")), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(!board.audioEnabled(), Wait);
        QVERIFY(board.peripheralPower(QStringLiteral("display")));
        board.setDisplayBrightnessMode(QStringLiteral("manual"));
        QTRY_COMPARE_WITH_TIMEOUT(board.displayBrightnessMode(), QStringLiteral("manual"), Wait);

        board.setLedValid();
        QTRY_COMPARE_WITH_TIMEOUT(sim.board()->ledPattern().value(QStringLiteral("repeat")).toInt(),
                                  3, Wait);
        board.setLedOff();
        QTRY_VERIFY_WITH_TIMEOUT(sim.board()->ledPattern().isEmpty(), Wait);
        board.playBuzzer(100, 200, 3);
        QTRY_COMPARE_WITH_TIMEOUT(sim.board()->lastBuzzer().value(QStringLiteral("repeat")).toInt(),
                                  3, Wait);

        sim.execute(command(QStringLiteral("offline"),
                            {{QStringLiteral("service"), QStringLiteral("board")}}));
        QTRY_COMPARE_WITH_TIMEOUT(board.status(), QStringLiteral("offline"), Wait);
        QCOMPARE(board.temperature(), 71.5);
    }

    void boardRefusesMalformedRequests()
    {
        Simulator sim(options({QStringLiteral("board")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);
        const int brightness = sim.board()->brightness();

        peer->publish(QStringLiteral("ovant/board/display/set"), QByteArray("garbage"));
        peer->publish(QStringLiteral("ovant/board/display/set"),
                      QJsonObject {{QStringLiteral("brightness"), QStringLiteral("bright")}});
        peer->publish(QStringLiteral("ovant/board/config/set"),
                      QJsonObject {{QStringLiteral("device"),
                                    QJsonObject {{QStringLiteral("delayShutdownFor"), -5}}}});
        peer->publish(QStringLiteral("ovant/board/power/set"),
                      QJsonObject {{QStringLiteral("toaster"), true}});
        peer->publish(
            QStringLiteral("ovant/board/led/play/request/5"),
            QJsonObject {{QStringLiteral("repeat"), 1},
                         {QStringLiteral("steps"),
                          QJsonArray {QJsonObject {{QStringLiteral("color"),
                                                    QJsonObject {{QStringLiteral("r"), 300}}}}}}});
        peer->publish(QStringLiteral("ovant/board/buzzer/play/request/6"), QByteArray("[1, 2]"));
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/board/led/play/response/5")));
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/board/buzzer/play/response/6")));
        QCOMPARE(last(*peer, QStringLiteral("ovant/board/led/play/response/5"))
                     .value(QStringLiteral("completed"))
                     .toBool(),
                 false);
        QCOMPARE(last(*peer, QStringLiteral("ovant/board/buzzer/play/response/6"))
                     .value(QStringLiteral("completed"))
                     .toBool(),
                 false);

        QCOMPARE(sim.board()->brightness(), brightness);
        QCOMPARE(sim.board()->delayShutdownFor(), 60);
        QVERIFY(sim.board()->ledPattern().isEmpty());
        // Still answering.
        peer->clear();
        peer->publish(QStringLiteral("ovant/board/power/get"), QByteArray());
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/board/power")));
        QVERIFY(
            !last(*peer, QStringLiteral("ovant/board/power")).contains(QStringLiteral("toaster")));
    }

    void networkClockUpdateAndInspector()
    {
        Simulator sim(options({QStringLiteral("network"), QStringLiteral("clock"),
                               QStringLiteral("update"), QStringLiteral("inspector")}));
        sim.network()->setReconnectDelay(20);
        sim.clock()->setSyncDelay(20);
        sim.update()->setCheckDelay(20);
        sim.update()->setStepDelay(20);
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);

        // Ethernet: a static configuration is taken and the interface comes up with it.
        const QJsonObject manual {{QStringLiteral("interface"), QStringLiteral("eth0")},
                                  {QStringLiteral("method"), QStringLiteral("manual")},
                                  {QStringLiteral("address"), QStringLiteral("192.0.2.40")},
                                  {QStringLiteral("netmask"), QStringLiteral("255.255.255.0")},
                                  {QStringLiteral("gateway"), QStringLiteral("192.0.2.1")},
                                  {QStringLiteral("dns0"), QStringLiteral("192.0.2.53")},
                                  {QStringLiteral("dns1"), QString()}};
        peer->publish(QStringLiteral("ovant/network/ethernet/config/set"), manual);
        const auto ethState
            = [&] { return last(*peer, QStringLiteral("ovant/network/ethernet/state")); };
        QTRY_COMPARE_WITH_TIMEOUT(ethState()
                                      .value(QStringLiteral("ipv4"))
                                      .toObject()
                                      .value(QStringLiteral("address"))
                                      .toString(),
                                  QStringLiteral("192.0.2.40"), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(ethState().value(QStringLiteral("stateStr")).toString(),
                                  QStringLiteral("connected"), Wait);
        QCOMPARE(last(*peer, QStringLiteral("ovant/network/ethernet/config"))
                     .value(QStringLiteral("method"))
                     .toString(),
                 QStringLiteral("manual"));
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/network/status"))
                                      .value(QStringLiteral("primaryConnection"))
                                      .toObject()
                                      .value(QStringLiteral("ipv4"))
                                      .toObject()
                                      .value(QStringLiteral("address"))
                                      .toString(),
                                  QStringLiteral("192.0.2.40"), Wait);
        // A bad mask, or another interface, changes nothing.
        QJsonObject bad = manual;
        bad.insert(QStringLiteral("netmask"), QStringLiteral("255.0.255.0"));
        bad.insert(QStringLiteral("address"), QStringLiteral("192.0.2.99"));
        peer->publish(QStringLiteral("ovant/network/ethernet/config/set"), bad);
        bad.insert(QStringLiteral("netmask"), QStringLiteral("255.255.255.0"));
        bad.insert(QStringLiteral("interface"), QStringLiteral("usb0"));
        peer->publish(QStringLiteral("ovant/network/ethernet/config/set"), bad);
        peer->clear();
        peer->publish(QStringLiteral("ovant/network/ethernet/config/get"), QByteArray("{}"));
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/network/ethernet/config")));
        QCOMPARE(last(*peer, QStringLiteral("ovant/network/ethernet/config"))
                     .value(QStringLiteral("address"))
                     .toString(),
                 QStringLiteral("192.0.2.40"));

        // Clock: a sync request reports unsynchronised, then synchronised.
        peer->clear();
        peer->publish(QStringLiteral("ovant/device/clock/ntp/sync"), QByteArray());
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/device/clock/ntp/status"), 2));
        const QList<TestPeer::Message> syncs
            = peer->messages(QStringLiteral("ovant/device/clock/ntp/status"));
        QCOMPARE(syncs.at(0).json().value(QStringLiteral("synced")).toBool(), false);
        QCOMPARE(syncs.at(1).json().value(QStringLiteral("synced")).toBool(), true);
        peer->publish(QStringLiteral("ovant/device/clock/ntp/config/set"),
                      QJsonObject {{QStringLiteral("enabled"), true},
                                   {QStringLiteral("server"), QStringLiteral("ntp.example.org")}});
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/device/clock/ntp/config"))
                                      .value(QStringLiteral("server"))
                                      .toString(),
                                  QStringLiteral("ntp.example.org"), Wait);

        // Update: the check finds a version, the installation downloads ("/") then installs.
        peer->clear();
        peer->publish(QStringLiteral("ovant/device/software/check"), QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/device/update/software/status"))
                                      .value(QStringLiteral("pending"))
                                      .toString(),
                                  QStringLiteral("1.5.0"), Wait);
        QCOMPARE(last(*peer, QStringLiteral("ovant/device/status"))
                     .value(QStringLiteral("update"))
                     .toObject()
                     .value(QStringLiteral("software"))
                     .toObject()
                     .value(QStringLiteral("pending"))
                     .toString(),
                 QStringLiteral("1.5.0"));
        peer->publish(QStringLiteral("ovant/device/update/software/install"), QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/device/update/software/status"))
                                      .value(QStringLiteral("current"))
                                      .toString(),
                                  QStringLiteral("1.5.0"), Wait);
        const QList<TestPeer::Message> progress
            = peer->messages(QStringLiteral("ovant/device/update/software/progress"));
        QVERIFY(progress.size() >= 2);
        QVERIFY(progress.first()
                    .json()
                    .value(QStringLiteral("message"))
                    .toString()
                    .contains(QLatin1Char('/')));
        QVERIFY(!progress.last()
                     .json()
                     .value(QStringLiteral("message"))
                     .toString()
                     .contains(QLatin1Char('/')));
        QCOMPARE(progress.last().json().value(QStringLiteral("progress")).toInt(), 100);
        QCOMPARE(last(*peer, QStringLiteral("ovant/device/update/software/status"))
                     .value(QStringLiteral("pending"))
                     .toString(),
                 QString());

        // Inspector: volume, sounds and power requests.
        peer->publish(QStringLiteral("ovant/inspector/audio/set"),
                      QJsonObject {{QStringLiteral("internal"),
                                    QJsonObject {{QStringLiteral("volume"), 35}}}});
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/inspector/audio"))
                                      .value(QStringLiteral("internal"))
                                      .toObject()
                                      .value(QStringLiteral("volume"))
                                      .toInt(),
                                  35, Wait);
        peer->publish(QStringLiteral("ovant/inspector/audio/play"),
                      QJsonObject {{QStringLiteral("device"), QStringLiteral("internal")},
                                   {QStringLiteral("filepath"),
                                    QStringLiteral("/opt/ovant/kvrtterminalui/Valid.wav")}});
        QTRY_COMPARE_WITH_TIMEOUT(
            sim.inspector()->playedFiles(),
            QStringList {QStringLiteral("/opt/ovant/kvrtterminalui/Valid.wav")}, Wait);
        peer->publish(QStringLiteral("ovant/inspector/power/reboot/request/1"), QByteArray());
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/inspector/power/reboot/response/1")));
        QCOMPARE(sim.inspector()->rebootRequests(), 1);
        peer->publish(QStringLiteral("ovant/inspector/stats/memory/get"), QByteArray("{}"));
        QVERIFY(peer->waitForMessages(QStringLiteral("ovant/inspector/stats/memory")));
        QVERIFY(last(*peer, QStringLiteral("ovant/inspector/stats/memory"))
                    .value(QStringLiteral("total"))
                    .toInt()
                > 0);
    }

    void statesComeBackWithTheBroker()
    {
        Simulator sim(options(
            {QStringLiteral("terminal"), QStringLiteral("board"), QStringLiteral("network")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        sim.execute(command(QStringLiteral("terminal"),
                            {{QStringLiteral("value"), QStringLiteral("no-route")}}));

        // The broker keeps nothing across a restart: whatever is there afterwards was published
        // again.
        QVERIFY(m_broker->restart());
        auto peer = observer();
        QVERIFY(peer);
        for (const char* topic : {"ovant/blm/info", "ovant/blm/status", "ovant/blm/config",
                                  "ovant/board/status", "ovant/board/display", "ovant/board/power",
                                  "ovant/network/status", "ovant/network/ethernet/state"})
            QVERIFY2(peer->waitForMessages(QLatin1String(topic)), topic);
        QCOMPARE(last(*peer, QStringLiteral("ovant/blm/status"))
                     .value(QStringLiteral("state"))
                     .toObject()
                     .value(QStringLiteral("hasRoute"))
                     .toBool(),
                 false);
        // And the control topic is back too.
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), 30000);
        QVERIFY(
            sim.execute(command(QStringLiteral("status"))).value(QStringLiteral("ok")).toBool());
    }

    void controlTopic()
    {
        Simulator sim(options({QStringLiteral("dispenser"), QStringLiteral("board")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        auto peer = observer();
        QVERIFY(peer);

        peer->publish(ControlCommands::ControlTopic,
                      QJsonObject {{QStringLiteral("command"), QStringLiteral("jam")},
                                   {QStringLiteral("id"), QStringLiteral("a1")}});
        QVERIFY(peer->waitForMessages(ControlCommands::ReplyTopic));
        QJsonObject reply = last(*peer, ControlCommands::ReplyTopic);
        QCOMPARE(reply.value(QStringLiteral("ok")).toBool(), true);
        QCOMPARE(reply.value(QStringLiteral("id")).toString(), QStringLiteral("a1"));
        QCOMPARE(reply.value(QStringLiteral("command")).toString(), QStringLiteral("jam"));
        QVERIFY(sim.dispenser()->isJammed());

        // The request form answers on its own response topic.
        peer->publish(ControlCommands::ControlTopic + QStringLiteral("/request/42"),
                      QJsonObject {{QStringLiteral("command"), QStringLiteral("ignition")},
                                   {QStringLiteral("value"), false}});
        QVERIFY(
            peer->waitForMessages(ControlCommands::ControlTopic + QStringLiteral("/response/42")));
        QVERIFY(last(*peer, ControlCommands::ControlTopic + QStringLiteral("/response/42"))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(!sim.board()->ignition());

        // Nonsense is answered, not obeyed.
        peer->clear();
        peer->publish(ControlCommands::ControlTopic, QByteArray("[\"jam\"]"));
        peer->publish(ControlCommands::ControlTopic,
                      QJsonObject {{QStringLiteral("command"), QStringLiteral("explode")}});
        peer->publish(ControlCommands::ControlTopic,
                      QJsonObject {{QStringLiteral("command"), QStringLiteral("terminal")},
                                   {QStringLiteral("value"), QStringLiteral("ok")}});
        peer->publish(ControlCommands::ControlTopic,
                      QJsonObject {{QStringLiteral("command"), QStringLiteral("offline")},
                                   {QStringLiteral("service"), QStringLiteral("toaster")}});
        QVERIFY(peer->waitForMessages(ControlCommands::ReplyTopic, 4));
        for (const TestPeer::Message& message : peer->messages(ControlCommands::ReplyTopic)) {
            QCOMPARE(message.json().value(QStringLiteral("ok")).toBool(), false);
            QVERIFY(!message.json().value(QStringLiteral("error")).toString().isEmpty());
        }

        const QJsonObject status = sim.execute(command(QStringLiteral("status")));
        QVERIFY(status.value(QStringLiteral("services"))
                    .toObject()
                    .value(QStringLiteral("dispenser"))
                    .toObject()
                    .value(QStringLiteral("jammed"))
                    .toBool());
        QVERIFY(!status.value(QStringLiteral("services"))
                     .toObject()
                     .contains(QStringLiteral("terminal")));
    }

    void commandLineForms()
    {
        QString error;
        QCOMPARE(ControlCommands::fromArguments({QStringLiteral("scan"), QStringLiteral("epurse"),
                                                 QStringLiteral("refused"), QStringLiteral("205")},
                                                &error),
                 (QJsonObject {{QStringLiteral("command"), QStringLiteral("scan")},
                               {QStringLiteral("ticket"), QStringLiteral("epurse")},
                               {QStringLiteral("result"), QStringLiteral("refused")},
                               {QStringLiteral("reason"), QStringLiteral("205")}}));
        QCOMPARE(ControlCommands::fromArguments(
                     {QStringLiteral("offline"), QStringLiteral("board")}, &error),
                 (QJsonObject {{QStringLiteral("command"), QStringLiteral("offline")},
                               {QStringLiteral("service"), QStringLiteral("board")}}));
        QVERIFY(ControlCommands::fromArguments({QStringLiteral("door")}, &error).isEmpty());
        QVERIFY(error.contains(QStringLiteral("door")));
        QVERIFY(ControlCommands::fromArguments(
                    {QStringLiteral("jam"), QStringLiteral("on"), QStringLiteral("twice")}, &error)
                    .isEmpty());
        QVERIFY(ControlCommands::fromArguments({}, &error).isEmpty());

        Simulator sim(options({QStringLiteral("dispenser"), QStringLiteral("board")}));
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.isConnected(), Wait);
        const QStringList broker {QStringLiteral("--host"), m_broker->host(),
                                  QStringLiteral("--port"), QString::number(m_broker->port())};

        ChildProcess send;
        QVERIFY(send.start(Program,
                           broker
                               + QStringList {QStringLiteral("send"), QStringLiteral("door"),
                                              QStringLiteral("open")}));
        QVERIFY(send.waitForFinished());
        QCOMPARE(send.exitCode(), 0);
        QVERIFY2(send.standardOutput().contains(QStringLiteral("cartridge door open")),
                 qPrintable(send.standardOutput()));
        QVERIFY(sim.dispenser()->isDoorOpen());

        ChildProcess negative;
        QVERIFY(
            negative.start(Program,
                           broker
                               + QStringList {QStringLiteral("send"), QStringLiteral("temperature"),
                                              QStringLiteral("-12.5")}));
        QVERIFY(negative.waitForFinished());
        QCOMPARE(negative.exitCode(), 0);
        QCOMPARE(sim.board()->temperature(), -12.5);

        ChildProcess refused;
        QVERIFY(refused.start(
            Program, broker + QStringList {QStringLiteral("send"), QStringLiteral("take-card")}));
        QVERIFY(refused.waitForFinished());
        QCOMPARE(refused.exitCode(), 1);
        QVERIFY(refused.standardError().contains(QStringLiteral("no card in the mouth")));

        ChildProcess unknown;
        QVERIFY(unknown.start(
            Program, broker + QStringList {QStringLiteral("send"), QStringLiteral("explode")}));
        QVERIFY(unknown.waitForFinished());
        QCOMPARE(unknown.exitCode(), 2);
    }

    void commandLineWithoutSimulator()
    {
        // A broker but nobody on the control topic: the sender gives up with its own code.
        ChildProcess send;
        QVERIFY(send.start(Program,
                           {QStringLiteral("--port"), QString::number(m_broker->port()),
                            QStringLiteral("--timeout"), QStringLiteral("500"),
                            QStringLiteral("send"), QStringLiteral("status")}));
        QVERIFY(send.waitForFinished());
        QCOMPARE(send.exitCode(), 3);
        QVERIFY(send.standardError().contains(QStringLiteral("no answer")));
    }

    void programRunsAndStopsCleanly()
    {
        auto peer = observer();
        QVERIFY(peer);
        ChildProcess simulator;
        QVERIFY(simulator.start(Program,
                                {QStringLiteral("--host"), m_broker->host(),
                                 QStringLiteral("--port"), QString::number(m_broker->port()),
                                 QStringLiteral("--services"), QStringLiteral("terminal,board"),
                                 QStringLiteral("--take-delay"), QStringLiteral("never")}));
        QTRY_VERIFY_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/blm/status"))
                                     .value(QStringLiteral("service"))
                                     .toBool(),
                                 Wait);
        QTRY_VERIFY_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/board/status"))
                                     .value(QStringLiteral("service"))
                                     .toBool(),
                                 Wait);
        QCOMPARE(peer->count(QStringLiteral("ovant/dispenser/status")), 0);

        QVERIFY(simulator.sendSignal(SIGTERM));
        QVERIFY(simulator.waitForFinished());
        QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/blm/status")),
                                  (QJsonObject {{QStringLiteral("service"), false}}), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(last(*peer, QStringLiteral("ovant/board/status")),
                                  (QJsonObject {{QStringLiteral("service"), false}}), Wait);
        QVERIFY(simulator.standardOutput().contains(QStringLiteral("[Simulator] Stopped")));

        ChildProcess wrong;
        QVERIFY(
            wrong.start(Program, {QStringLiteral("--services"), QStringLiteral("board,toaster")}));
        QVERIFY(wrong.waitForFinished());
        QCOMPARE(wrong.exitCode(), 2);
        QVERIFY(wrong.standardError().contains(QStringLiteral("toaster")));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
