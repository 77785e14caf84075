// The broker connection on real mosquitto brokers: MqttConnection (states, counted
// subscriptions, will, payloads) and MqttClient on top (reconnection, waits, requests).

#include "MessageCapture.h"
#include "MqttClient.h"
#include "MqttSubscription.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using manager::MqttClient;
using C = MqttConnection;
using S = MqttSubscription;

namespace {

constexpr int Wait = 10000;

struct Outcome
{
    DeferredState state = DeferredState::PENDING;
    QJsonValue value;
    int settlements = 0;
};

std::shared_ptr<Outcome> watch(const Deferred<QJsonValue>& deferred)
{
    auto outcome = std::make_shared<Outcome>();
    auto record = [outcome](DeferredState state) {
        return [outcome, state](const QJsonValue& value) {
            *outcome = {state, value, outcome->settlements + 1};
        };
    };
    deferred.done(record(DeferredState::RESOLVED)).fail(record(DeferredState::REJECTED));
    return outcome;
}

bool connectTo(MqttClient& client, const TestBroker& broker)
{
    client.setHostname(broker.host());
    client.setPort(broker.port());
    client.setRetryMillis(300);
    client.connect();
    return QTest::qWaitFor([&] { return client.isConnected(); }, Wait);
}

bool connectTo(C& connection, const TestBroker& broker)
{
    connection.setHostname(broker.host());
    connection.setPort(broker.port());
    connection.connectToHost();
    return QTest::qWaitFor([&] { return connection.state() == C::Connected; }, Wait);
}

// Subscribes and waits for the broker's answer.
S* subscribed(C& connection, const QString& filter, quint8 qos = 0)
{
    S* s = connection.subscribe(filter, qos);
    return s && QTest::qWaitFor([&] { return s->state() != S::SubscriptionPending; }, Wait)
        ? s
        : nullptr;
}

QJsonObject object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestMqttClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void connectionStates();
    void failedAttemptsAreReportedAndRetried_data();
    void failedAttemptsAreReportedAndRetried();
    void hostNamesAreLookedUpAside();
    void reconnectsAndSubscribesAgain();
    void subscriptionsAreCountedPerFilter();
    void refusals();
    void payloadsArriveUnchanged_data();
    void payloadsArriveUnchanged();
    void keepAliveAndWill();
    void slotsMayCallBackOrDeleteTheConnection();
    void waitTopic();
    void waitWhoseTimeoutAndMessageCoincide_data();
    void waitWhoseTimeoutAndMessageCoincide();
    void executeRpc_data();
    void executeRpc();

private:
    TestBroker m_broker;
    TestBroker m_guarded; // user "terminal", password "s3cret"
    TestBroker m_strict; // grants QoS 1 at most
};

void TestMqttClient::initTestCase()
{
    QVERIFY(m_broker.start());
    m_guarded.addUser("terminal", "s3cret");
    QVERIFY(m_guarded.start());
    m_strict.addConfig("max_qos 1");
    QVERIFY(m_strict.start());
}

void TestMqttClient::connectionStates()
{
    C c;
    QSignalSpy states(&c, &C::stateChanged);
    QSignalSpy errors(&c, &C::errorChanged);
    QVERIFY(!c.subscribe("a/b"));
    QCOMPARE(c.publish("a/b", "x"), -1);
    c.connectToHost(); // no host yet: the attempt is ended early, cleanly
    QVERIFY(!c.subscribe("a/b"));
    c.disconnectFromHost();
    QVERIFY(connectTo(c, m_broker));
    c.connectToHost(); // ignored while connected
    for (const char* filter : {"", "a/#/b", "a+/b"})
        QVERIFY(!c.subscribe(filter));
    for (const char* topic : {"", "a/+", "a/#"})
        QCOMPARE(c.publish(topic, "x"), -1);
    QVERIFY(!c.subscribe("a/b", 3));
    QCOMPARE(c.publish("a/b", "x", 3), -1);
    QCOMPARE(c.publish("a/b", "x", 0), 0);
    QVERIFY(c.publish("a/b", "x", 2) > 0);
    c.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(c.state(), C::Disconnected, Wait);
    QCOMPARE(errors.count(), 0);
    QList<int> seen;
    for (const QList<QVariant>& arguments : states)
        seen << int(arguments.at(0).value<C::ClientState>());
    QCOMPARE(seen,
             (QList<int> {C::Connecting, C::Disconnected, C::Connecting, C::Connected,
                          C::Disconnected}));
}

