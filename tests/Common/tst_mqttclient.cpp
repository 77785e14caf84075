#include "ChildProcess.h"
#include "MessageCapture.h"
#include "MqttClient.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

using manager::MqttClient;

namespace {

constexpr int Wait = 10000;
const char* const WillChildVariable = "KVRT_TEST_WILL_CHILD_PORT";
const QByteArray ServiceGone = QByteArrayLiteral("{\"service\": false}");

// What a deferred result came to.
struct Outcome
{
    DeferredState state = DeferredState::PENDING;
    QJsonValue value;
    int settlements = 0;
};

std::shared_ptr<Outcome> watch(Deferred<QJsonValue> deferred)
{
    auto outcome = std::make_shared<Outcome>();
    deferred.done([outcome](const QJsonValue& value) {
        outcome->state = DeferredState::RESOLVED;
        outcome->value = value;
        ++outcome->settlements;
    });
    deferred.fail([outcome](const QJsonValue& value) {
        outcome->state = DeferredState::REJECTED;
        outcome->value = value;
        ++outcome->settlements;
    });
    return outcome;
}

void useBroker(MqttClient& client, const TestBroker& broker, int retryMillis = 300)
{
    client.setHostname(broker.host());
    client.setPort(broker.port());
    client.setRetryMillis(retryMillis);
}

bool connectClient(MqttClient& client, const TestBroker& broker)
{
    useBroker(client, broker);
    client.connect();
    return QTest::qWaitFor([&] { return client.isConnected(); }, Wait);
}

bool has(const MessageCapture& log, QtMsgType type, const QString& text)
{
    return log.messages(type).contains(text);
}

int countPrefix(const MessageCapture& log, QtMsgType type, const QString& prefix)
{
    int n = 0;
    for (const QString& message : log.messages(type))
        n += message.startsWith(prefix) ? 1 : 0;
    return n;
}

QJsonObject object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

// The child process of the last-will test: an MQTT client with the user interface's will
// that reports "connected" and then waits to be killed.
int runWillChild(quint16 port)
{
    MqttClient client;
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(port);
    client.setClientId(QStringLiteral("will-child"));
    client.setWillTopic(QStringLiteral("will/ui/status"));
    client.setWillMessage(ServiceGone);
    QObject::connect(&client, &MqttClient::connected, [] {
        std::fputs("connected\n", stdout);
        std::fflush(stdout);
    });
    client.connect();
    return QCoreApplication::exec();
}

} // namespace

class TestMqttClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    // Connection and reconnection
    void subscriptionsMadeBeforeConnectingAreSentOnConnection();
    void reconnectsAfterBrokerRestartAndSubscribesAgain();
    void refusedConnectionIsReportedAndRetried();
    void wrongPasswordIsReportedWithItsWarning();
    void hangingAttemptIsCutByTheWatchdog();
    void explicitDisconnectStaysDisconnected();
    void encryptionRequestOnlyWarns();
    void lastWillIsPublishedWhenTheProcessDies();

    // Publishing and receiving
    void publishReportsFailures();
    void subscriptionFailureIsReported();
    void garbageAndHugePayloadsAreDelivered();

    // One-shot waits
    void waitTopicDeliversTheNextMessageOnce();
    void waitTopicWithZeroWaitsWithoutLimit();
    void waitOnASubscribedFilterLeavesTheSubscriptionAlone();
    void concurrentWaitsOnOneFilterAllSettle();
    void waitEndsWhenTheConnectionEnds();

    // Request/response
    void executeRpcUsesTheRequestResponseTopics();
    void executeRpcResolvesEmptyPayloadAsEmptyObject();
    void executeRpcRejectsInvalidResponses_data();
    void executeRpcRejectsInvalidResponses();
    void executeRpcTimesOut();
    void executeRpcWithoutConnectionFailsAtOnce();
    void executeRpcIgnoresASecondResponse();
    void executeRpcWithUnsendableRequestFailsAtOnce();

private:
    TestBroker m_broker;
};

void TestMqttClient::initTestCase()
{
    QVERIFY(m_broker.start());
}

