// The simulator's control commands on a real broker: what each one makes the simulated
// services publish.

#include "ControlCommands.h"
#include "Simulator.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"

namespace {
constexpr int Wait = 20000;
} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Steps: command-line words of a control command, or {topic: payload} publications (a
    // request waits for its answer). Then the last message on the topic has the value at path.
    void commands_data()
    {
        addJsonRows({"services", "steps", "topic", "path", "expected"}, R"([
["insert-card", "dispenser", [{"ovant/dispenser/accept/enable/request/1": {}}, "insert-card 04AB"], "ovant/dispenser/status", "device/cardInMouth", true],
["jam off", "dispenser", ["jam", "jam off"], "ovant/dispenser/status", "device/isJammed", false],
["door", "dispenser", ["door open"], "ovant/dispenser/status", "device/isCartridgeDoorOpen", true],
["cartridge", "dispenser", ["cartridge 0"], "ovant/dispenser/status", "device/cardsInCartridge", 0],
["fail-write", "dispenser,rfid", [{"ovant/rfid/enable/request/1": {}}, {"ovant/dispenser/issue/request/2": {}}, {"ovant/rfid/card/create/request/3": {"template": "KVRTv1"}}, "fail-write Lost", {"ovant/rfid/card/write/request/4": {"template": "KVRTv1", "data": {}}}], "ovant/rfid/card/write/response/4", "error/what", "Lost"],
["offline", "terminal", ["offline terminal"], "ovant/blm/status", "", {"service": false}],
["offline all", "clock,update", ["offline all"], "ovant/device/status", "", {"service": false}],
["online", "board,network", ["offline all", "online board"], "ovant/board/status", "device/active", true],
["terminal no-rfid", "terminal", ["terminal no-rfid"], "ovant/blm/status", "device/rfid/state", 5],
["terminal ntp-unsync", "terminal,clock", ["terminal ntp-unsync"], "ovant/device/clock/ntp/status", "synced", false],
["scan card", "terminal", ["scan pass refused 201 force"], "ovant/blm/rfid/scanned", "transaction/denyReason/id", 201],
["scan barcode", "terminal", ["scan barcode valid 0 force"], "ovant/blm/barcode/scanned", "transaction/result", true],
["retry", "terminal", ["retry"], "ovant/blm/rfid/retry", "", {}],
["voltage", "board", ["voltage 11.8"], "ovant/board/status", "device/voltage", 11.8],
["rtc", "board", ["rtc failed"], "ovant/board/status", "device/hardwareStatus/rtcFailed", true],
["status", "", ["jam", "status"], "ovant/simulator/control/response/+", "services/dispenser/jammed", true]])");
    }
    void commands()
    {
        // A broker of its own (no retained state of an earlier case), an observer of everything
        // and a simulator of the row's services (empty: all).
        TestBroker broker;
        QVERIFY(broker.start());
        TestPeer peer(broker);
        QVERIFY(peer.connectToBroker() && peer.subscribe(QStringLiteral("#"), 1));
        // No time for movements; an ejected card stays until a command takes it.
        Simulator simulator(
            Simulator::Options {broker.host(), broker.port(),
                                cell("services").toString().split(',', Qt::SkipEmptyParts), 0, -1});
        simulator.start();
        QTRY_VERIFY_WITH_TIMEOUT(simulator.isConnected(), Wait);
        // Every service has told where it stands before a case changes anything.
        const auto reported = [&] {
            QSet<QString> topics;
            for (const auto& message :
                 peer.messages("ovant/+/status") + peer.messages("ovant/device/clock/+/status"))
                topics.insert(message.topic);
            return topics.size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(reported(), simulator.services().size(), Wait);
        // Publishes a request and returns the answer ({} when none came).
        const auto call = [&](const QString& topic, const QByteArray& payload) {
            peer.publish(topic, payload, 1);
            const QString response = TestPeer::responseTopic(topic);
            return peer.waitForMessages(response, 1, Wait) ? peer.last(response).json()
                                                           : QJsonObject();
        };
        int id = 0;
        for (const QJsonValue step : cell("steps").toArray()) {
            peer.clear();
            if (step.isString()) {
                QString error;
                const QJsonObject command = ControlCommands::fromArguments(
                    step.toString().split(QLatin1Char(' ')), &error);
                const QJsonObject reply
                    = call(ControlCommands::ControlTopic + "/request/" + QString::number(++id),
                           QJsonDocument(command).toJson());
                QVERIFY2(reply.value("ok").toBool(), qPrintable(error + reply["error"].toString()));
                continue;
            }
            const QString request = step.toObject().begin().key();
            const QJsonObject payload = step.toObject().value(request).toObject();
            if (request.contains(QLatin1String("/request/")))
                QVERIFY(!call(request, QJsonDocument(payload).toJson()).isEmpty());
            else
                peer.publish(request, payload);
        }
        const auto at = [&] {
            QJsonValue value = peer.last(cell("topic").toString()).json();
            for (const QString& key : cell("path").toString().split('/', Qt::SkipEmptyParts))
                value = value[key];
            return value;
        };
        QTRY_COMPARE_WITH_TIMEOUT(at(), cell("expected"), Wait);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