void TestMqttClient::failedAttemptsAreReportedAndRetried_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("warning");
    const QString transport
        = "[MqttClient] Transport invalid: The underlying transport caused an error. For example, "
          "the connection might have been interrupted unexpectedly.";
    const QString refused = "[MqttClient] Not authorized: KVRTTerminalUI_42. The client is not "
                            "authorized to connect.";
    QTest::newRow("nobody listens") << "stopped" << QString() << transport;
    QTest::newRow("unresolvable host") << "no-such-host.invalid" << QString() << transport;
    QTest::newRow("CONNECT never answered") << "silent" << QString() << transport;
    QTest::newRow("wrong password") << "guarded"
                                    << "wrong" << refused;
    QTest::newRow("no credentials") << "guarded" << QString() << refused;
}

void TestMqttClient::failedAttemptsAreReportedAndRetried()
{
    QFETCH(QString, server);
    QFETCH(QString, password);
    QFETCH(QString, warning);
    TestBroker stopped;
    QVERIFY(stopped.start());
    stopped.stop();
    // Completes TCP handshakes but never says a word.
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    QVERIFY(::bind(silent, reinterpret_cast<sockaddr*>(&address), length) == 0);
    QVERIFY(::listen(silent, 16) == 0);
    QVERIFY(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length) == 0);

    MessageCapture log;
    MqttClient client;
    QSignalSpy errors(&client, &MqttClient::error);
    client.setHostname(server.contains('.') ? server : "127.0.0.1");
    client.setPort(server == "silent"        ? ntohs(address.sin_port)
                       : server == "guarded" ? m_guarded.port()
                                             : stopped.port());
    client.setRetryMillis(300);
    client.setClientId("KVRTTerminalUI_42");
    client.setUsername(password.isEmpty() ? QString() : "terminal");
    client.setPassword(password);
    client.setEncrypted(true);
    client.connect();
    QTRY_VERIFY_WITH_TIMEOUT(errors.count() >= 2, 3 * Wait); // every attempt reports
    ::close(silent);
    QCOMPARE(errors.at(0).at(0).toString(), QString("Mqtt client error"));
    QVERIFY2(log.messages(QtWarningMsg).count(warning) >= 2, qPrintable(log.messages().join('\n')));
    QVERIFY(log.messages(QtWarningMsg).contains("[MqttClient] Encryption not yet supported"));
    QVERIFY(!client.isConnected());
    QVERIFY(password.isEmpty() || !log.contains(password));
    QCOMPARE(log.contains("[MqttConnection] Looking up '" + server + "' failed: "),
             server.contains('.'));

    // The retries go on, with the parameters as they are now.
    client.setHostname("127.0.0.1");
    client.setPort(m_guarded.port());
    client.setUsername("terminal");
    client.setPassword("s3cret");
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), 3 * Wait);
}

void TestMqttClient::hostNamesAreLookedUpAside()
{
    // The event loop keeps turning while a name is looked up; a result that comes after
    // its attempt ended, or after the connection is gone, is dropped.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(0);
    auto c = std::make_unique<C>();
    QSignalSpy states(c.get(), &C::stateChanged);
    c->setHostname("localhost");
    c->setPort(m_broker.port());
    c->connectToHost();
    QCOMPARE(c->state(), C::Connecting);
    c->disconnectFromHost();
    c->connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(c->state(), C::Connected, Wait);
    QVERIFY(ticks > 0);
    QCOMPARE(states.count(), 4); // Connecting, Disconnected, Connecting, Connected
    c->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(c->state(), C::Disconnected, Wait);
    c->connectToHost();
    c.reset();
    C other; // its look-up comes after the one of the connection destroyed
    other.setHostname("localhost");
    other.setPort(m_broker.port());
    other.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(other.state(), C::Connected, Wait);
}

