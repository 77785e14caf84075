// The simulator's control commands on a real broker: what each one makes the simulated
// services publish, sent on the control topic and by the kvrt-simulator program.

#include "ChildProcess.h"
#include "ControlCommands.h"
#include "Simulator.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <csignal>
#include <memory>

namespace {
constexpr int Wait = 20000;
const QString Program = QStringLiteral(KVRT_BINARY_DIR "/tools/kvrt-simulator");

QJsonValue at(QJsonValue value, const QString& path)
{
    for (const QString& key : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        value = value[key];
    return value;
}
} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestBroker> m_broker;
    std::unique_ptr<TestPeer> m_peer;
    std::unique_ptr<Simulator> m_simulator;

    // A broker of its own (no retained state of an earlier case), an observer of everything
    // and a simulator of the named services (comma-separated; empty: all), if simulated.
    void start(const QString& services, bool simulated = true)
    {
        m_broker = std::make_unique<TestBroker>();
        QVERIFY(m_broker->start());
        m_peer = std::make_unique<TestPeer>(*m_broker);
        QVERIFY(m_peer->connectToBroker() && m_peer->subscribe(QStringLiteral("#"), 1));
        if (!simulated)
            return;
        Simulator::Options options;
        options.host = m_broker->host();
        options.port = m_broker->port();
        options.services = services.split(QLatin1Char(','), Qt::SkipEmptyParts);
        options.motionDelay = 0;
        options.takeDelay = -1;
        m_simulator = std::make_unique<Simulator>(options);
        m_simulator->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_simulator->isConnected(), Wait);
        // Every service has told where it stands before a case changes anything.
        const auto reported = [this] {
            QSet<QString> topics;
            for (const auto& message : m_peer->messages(QStringLiteral("ovant/+/status"))
                     + m_peer->messages(QStringLiteral("ovant/device/clock/+/status")))
                topics.insert(message.topic);
            return topics.size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(reported(), m_simulator->services().size(), Wait);
    }

    // Publishes a request and returns the answer ({} when none came).
    QJsonObject call(const QString& topic, const QByteArray& payload)
    {
        m_peer->publish(topic, payload, 1);
        const QString response = TestPeer::responseTopic(topic);
        return m_peer->waitForMessages(response, 1, Wait) ? m_peer->last(response).json()
                                                          : QJsonObject();
    }

private Q_SLOTS:
    void cleanup() { m_simulator.reset(), m_peer.reset(), m_broker.reset(); }