void TestMqttClient::subscriptionsMadeBeforeConnectingAreSentOnConnection()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MessageCapture log;
    MqttClient client;
    QSignalSpy received(&client, &MqttClient::received);
    QSignalSpy connected(&client, &MqttClient::connected);
    client.subscribe(QStringLiteral("early/status"));
    client.subscribe(QStringLiteral("early/config"), 1);
    QVERIFY(!client.isConnected());
    QCOMPARE(client.subscriptionCount(), 0);

    QVERIFY(connectClient(client, m_broker));
    QCOMPARE(connected.count(), 1);
    QVERIFY(has(log, QtInfoMsg, "[MqttClient] Connecting to host"));
    QVERIFY(has(log, QtInfoMsg, "[MqttClient] Connected to broker 127.0.0.1"));
    QVERIFY(has(log, QtInfoMsg, "[MqttClient] Subscribing to 'early/status' with QoS = 0"));
    QVERIFY(has(log, QtInfoMsg, "[MqttClient] Subscribing to 'early/config' with QoS = 1"));
    QCOMPARE(client.subscriptionCount(), 2);

    // The subscriptions exist once the broker has seen them; a publication after a
    // round trip of our own is ordered after them.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            service.publish(QStringLiteral("early/status"), QByteArray("{\"ping\":1}"));
            return QTest::qWaitFor([&] { return received.count() > 0; }, 200);
        }(),
        Wait);
    QCOMPARE(received.last().at(0).toByteArray(), QByteArray("{\"ping\":1}"));
    QCOMPARE(received.last().at(1).toByteArray(), QByteArray("early/status"));
    QVERIFY(service.publish(QStringLiteral("early/config"), QByteArray("{\"c\":1}")));
    QTRY_COMPARE_WITH_TIMEOUT(received.last().at(1).toByteArray(), QByteArray("early/config"),
                              Wait);
    QCOMPARE(received.last().at(0).toByteArray(), QByteArray("{\"c\":1}"));
}

void TestMqttClient::reconnectsAfterBrokerRestartAndSubscribesAgain()
{
    TestBroker broker;
    QVERIFY(broker.start());
    MqttClient client;
    client.subscribe(QStringLiteral("restart/status"));
    QVERIFY(connectClient(client, broker));
    QSignalSpy connected(&client, &MqttClient::connected);
    QSignalSpy disconnected(&client, &MqttClient::disconnected);
    QSignalSpy received(&client, &MqttClient::received);

    QVERIFY(broker.restart());
    QTRY_VERIFY_WITH_TIMEOUT(disconnected.count() >= 1, Wait);
    // Nobody calls connect(): the client comes back by itself.
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, Wait);
    QVERIFY(client.isConnected());
    QCOMPARE(client.subscriptionCount(), 1);

    TestPeer service(broker);
    QVERIFY(service.connectToBroker());
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            service.publish(QStringLiteral("restart/status"), QByteArray("{\"n\":2}"));
            return QTest::qWaitFor([&] { return received.count() > 0; }, 200);
        }(),
        Wait);
    QCOMPARE(received.last().at(1).toByteArray(), QByteArray("restart/status"));

    // A second restart works the same, with one subscription per filter.
    QVERIFY(broker.restart());
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, Wait);
    QCOMPARE(client.subscriptionCount(), 1);
}

void TestMqttClient::refusedConnectionIsReportedAndRetried()
{
    TestBroker broker;
    QVERIFY(broker.start());
    broker.stop();

    MessageCapture log;
    MqttClient client;
    QSignalSpy errors(&client, &MqttClient::error);
    QSignalSpy disconnected(&client, &MqttClient::disconnected);
    client.subscribe(QStringLiteral("refused/x"));
    useBroker(client, broker);
    client.connect();
    QTRY_VERIFY_WITH_TIMEOUT(errors.count() >= 2, Wait); // at least one retry
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Mqtt client error"));
    QVERIFY(disconnected.count() >= 2);
    QVERIFY(has(log, QtWarningMsg,
                "[MqttClient] Transport invalid: The underlying transport caused an "
                "error. For example, the connection might have been interrupted "
                "unexpectedly."));
    QVERIFY(!client.isConnected());

    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), Wait);
    QCOMPARE(client.subscriptionCount(), 1);
}