void TestMqttClient::reconnectsAndSubscribesAgain()
{
    TestBroker broker;
    QVERIFY(broker.start());
    MessageCapture log;
    MqttClient client;
    client.subscribe("again/status");
    client.subscribe("again/config", 1);
    QVERIFY(connectTo(client, broker));
    QVERIFY(log.messages(QtInfoMsg).contains(
        "[MqttClient] Subscribing to 'again/config' with QoS = 1"));
    QSignalSpy connected(&client, &MqttClient::connected);
    QSignalSpy received(&client, &MqttClient::received);
    auto limited = watch(client.waitTopic("again/x", 60000));
    auto unlimited = watch(client.waitTopic("again/y", 0));
    for (int restart = 1; restart <= 2; ++restart) {
        QVERIFY(broker.restart());
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), restart, 3 * Wait); // by itself
        QCOMPARE(client.subscriptionCount(), 2);
    }
    // Waits end with their connection.
    QCOMPARE(limited->value, QJsonValue("Not connected"));
    QCOMPARE(unlimited->value, QJsonValue("Not connected"));
    QCOMPARE(client.pendingWaits(), 0);

    TestPeer service(broker);
    QVERIFY(service.connectToBroker());
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            service.publish("again/config", QByteArray("{\"n\":2}"));
            return QTest::qWaitFor([&] { return received.count() > 0; }, 200);
        }(),
        Wait);
    QCOMPARE(received.last(),
             (QList<QVariant> {QByteArray("{\"n\":2}"), QByteArray("again/config")}));

    // A clean disconnection lasts until the next connect().
    QSignalSpy errors(&client, &MqttClient::error);
    client.disconnect();
    QTRY_VERIFY_WITH_TIMEOUT(!client.isConnected(), Wait);
    QTest::qWait(1000);
    QVERIFY(!client.isConnected());
    QCOMPARE(errors.count(), 0);
    client.connect();
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), Wait);
}

void TestMqttClient::subscriptionsAreCountedPerFilter()
{
    TestPeer peer(m_broker);
    QVERIFY(peer.connectToBroker());
    C c;
    QVERIFY(connectTo(c, m_broker));
    QPointer<S> exact = subscribed(c, "count/a/b");
    S* wildcard = subscribed(c, "count/#");
    S* single = subscribed(c, "count/+/b");
    QVERIFY(exact && wildcard && single);
    QCOMPARE(c.subscribe("count/a/b"), exact.data());
    QCOMPARE(exact->holders(), 2);
    QCOMPARE(c.subscriptionCount(), 3);

    // One message: once to the connection, once per matching subscription.
    QSignalSpy all(&c, &C::messageReceived);
    QSignalSpy onExact(exact, &S::messageReceived);
    QSignalSpy onWildcard(wildcard, &S::messageReceived);
    QSignalSpy onSingle(single, &S::messageReceived);
    QVERIFY(peer.publish("count/a/b", QByteArray("1")));
    QTRY_COMPARE_WITH_TIMEOUT(onWildcard.count(), 1, Wait);
    QCOMPARE(all.count() + onExact.count() + onSingle.count(), 3);
    QCOMPARE(onExact.at(0).at(1).toString(), QString("count/a/b"));

    // It ends with its last holder, and is deleted.
    QVERIFY(c.unsubscribe("count/a/b"));
    QCOMPARE(exact->state(), S::Subscribed);
    exact->unsubscribe();
    QCOMPARE(exact->state(), S::Unsubscribed);
    QCOMPARE(exact->holders(), 0);
    QVERIFY(!c.unsubscribe("count/a/b"));
    exact->unsubscribe(); // ended already
    QTRY_VERIFY_WITH_TIMEOUT(exact.isNull(), Wait);

    // The broker stops sending: nothing comes before a marker on another filter.
    wildcard->unsubscribe();
    single->unsubscribe();
    QCOMPARE(c.subscriptionCount(), 0);
    QVERIFY(subscribed(c, "marker"));
    QVERIFY(peer.publish("count/a/b", QByteArray("2")));
    QVERIFY(peer.publish("marker", QByteArray("m")));
    QTRY_COMPARE_WITH_TIMEOUT(all.count(), 2, Wait);
    QCOMPARE(all.last().at(1).toString(), QString("marker"));
}