    // Steps: command-line words of a control command, or {topic: payload} publications (a
    // request waits for its answer). Then the last message on the topic has the value at path.
    void commands_data()
    {
        addJsonRows({"services", "steps", "topic", "path", "expected"}, R"([
["take-card", "dispenser", [{"ovant/dispenser/issue/request/1": {}},
    {"ovant/dispenser/eject/request/2": {}}, "take-card"], "ovant/dispenser/card/removed", "", {}],
["insert-card", "dispenser", [{"ovant/dispenser/accept/enable/request/1": {}}, "insert-card 04AB"], "ovant/dispenser/status", "device/cardInMouth", true],
["jam off", "dispenser", ["jam", "jam off"], "ovant/dispenser/status", "device/isJammed", false],
["door", "dispenser", ["door open"], "ovant/dispenser/status", "device/isCartridgeDoorOpen", true],
["cartridge", "dispenser", ["cartridge 0"], "ovant/dispenser/status", "device/cardsInCartridge", 0],
["fail-write", "dispenser,rfid", [{"ovant/rfid/enable/request/1": {}},
    {"ovant/dispenser/issue/request/2": {}}, {"ovant/rfid/card/create/request/3": {"template":
    "KVRTv1"}}, "fail-write Lost", {"ovant/rfid/card/write/request/4": {"template": "KVRTv1",
    "data": {}}}], "ovant/rfid/card/write/response/4", "error/what", "Lost"],
["offline", "terminal", ["offline terminal"], "ovant/blm/status", "", {"service": false}],
["offline device", "rfid", ["offline rfid"], "ovant/rfid/status", "", {"service": false}],
["offline all", "clock,update", ["offline all"], "ovant/device/status", "", {"service": false}],
["online", "board,network", ["offline all", "online board"], "ovant/board/status", "device/active", true],
["terminal init", "terminal", ["terminal init"], "ovant/blm/status", "state/init", true],
["terminal no-rfid", "terminal", ["terminal no-rfid"], "ovant/blm/status", "device/rfid/state", 5],
["terminal no-obu", "terminal", ["terminal no-obu"], "ovant/blm/status", "obu/vehicleUuid", ""],
["terminal no-route", "terminal", ["terminal no-route"], "ovant/blm/status", "route/axisName", ""],
["terminal ntp-unsync", "terminal,clock", ["terminal ntp-unsync"], "ovant/device/clock/ntp/status", "synced", false],
["terminal ok", "terminal", ["terminal no-obu", "terminal ok"], "ovant/blm/status", "state/hasObu", true],
["scan card", "terminal", ["scan pass refused 201 force"], "ovant/blm/rfid/scanned", "transaction/denyReason/id", 201],
["scan barcode", "terminal", ["scan barcode valid 0 force"], "ovant/blm/barcode/scanned", "transaction/result", true],
["maintenance", "terminal", ["maintenance both force"], "ovant/blm/barcode/maintenance/scanned", "network/eth0/method", "manual"],
["retry", "terminal", ["retry"], "ovant/blm/rfid/retry", "", {}],
["ignition", "board", ["ignition off"], "ovant/board/event", "", {"name": "IgnitionChanged", "data": 0}],
["temperature", "board", ["temperature -12.5"], "ovant/board/status", "device/temperature", -12.5],
["voltage", "board", ["voltage 11.8"], "ovant/board/status", "device/voltage", 11.8],
["rtc", "board", ["rtc failed"], "ovant/board/status", "device/hardwareStatus/rtcFailed", true],
["light", "board", ["light 10"], "ovant/board/display", "sensor", 10],
["ethernet", "network", ["ethernet down"], "ovant/network/ethernet/state", "stateStr", "Disconnected"],
["update", "update", ["update 9.0", {"ovant/device/software/check": {}}], "ovant/device/update/software/status", "pending", "9.0"],
["status", "", ["jam", "status"], "ovant/simulator/control/response/+", "services/dispenser/jammed", true]])");
    }
    void commands()
    {
        QFETCH(QJsonValue, services);
        QFETCH(QJsonValue, steps);
        QFETCH(QJsonValue, topic);
        QFETCH(QJsonValue, path);
        QFETCH(QJsonValue, expected);
        start(services.toString());
        int id = 0;
        for (const QJsonValue step : steps.toArray()) {
            m_peer->clear();
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
                m_peer->publish(request, payload);
        }
        QTRY_COMPARE_WITH_TIMEOUT(at(m_peer->last(topic.toString()).json(), path.toString()),
                                  expected, Wait);
    }

    // Commands the simulator cannot obey are answered with the reason, and change nothing.
    void refusedCommands_data()
    {
        addJsonRows({"command", "error"}, R"([
["not JSON", "jam", "malformed command"],
["not an object", ["jam"], "malformed command"],
["no command", {"id": "a1"}, "no \u0022command\u0022 given"],
["unknown command", {"command": "explode", "id": "a1"}, "unknown command"],
["unknown service", {"command": "offline", "service": "toaster", "id": "a1"}, "is not a simulated service"],
["unknown condition", {"command": "terminal", "value": "fine", "id": "a1"}, "terminal takes one of"],
["negative cartridge", {"command": "cartridge", "value": -1, "id": "a1"}, "cartridge takes a number"],
["no card to take", {"command": "take-card", "id": "a1"}, "there is no card in the mouth"],
["temperature out of range", {"command": "temperature", "value": 500, "id": "a1"}, "out of range"],
["unknown ticket", {"command": "scan", "ticket": "coin", "id": "a1"}, "scan takes a ticket type"],
["disabled reader", {"command": "scan", "ticket": "epurse", "id": "a1"}, "the RFID reader is disabled"],
["unknown barcode", {"command": "maintenance", "kind": "what", "id": "a1"}, "maintenance takes one of"]])");
    }
    void refusedCommands()
    {
        QFETCH(QJsonValue, command);
        QFETCH(QJsonValue, error);
        start(QString());
        const auto state = [this] {
            QJsonObject services
                = m_simulator->execute({{"command", "status"}})["services"].toObject();
            services.remove("clock"); // it synchronises by itself meanwhile
            return services;
        };
        const QJsonObject before = state();
        // The plain form, answered on the reply topic, with the id of the command.
        m_peer->publish(ControlCommands::ControlTopic,
                        command.isString()
                            ? command.toString().toUtf8()
                            : QJsonDocument::fromVariant(command.toVariant()).toJson());
        QVERIFY(m_peer->waitForMessages(ControlCommands::ReplyTopic, 1, Wait));
        const QJsonObject reply = m_peer->last(ControlCommands::ReplyTopic).json();
        QCOMPARE(reply.value("ok"), QJsonValue(false));
        QVERIFY2(reply.value("error").toString().contains(error.toString()),
                 qPrintable(reply.value("error").toString()));
        QCOMPARE(reply.value("id"), command["id"]);
        QCOMPARE(state(), before);
    }

    void commandLine_data()
    {
        addJsonRows({"arguments", "simulated", "exitCode", "output"}, R"([
["send", ["send", "door", "open"], true, 0, "cartridge door open"],
["negative number", ["send", "temperature", "-12.5"], true, 0, "temperature -12.5 C"],
["refused", ["send", "take-card"], true, 1, "there is no card in the mouth"],
["unknown command", ["send", "explode"], true, 2, "unknown command"],
["missing argument", ["send", "door"], true, 2, "needs open|close"],
["no simulator", ["--timeout", "500", "send", "status"], false, 3, "no answer"],
["unknown service", ["--services", "board,toaster"], false, 2, "unknown service"]])");
    }
    void commandLine()
    {
        QFETCH(QJsonValue, arguments);
        QFETCH(QJsonValue, simulated);
        QFETCH(QJsonValue, exitCode);
        QFETCH(QJsonValue, output);
        start(QStringLiteral("dispenser,board"), simulated.toBool());
        ChildProcess program;
        QVERIFY(program.start(Program,
                              QStringList {"--port", QString::number(m_broker->port())}
                                  + arguments.toVariant().toStringList()));
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.exitCode(), exitCode.toInt());
        const QString printed = program.standardOutput() + program.standardError();
        QVERIFY2(printed.contains(output.toString()), qPrintable(printed));
    }

    void programStopsCleanly()
    {
        start(QString(), false);
        ChildProcess program;
        QVERIFY(program.start(
            Program,
            {"--port", QString::number(m_broker->port()), "--services", "terminal,board"}));
        const QStringList statuses {"ovant/blm/status", "ovant/board/status"};
        for (const QString& topic : statuses)
            QTRY_COMPARE_WITH_TIMEOUT(m_peer->last(topic).json().value("service"), QJsonValue(true),
                                      Wait);
        QVERIFY(program.sendSignal(SIGTERM));
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(program.standardOutput().contains("[Simulator] Stopped"));
        // Both said goodbye before their connections closed; nothing else was played.
        for (const QString& topic : statuses)
            QTRY_COMPARE_WITH_TIMEOUT(m_peer->last(topic).json(), QJsonObject({{"service", false}}),
                                      Wait);
        QCOMPARE(m_peer->count("ovant/dispenser/#"), 0);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