void TestMqttClient::wrongPasswordIsReportedWithItsWarning()
{
    TestBroker guarded;
    guarded.addUser(QStringLiteral("terminal"), QStringLiteral("s3cret"));
    QVERIFY(guarded.start());

    MessageCapture log;
    MqttClient client;
    QSignalSpy errors(&client, &MqttClient::error);
    useBroker(client, guarded);
    client.setClientId(QStringLiteral("KVRTTerminalUI_42"));
    client.setUsername(QStringLiteral("terminal"));
    client.setPassword(QStringLiteral("wrong"));
    client.connect();
    QTRY_VERIFY_WITH_TIMEOUT(errors.count() >= 1, Wait);
    // mosquitto refuses a wrong password with the return code "not authorised".
    QVERIFY(has(log, QtWarningMsg,
                "[MqttClient] Not authorized: KVRTTerminalUI_42. The client is not "
                "authorized to connect."));
    QVERIFY(!client.isConnected());
    // The password itself never appears in the log.
    QVERIFY(!log.contains(QStringLiteral("wrong")));

    // The next attempt uses the corrected parameters.
    client.setPassword(QStringLiteral("s3cret"));
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), Wait);
}

void TestMqttClient::hangingAttemptIsCutByTheWatchdog()
{
    // A server that completes TCP handshakes but never answers: CONNECT goes unanswered.
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(server >= 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    QVERIFY(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
    QVERIFY(::listen(server, 16) == 0);
    QVERIFY(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) == 0);

    MessageCapture log;
    MqttClient client;
    QSignalSpy disconnected(&client, &MqttClient::disconnected);
    client.setPort(ntohs(address.sin_port));
    client.setRetryMillis(200);
    client.connect();
    QTRY_VERIFY_WITH_TIMEOUT(disconnected.count() >= 2, Wait);
    QVERIFY(countPrefix(log, QtWarningMsg, "[MqttClient] Transport invalid: ") >= 2);
    QVERIFY(!client.isConnected());
    ::close(server);
}

void TestMqttClient::explicitDisconnectStaysDisconnected()
{
    MessageCapture log;
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    QSignalSpy disconnected(&client, &MqttClient::disconnected);
    QSignalSpy errors(&client, &MqttClient::error);
    client.disconnect();
    QVERIFY(has(log, QtInfoMsg, "[MqttClient] Disconnecting from host"));
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, Wait);
    QVERIFY(has(log, QtInfoMsg, "[MqttClient] Disconnected from broker 127.0.0.1"));
    QTest::qWait(1000); // several retry intervals
    QVERIFY(!client.isConnected());
    QCOMPARE(errors.count(), 0);

    client.connect();
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), Wait);
}

void TestMqttClient::encryptionRequestOnlyWarns()
{
    MessageCapture log;
    MqttClient client;
    client.setEncrypted(true);
    QVERIFY(connectClient(client, m_broker));
    QVERIFY(has(log, QtWarningMsg, "[MqttClient] Encryption not yet supported"));
}

void TestMqttClient::lastWillIsPublishedWhenTheProcessDies()
{
    TestPeer observer(m_broker);
    QVERIFY(observer.connectToBroker());
    QVERIFY(observer.subscribe(QStringLiteral("will/ui/status"), 1));

    ChildProcess child;
    QProcessEnvironment environment = ChildProcess::defaultEnvironment();
    environment.insert(QString::fromLatin1(WillChildVariable), QString::number(m_broker.port()));
    child.setEnvironment(environment);
    QVERIFY(child.start(QCoreApplication::applicationFilePath()));
    QVERIFY(child.waitForStandardOutput(QStringLiteral("connected"), Wait));
    QCOMPARE(observer.count(), 0);

    QVERIFY(child.sendSignal(SIGKILL)); // no DISCONNECT: the broker publishes the will
    QVERIFY(child.waitForFinished(Wait));
    QVERIFY(observer.waitForMessages(QStringLiteral("will/ui/status")));
    QCOMPARE(observer.last().payload, ServiceGone);

    // The will is retained by default, so late subscribers learn it too.
    TestPeer late(m_broker);
    QVERIFY(late.connectToBroker());
    QVERIFY(late.subscribe(QStringLiteral("will/ui/status")));
    QVERIFY(late.waitForMessages(QStringLiteral("will/ui/status")));
    QCOMPARE(late.last().payload, ServiceGone);
    QVERIFY(late.publish(QStringLiteral("will/ui/status"), QByteArray(), 0, true));
}