void TestMqttClient::refusals()
{
    C c;
    QVERIFY(connectTo(c, m_strict));
    // The QoS the broker grants is the subscription's, not the one asked for.
    S* limited = subscribed(c, "open/limited", 2);
    QVERIFY(limited && limited->state() == S::Subscribed);
    QCOMPARE(limited->qos(), quint8(1));
    // A higher QoS renews a shared subscription; a lower one keeps it.
    S* shared = subscribed(c, "open/shared", 0);
    QVERIFY(shared);
    QCOMPARE(c.subscribe("open/shared", 1), shared);
    QTRY_COMPARE_WITH_TIMEOUT(shared->state(), S::Subscribed, Wait);
    QCOMPARE(c.subscribe("open/shared", 0), shared);
    QCOMPARE(shared->qos(), quint8(1));
    QCOMPARE(shared->holders(), 3);

    // Without a connection everything fails at once, and quietly but for requests.
    MessageCapture log;
    MqttClient client;
    QSignalSpy errors(&client, &MqttClient::error);
    QVERIFY(!client.publish("{}", "open/x"));
    QCOMPARE(watch(client.waitTopic("open/x"))->value, QJsonValue("Not connected"));
    QCOMPARE(watch(client.executeRpc("open", "1", {}))->value, QJsonValue("Not connected"));
    QCOMPARE(log.messages(QtCriticalMsg), QStringList {"[MqttClient] [RPC] ERROR : Not connected"});
    QCOMPARE(errors.count(), 0);

    // Invalid names are errors that keep the connection.
    QVERIFY(connectTo(client, m_strict));
    client.subscribe("bad/#/filter");
    QVERIFY(!client.publish("{}", "open/#"));
    QStringList texts;
    for (const QList<QVariant>& arguments : errors)
        texts << arguments.at(0).toString();
    QCOMPARE(texts,
             (QStringList {"Subscription to bad/#/filter failed.", "Publish to open/# failed."}));
    // "+" fits a response filter but not a request topic; "#" fits neither.
    QCOMPARE(watch(client.executeRpc("bad/+", "1", {}, 0))->value, QJsonValue("Publish failed"));
    QCOMPARE(watch(client.executeRpc("bad/#", "1", {}))->value, QJsonValue("Subscription failed"));
    QVERIFY(client.isConnected());
    QCOMPARE(client.pendingWaits(), 0);
    QCOMPARE(client.subscriptionCount(), 0);
}

void TestMqttClient::payloadsArriveUnchanged_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("empty") << QByteArray();
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 7919) & 0xFF));
    QTest::newRow("binary with NUL bytes") << binary;
    QTest::newRow("invalid UTF-8") << QByteArray("\xff\xfe{\"a\":\x80}");
    QTest::newRow("8 MiB") << QByteArray(8 * 1024 * 1024, 'x');
}

void TestMqttClient::payloadsArriveUnchanged()
{
    QFETCH(QByteArray, payload);
    TestPeer peer(m_broker);
    QVERIFY(peer.connectToBroker());
    QVERIFY(peer.subscribe("payload/out"));
    MqttClient client;
    client.subscribe("payload/in");
    QVERIFY(connectTo(client, m_broker));
    QSignalSpy received(&client, &MqttClient::received);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            peer.publish("payload/in", payload, 1);
            return QTest::qWaitFor([&] { return received.count() > 0; }, 500);
        }(),
        Wait);
    QCOMPARE(received.first().at(0).toByteArray(), payload);
    QVERIFY(client.publish(payload, "payload/out", 1));
    QVERIFY(peer.waitForMessages("payload/out"));
    QCOMPARE(peer.last("payload/out").payload, payload);
}

void TestMqttClient::keepAliveAndWill()
{
    TestPeer observer(m_broker);
    QVERIFY(observer.connectToBroker());
    QVERIFY(observer.subscribe("will/#", 1));
    auto start = [&](C& c, const QString& topic) {
        c.setWillTopic(topic);
        c.setWillMessage("{\"service\": false}");
        c.setWillQoS(1);
        c.setKeepAlive(5);
        return connectTo(c, m_broker);
    };
    C clean;
    QVERIFY(start(clean, "will/clean"));
    clean.disconnectFromHost();
    {
        C destroyed;
        QVERIFY(start(destroyed, "will/destroyed"));
    }
    C lost;
    QVERIFY(start(lost, "will/lost"));
    QVERIFY(subscribed(lost, "other"));
    // The broker drops a client silent for 1.5 keep-alive intervals: the pings prevent it.
    QTest::qWait(9000);
    QCOMPARE(lost.state(), C::Connected);
    lost.closeTransport();
    QCOMPARE(lost.state(), C::Disconnected);
    QCOMPARE(lost.error(), C::TransportInvalid);
    QCOMPARE(lost.subscriptionCount(), 0);
    QVERIFY(observer.waitForMessages("will/lost"));
    QCOMPARE(observer.count(), 1); // the others would have come first
    QCOMPARE(observer.last().payload, QByteArray("{\"service\": false}"));
    QVERIFY(connectTo(lost, m_broker));
}

void TestMqttClient::slotsMayCallBackOrDeleteTheConnection()
{
    TestPeer peer(m_broker);
    QVERIFY(peer.connectToBroker());
    QPointer<C> c = new C;
    QVERIFY(connectTo(*c, m_broker));
    S* subscription = subscribed(*c, "slot/+");
    QVERIFY(subscription);
    // Inside a delivery: subscribe, unsubscribe and publish; then delete the connection
    // while messages that arrived in the same read are still queued.
    QStringList seen;
    connect(subscription, &S::messageReceived, this, [&](const QByteArray& message) {
        seen.append(QString::fromUtf8(message));
        if (message == "reenter") {
            QVERIFY(c->subscribe("slot/+") && c->unsubscribe("slot/+"));
            QVERIFY(c->publish("slot/echo", "echo") >= 0);
        } else if (message == "delete") {
            delete c.data();
        }
    });
    QVERIFY(peer.publish("slot/a", QByteArray("reenter")));
    QTRY_VERIFY_WITH_TIMEOUT(seen.contains("echo"), Wait);
    QVERIFY(peer.publish("slot/a", QByteArray("delete")));
    QVERIFY(peer.publish("slot/a", QByteArray("after")));
    QTRY_VERIFY_WITH_TIMEOUT(c.isNull(), Wait);
    QTest::qWait(200);
    QVERIFY(!seen.contains("after"));
}