void TestMqttClient::publishReportsFailures()
{
    MqttClient client;
    QSignalSpy errors(&client, &MqttClient::error);
    QVERIFY(!client.publish("{}", QStringLiteral("pub/x")));
    QCOMPARE(errors.count(), 0); // silently, while not connected

    TestPeer observer(m_broker);
    QVERIFY(observer.connectToBroker());
    QVERIFY(observer.subscribe(QStringLiteral("pub/#")));
    QVERIFY(connectClient(client, m_broker));
    MessageCapture log;
    QVERIFY(client.publish("{\"a\":1}", QStringLiteral("pub/x"), 1, true));
    QVERIFY(observer.waitForMessages(QStringLiteral("pub/x")));
    QCOMPARE(observer.last().payload, QByteArray("{\"a\":1}"));
    QVERIFY(has(log, QtDebugMsg,
                "[MqttClient] Publishing to topic 'pub/x' with Qos = 1 and Retain = "
                "true:\n{\"a\":1}")
            || !QLoggingCategory::defaultCategory()->isDebugEnabled());
    QVERIFY(client.publish(QByteArray(), QStringLiteral("pub/x"), 0, true)); // clear retained

    QVERIFY(!client.publish("{}", QStringLiteral("pub/#")));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Publish to pub/# failed."));
    QVERIFY(client.isConnected());
}

void TestMqttClient::subscriptionFailureIsReported()
{
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    QSignalSpy errors(&client, &MqttClient::error);
    client.subscribe(QStringLiteral("bad/#/filter"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Subscription to bad/#/filter failed."));
    QVERIFY(client.isConnected());
}

void TestMqttClient::garbageAndHugePayloadsAreDelivered()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MqttClient client;
    client.subscribe(QStringLiteral("garbage/#"));
    QVERIFY(connectClient(client, m_broker));
    QSignalSpy received(&client, &MqttClient::received);

    const QList<QByteArray> payloads {
        QByteArray("\x00\x01\x02\xff", 4), QByteArray("{\"unterminated\":"),
        QByteArray("\xc3\x28 invalid UTF-8"), QByteArray(4 * 1024 * 1024, '{'), QByteArray()};
    for (const QByteArray& payload : payloads)
        QVERIFY(service.publish(QStringLiteral("garbage/in"), payload));
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), payloads.size(), Wait);
    for (int i = 0; i < payloads.size(); ++i)
        QCOMPARE(received.at(i).at(0).toByteArray(), payloads.at(i));

    // The same rubbish as the answer to a wait (the first one is text up to its NUL byte,
    // which is empty, and counts as an empty object).
    for (const QByteArray& payload : payloads.mid(1, 3)) {
        auto outcome = watch(client.waitTopic(QStringLiteral("garbage/reply"), Wait));
        QVERIFY(service.publish(QStringLiteral("garbage/reply"), payload));
        QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::REJECTED, Wait);
        QCOMPARE(outcome->value.toString(), QStringLiteral("Invalid response"));
    }
    QVERIFY(client.isConnected());
    QCOMPARE(client.pendingWaits(), 0);
}

void TestMqttClient::waitTopicDeliversTheNextMessageOnce()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    const int baseline = client.findChildren<QTimer*>().size();

    auto outcome = watch(client.waitTopic(QStringLiteral("wait/+/event"), Wait));
    QCOMPARE(outcome->state, DeferredState::PENDING);
    QCOMPARE(client.pendingWaits(), 1);
    QCOMPARE(client.subscriptionCount(), 1);
    QVERIFY(service.publish(QStringLiteral("wait/a/event"), QByteArray("{\"n\":1}")));
    QVERIFY(service.publish(QStringLiteral("wait/b/event"), QByteArray("{\"n\":2}")));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::RESOLVED, Wait);
    QCOMPARE(outcome->value.toObject(), object("{\"n\":1}"));
    QTest::qWait(200);
    QCOMPARE(outcome->settlements, 1);

    // Nothing is left behind: no wait, no subscription, no timer.
    QCOMPARE(client.pendingWaits(), 0);
    QCOMPARE(client.subscriptionCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(client.findChildren<QTimer*>().size(), baseline, Wait);

    // A payload ending in a NUL byte is text up to it.
    outcome = watch(client.waitTopic(QStringLiteral("wait/nul"), Wait));
    QVERIFY(service.publish(QStringLiteral("wait/nul"), QByteArray("{\"c\":true}\0", 11)));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::RESOLVED, Wait);
    QCOMPARE(outcome->value.toObject(), object("{\"c\":true}"));
}