void TestMqttClient::waitTopic()
{
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MqttClient client;
    client.subscribe("wait/shared");
    QVERIFY(connectTo(client, m_broker));
    QSignalSpy received(&client, &MqttClient::received);
    const int timers = client.findChildren<QTimer*>().size();

    auto first = watch(client.waitTopic("wait/+/event", Wait));
    auto shared = watch(client.waitTopic("wait/shared", Wait));
    auto sharedToo = watch(client.waitTopic("wait/shared", Wait));
    auto timeout = watch(client.waitTopic("wait/shared", 50));
    auto unlimited = watch(client.waitTopic("wait/never", 0));
    QCOMPARE(client.pendingWaits(), 5);
    QCOMPARE(client.subscriptionCount(), 3); // one per filter
    QTRY_COMPARE_WITH_TIMEOUT(timeout->value, QJsonValue("Timeout"), Wait);
    QVERIFY(service.publish("wait/a/event", QByteArray("{\"n\":1}")));
    QVERIFY(service.publish("wait/b/event", QByteArray("{\"n\":2}")));
    QVERIFY(service.publish("wait/shared", QByteArray("{\"v\":1}")));
    QTRY_COMPARE_WITH_TIMEOUT(first->value, QJsonValue(object("{\"n\":1}")), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(sharedToo->value, QJsonValue(object("{\"v\":1}")), Wait);
    QCOMPARE(shared->value, sharedToo->value);
    QCOMPARE(unlimited->state, DeferredState::PENDING); // no time limit

    // The client's own subscription stays, and gets each message once.
    QVERIFY(service.publish("wait/shared", QByteArray("{}")));
    QVERIFY(service.publish("wait/never", QByteArray("{\"late\":true}")));
    QTRY_COMPARE_WITH_TIMEOUT(unlimited->state, DeferredState::RESOLVED, Wait);
    int onShared = 0;
    for (const QList<QVariant>& arguments : received)
        onShared += arguments.at(1).toByteArray() == "wait/shared" ? 1 : 0;
    QCOMPARE(onShared, 2);
    for (const auto& outcome : {first, shared, sharedToo, timeout, unlimited})
        QCOMPARE(outcome->settlements, 1);
    QCOMPARE(client.pendingWaits(), 0);
    QCOMPARE(client.subscriptionCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(client.findChildren<QTimer*>().size(), timers, Wait);
}

void TestMqttClient::waitWhoseTimeoutAndMessageCoincide_data()
{
    QTest::addColumn<bool>("subscribedToo");
    QTest::newRow("wait alone") << false;
    QTest::newRow("filter also subscribed") << true;
}

void TestMqttClient::waitWhoseTimeoutAndMessageCoincide()
{
    QFETCH(bool, subscribedToo);
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    MqttClient client;
    if (subscribedToo)
        client.subscribe("together/x");
    QVERIFY(connectTo(client, m_broker));
    const int timers = client.findChildren<QTimer*>().size();
    MessageCapture log;
    for (int round = 0; round < 4; ++round) {
        auto outcome = watch(client.waitTopic("together/x", 300));
        QTest::qWait(100);
        // Blocked past the deadline while the message arrives: both are due at once.
        QVERIFY(service.publish("together/x", QByteArray("{}")));
        QThread::msleep(600);
        QTRY_COMPARE_WITH_TIMEOUT(outcome->settlements, 1, Wait);
        QTest::qWait(300);
        QCOMPARE(outcome->settlements, 1);
        QCOMPARE(client.pendingWaits(), 0);
        QCOMPARE(client.subscriptionCount(), subscribedToo ? 1 : 0);
    }
    QVERIFY2(log.messages(QtWarningMsg).isEmpty(), qPrintable(log.messages().join('\n')));
    QTRY_COMPARE_WITH_TIMEOUT(client.findChildren<QTimer*>().size(), timers, Wait);
}

void TestMqttClient::executeRpc_data()
{
    QTest::addColumn<QList<QByteArray>>("answers");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QJsonValue>("value");
    const QJsonValue invalid("Invalid response");
    const QByteArray completed = "{\"completed\":true,\"error\":{\"code\":0}}";
    using Answers = QList<QByteArray>;
    QTest::newRow("object") << Answers {completed} << true << QJsonValue(object(completed));
    QTest::newRow("empty means {}") << Answers {""} << true << QJsonValue(QJsonObject());
    QTest::newRow("text up to NUL") << Answers {QByteArray("{\"c\":true}\0x", 12)} << true
                                    << QJsonValue(object("{\"c\":true}"));
    QTest::newRow("second answer ignored")
        << Answers {"{\"n\":1}", "{\"n\":2}"} << true << QJsonValue(object("{\"n\":1}"));
    QTest::newRow("array") << Answers {"[1,2,3]"} << false << invalid;
    QTest::newRow("number") << Answers {"42"} << false << invalid;
    QTest::newRow("not JSON") << Answers {"completed: yes"} << false << invalid;
    QTest::newRow("truncated") << Answers {"{\"completed\": tr"} << false << invalid;
    QTest::newRow("binary") << Answers {"\x01\xff\xfe"} << false << invalid;
    QTest::newRow("no answer") << Answers() << false << QJsonValue("Timeout");
}

void TestMqttClient::executeRpc()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(bool, resolved);
    QFETCH(QJsonValue, value);
    TestPeer service(m_broker);
    QVERIFY(service.connectToBroker());
    QVERIFY(service.respondRaw("rpc/+/request/+", [answers](auto&&...) { return answers; }));
    MqttClient client;
    QVERIFY(connectTo(client, m_broker));
    MessageCapture log;
    auto outcome = watch(client.executeRpc("rpc/issue", "7", {{"count", 1}, {"at", "rfid"}},
                                           answers.isEmpty() ? 300 : Wait));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settlements > 0, Wait);
    QCOMPARE(outcome->state, resolved ? DeferredState::RESOLVED : DeferredState::REJECTED);
    QCOMPARE(outcome->value, value);
    QCOMPARE(log.messages(QtCriticalMsg).join(""),
             resolved ? QString() : "[MqttClient] [RPC] ERROR : " + value.toString());
    // The request went out once, compact, on the request topic.
    QCOMPARE(service.count("rpc/+/request/+"), 1);
    QCOMPARE(service.last("rpc/+/request/+").topic, QString("rpc/issue/request/7"));
    QCOMPARE(service.last("rpc/+/request/+").payload, QByteArray("{\"at\":\"rfid\",\"count\":1}"));

    // A late answer changes nothing; nothing is left behind.
    QVERIFY(service.publish("rpc/issue/response/7", QByteArray("{\"late\":1}")));
    QTest::qWait(200);
    QCOMPARE(outcome->settlements, 1);
    QVERIFY(log.messages(QtWarningMsg).isEmpty());
    QCOMPARE(client.pendingWaits(), 0);
    QCOMPARE(client.subscriptionCount(), 0);
}

QTEST_GUILESS_MAIN(TestMqttClient)
#include "tst_mqttclient.moc"