void TestMqttClient::waitTopicWithZeroWaitsWithoutLimit()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    const int baseline = client.findChildren<QTimer*>().size();

    auto outcome = watch(client.waitTopic(QStringLiteral("wait/forever"), 0));
    QCOMPARE(client.findChildren<QTimer*>().size(), baseline); // no timer at all
    QTest::qWait(3500); // longer than the default time-out
    QCOMPARE(outcome->state, DeferredState::PENDING);
    QVERIFY(service.publish(QStringLiteral("wait/forever"), QByteArray("{\"late\":true}")));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::RESOLVED, Wait);
    QCOMPARE(outcome->value.toObject(), object("{\"late\":true}"));
}

void TestMqttClient::waitOnASubscribedFilterLeavesTheSubscriptionAlone()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MqttClient client;
    client.subscribe(QStringLiteral("shared/card/removed"));
    client.subscribe(QStringLiteral("shared/card/marker"));
    QVERIFY(connectClient(client, m_broker));
    QSignalSpy received(&client, &MqttClient::received);
    auto receivedOn = [&](const QByteArray& topic) {
        int n = 0;
        for (const auto& arguments : received)
            n += arguments.at(1).toByteArray() == topic ? 1 : 0;
        return n;
    };

    // A wait that gets its message.
    auto outcome = watch(client.waitTopic(QStringLiteral("shared/card/removed"), Wait));
    QCOMPARE(client.subscriptionCount(), 2); // shared, not a second subscription
    QVERIFY(service.publish(QStringLiteral("shared/card/removed"), QByteArray("{}")));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::RESOLVED, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(receivedOn("shared/card/removed"), 1, Wait);

    // A wait that times out.
    outcome = watch(client.waitTopic(QStringLiteral("shared/card/removed"), 100));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::REJECTED, Wait);
    QCOMPARE(outcome->value.toString(), QStringLiteral("Timeout"));
    QCOMPARE(client.subscriptionCount(), 2);

    // The device client's subscription still works, each message arrives once.
    QVERIFY(service.publish(QStringLiteral("shared/card/removed"), QByteArray("{\"n\":2}")));
    QVERIFY(service.publish(QStringLiteral("shared/card/marker"), QByteArray("{}")));
    QTRY_COMPARE_WITH_TIMEOUT(receivedOn("shared/card/marker"), 1, Wait);
    QCOMPARE(receivedOn("shared/card/removed"), 2);
    QCOMPARE(client.pendingWaits(), 0);
}

void TestMqttClient::concurrentWaitsOnOneFilterAllSettle()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    auto first = watch(client.waitTopic(QStringLiteral("many/x"), Wait));
    auto second = watch(client.waitTopic(QStringLiteral("many/x"), Wait));
    auto third = watch(client.waitTopic(QStringLiteral("many/x"), 50));
    QCOMPARE(client.subscriptionCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(third->state, DeferredState::REJECTED, Wait);
    QCOMPARE(client.subscriptionCount(), 1);
    QVERIFY(service.publish(QStringLiteral("many/x"), QByteArray("{\"v\":1}")));
    QTRY_COMPARE_WITH_TIMEOUT(first->state, DeferredState::RESOLVED, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(second->state, DeferredState::RESOLVED, Wait);
    QCOMPARE(second->value.toObject(), object("{\"v\":1}"));
    QCOMPARE(client.subscriptionCount(), 0);
    QCOMPARE(client.pendingWaits(), 0);
}

void TestMqttClient::waitEndsWhenTheConnectionEnds()
{
    TestBroker broker;
    QVERIFY(broker.start());
    MqttClient client;
    QVERIFY(connectClient(client, broker));
    auto limited = watch(client.waitTopic(QStringLiteral("lost/x"), 60000));
    auto unlimited = watch(client.waitTopic(QStringLiteral("lost/y"), 0));
    broker.stop();
    QTRY_COMPARE_WITH_TIMEOUT(limited->state, DeferredState::REJECTED, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(unlimited->state, DeferredState::REJECTED, Wait);
    QCOMPARE(limited->value.toString(), QStringLiteral("Not connected"));
    QCOMPARE(unlimited->value.toString(), QStringLiteral("Not connected"));
    QCOMPARE(client.pendingWaits(), 0);

    // Nothing of the old waits disturbs the next connection's subscriptions.
    client.subscribe(QStringLiteral("lost/x"));
    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), Wait);
    QCOMPARE(client.subscriptionCount(), 1);
}

void TestMqttClient::executeRpcUsesTheRequestResponseTopics()
{
    TestPeer dispenser(m_broker);
    QVERIFY(dispenser.connectToBroker());
    QVERIFY(dispenser.respond(QStringLiteral("ovant/dispenser/+/request/+"),
                              [](const QString&, const QJsonObject& request) {
                                  return QJsonObject {{"completed", true},
                                                      {"echo", request},
                                                      {"error", QJsonObject {{"code", 0}}}};
                              }));
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));

    MessageCapture log;
    const QJsonObject request {{"position", "rfid"}, {"count", 1}};
    auto outcome = watch(
        client.executeRpc(QStringLiteral("ovant/dispenser/issue"), QStringLiteral("7"), request));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::RESOLVED, Wait);
    const QJsonObject reply = outcome->value.toObject();
    QCOMPARE(reply.value("completed"), QJsonValue(true));
    QCOMPARE(reply.value("echo").toObject(), request);
    QCOMPARE(reply.value("error").toObject().value("code"), QJsonValue(0));

    QCOMPARE(dispenser.count(QStringLiteral("ovant/dispenser/+/request/+")), 1);
    const TestPeer::Message sent = dispenser.last(QStringLiteral("ovant/dispenser/#"));
    QCOMPARE(sent.topic, QStringLiteral("ovant/dispenser/issue/request/7"));
    QCOMPARE(sent.payload, QJsonDocument(request).toJson(QJsonDocument::Compact));

    if (QLoggingCategory::defaultCategory()->isDebugEnabled()) {
        QVERIFY(
            has(log, QtDebugMsg, "[MqttClient] [RPC] Sending : ovant/dispenser/issue/request/7"));
        QVERIFY(has(log, QtDebugMsg,
                    "[MqttClient] [RPC] Data    : " + QString::fromUtf8(sent.payload)));
        QVERIFY(
            has(log, QtDebugMsg, "[MqttClient] [RPC] Received : ovant/dispenser/issue/response/7"));
        QVERIFY(has(log, QtDebugMsg,
                    "[MqttClient] [RPC] Data     : "
                        + QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact))));
    }
    QCOMPARE(log.messages(QtCriticalMsg).size(), 0);
    QCOMPARE(client.subscriptionCount(), 0);
    QCOMPARE(client.pendingWaits(), 0);
}

void TestMqttClient::executeRpcResolvesEmptyPayloadAsEmptyObject()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    QVERIFY(service.respondRaw(
        QStringLiteral("empty/request/+"),
        [](const QString&, const QByteArray&) { return QList<QByteArray> {QByteArray()}; }));
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    auto outcome = watch(client.executeRpc(QStringLiteral("empty"), QStringLiteral("1"), {}));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::RESOLVED, Wait);
    QVERIFY(outcome->value.isObject());
    QVERIFY(outcome->value.toObject().isEmpty());
    QCOMPARE(service.last(QStringLiteral("empty/request/+")).payload, QByteArray("{}"));
}

void TestMqttClient::executeRpcRejectsInvalidResponses_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("array") << QByteArray("[1,2,3]");
    QTest::newRow("string") << QByteArray("\"completed\"");
    QTest::newRow("number") << QByteArray("42");
    QTest::newRow("not JSON") << QByteArray("completed: yes");
    QTest::newRow("truncated") << QByteArray("{\"completed\": tr");
    QTest::newRow("binary") << QByteArray("\x01\xff\xfe", 3);
}

void TestMqttClient::executeRpcRejectsInvalidResponses()
{
    QFETCH(QByteArray, response);
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    QVERIFY(service.respondRaw(
        QStringLiteral("invalid/request/+"),
        [response](const QString&, const QByteArray&) { return QList<QByteArray> {response}; }));
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    MessageCapture log;
    auto outcome = watch(client.executeRpc(QStringLiteral("invalid"), QStringLiteral("3"), {}));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::REJECTED, Wait);
    QCOMPARE(outcome->value, QJsonValue(QStringLiteral("Invalid response")));
    QVERIFY(has(log, QtCriticalMsg, "[MqttClient] [RPC] ERROR : Invalid response"));
    QVERIFY(client.isConnected());
}

void TestMqttClient::executeRpcTimesOut()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    QVERIFY(service.respond(QStringLiteral("silent/request/+"),
                            [](const QString&, const QJsonObject&) -> std::optional<QJsonObject> {
                                return std::nullopt;
                            }));
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    const int timers = client.findChildren<QTimer*>().size();
    MessageCapture log;
    auto outcome
        = watch(client.executeRpc(QStringLiteral("silent"), QStringLiteral("9"), {{"x", 1}}, 200));
    QVERIFY(service.waitForMessages(QStringLiteral("silent/request/9")));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::REJECTED, Wait);
    QCOMPARE(outcome->value, QJsonValue(QStringLiteral("Timeout")));
    QVERIFY(has(log, QtCriticalMsg, "[MqttClient] [RPC] ERROR : Timeout"));
    QCOMPARE(client.subscriptionCount(), 0);
    QCOMPARE(client.pendingWaits(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(client.findChildren<QTimer*>().size(), timers, Wait);

    // A late answer after the time-out changes nothing.
    QVERIFY(service.publish(QStringLiteral("silent/response/9"), QByteArray("{}")));
    QTest::qWait(200);
    QCOMPARE(outcome->settlements, 1);
}

void TestMqttClient::executeRpcWithoutConnectionFailsAtOnce()
{
    TestPeer observer(m_broker);
    QVERIFY(observer.connectToBroker());
    QVERIFY(observer.subscribe(QStringLiteral("down/#")));

    MessageCapture log;
    MqttClient never;
    auto outcome = watch(never.executeRpc(QStringLiteral("down"), QStringLiteral("1"), {}));
    QCOMPARE(outcome->state, DeferredState::REJECTED); // before executeRpc returned
    QCOMPARE(outcome->value, QJsonValue(QStringLiteral("Not connected")));
    QVERIFY(has(log, QtCriticalMsg, "[MqttClient] [RPC] ERROR : Not connected"));

    TestBroker broker;
    QVERIFY(broker.start());
    MqttClient client;
    QVERIFY(connectClient(client, broker));
    broker.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!client.isConnected(), Wait);
    log.clear();
    outcome = watch(client.executeRpc(QStringLiteral("down"), QStringLiteral("2"), {}));
    QCOMPARE(outcome->state, DeferredState::REJECTED);
    QCOMPARE(outcome->value, QJsonValue(QStringLiteral("Not connected")));
    QCOMPARE(countPrefix(log, QtCriticalMsg, "[MqttClient] [RPC] ERROR : Not connected"), 1);
    auto waited = watch(client.waitTopic(QStringLiteral("down/x")));
    QCOMPARE(waited->state, DeferredState::REJECTED);
    QCOMPARE(waited->value, QJsonValue(QStringLiteral("Not connected")));
}

void TestMqttClient::executeRpcIgnoresASecondResponse()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    QVERIFY(service.respondRaw(QStringLiteral("twice/request/+"),
                               [](const QString&, const QByteArray&) {
                                   return QList<QByteArray> {"{\"n\":1}", "{\"n\":2}"};
                               }));
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    MessageCapture log;
    auto outcome = watch(client.executeRpc(QStringLiteral("twice"), QStringLiteral("5"), {}));
    QTRY_COMPARE_WITH_TIMEOUT(outcome->state, DeferredState::RESOLVED, Wait);
    QCOMPARE(outcome->value.toObject(), object("{\"n\":1}"));
    QTest::qWait(300);
    QCOMPARE(outcome->settlements, 1);
    QCOMPARE(log.messages(QtWarningMsg).size(), 0); // no second settlement attempted
    QCOMPARE(client.subscriptionCount(), 0);
}

void TestMqttClient::executeRpcWithUnsendableRequestFailsAtOnce()
{
    MqttClient client;
    QVERIFY(connectClient(client, m_broker));
    // "+" is fine in the response filter but not in the request topic.
    auto outcome = watch(client.executeRpc(QStringLiteral("bad/+"), QStringLiteral("1"), {}, 0));
    QCOMPARE(outcome->state, DeferredState::REJECTED);
    QCOMPARE(outcome->value, QJsonValue(QStringLiteral("Publish failed")));
    QCOMPARE(client.pendingWaits(), 0);
    QCOMPARE(client.subscriptionCount(), 0);

    // A response filter that cannot be subscribed ends the call before any publication.
    outcome = watch(client.executeRpc(QStringLiteral("worse/#"), QStringLiteral("1"), {}));
    QCOMPARE(outcome->state, DeferredState::REJECTED);
    QCOMPARE(outcome->value, QJsonValue(QStringLiteral("Subscription failed")));
    QVERIFY(client.isConnected());
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray childPort = qgetenv(WillChildVariable);
    if (!childPort.isEmpty())
        return runWillChild(childPort.toUShort());
    TestMqttClient test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mqttclient.moc"
