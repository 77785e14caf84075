// The broker connection on real mosquitto brokers: MqttConnection (states, counted
// subscriptions, will, payloads) and MqttClient on top (reconnection, waits, requests).

#include "MessageCapture.h"
#include "MqttClient.h"
#include "MqttSubscription.h"
#include "Settlement.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using manager::MqttClient;
using C = MqttConnection;
using S = MqttSubscription;

namespace {

constexpr int Wait = 10000;

auto watch(const Deferred<QJsonValue>& deferred)
{
    return Settlement<QJsonValue>::of(deferred);
}

template<class Client>
bool connectTo(Client& client, const TestBroker& broker)
{
    client.setHostname(broker.host()), client.setPort(broker.port());
    if constexpr (std::is_same_v<Client, MqttClient>) {
        client.setRetryMillis(300), client.connect();
        return QTest::qWaitFor([&] { return client.isConnected(); }, Wait);
    } else {
        client.connectToHost();
        return QTest::qWaitFor([&] { return client.state() == C::Connected; }, Wait);
    }
}

// Subscribes and waits for the broker's answer.
S* subscribed(C& connection, const QString& filter, quint8 qos = 0)
{
    S* s = connection.subscribe(filter, qos);
    return s && QTest::qWaitFor([&] { return s->state() != S::SubscriptionPending; }, Wait)
        ? s
        : nullptr;
}

QJsonValue object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestMqttClient : public QObject
{
    Q_OBJECT
    TestBroker m_broker;
    TestBroker m_guarded; // user "terminal", password "s3cret"
    TestBroker m_strict; // grants QoS 1 at most
    std::unique_ptr<TestPeer> m_peer;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_broker.start());
        m_guarded.addUser("terminal", "s3cret");
        QVERIFY(m_guarded.start());
        m_strict.addConfig("max_qos 1");
        QVERIFY(m_strict.start());
    }
    void init() // a peer on the broker for every case
    {
        m_peer = std::make_unique<TestPeer>(m_broker);
        QVERIFY(m_peer->connectToBroker());
    }
    void failedAttemptsAreReportedAndRetried_data()
    {
        addTextRows({"server"}, R"(
nobody listens | stopped
unresolvable host | no-such-host.invalid
CONNECT never answered | silent
wrong password | guarded)");
    }
    void failedAttemptsAreReportedAndRetried()
    {
        QFETCH(QString, server);
        TestBroker stopped;
        QVERIFY(stopped.start());
        stopped.stop();
        // Completes TCP handshakes but never says a word.
        const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof(address);
        QVERIFY(::bind(silent, reinterpret_cast<sockaddr*>(&address), length) == 0
                && ::listen(silent, 16) == 0
                && ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        MessageCapture log;
        MqttClient client;
        QSignalSpy errors(&client, &MqttClient::error);
        client.setHostname(server.contains('.') ? server : "127.0.0.1");
        client.setPort(server == "silent"        ? ntohs(address.sin_port)
                           : server == "guarded" ? m_guarded.port()
                                                 : stopped.port());
        client.setRetryMillis(300), client.setClientId("KVRTTerminalUI_42");
        client.setUsername("terminal"), client.setPassword("wrong"), client.setEncrypted(true);
        client.connect();
        // The first failure is reported in full, the retries that fail alike only counted.
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("the last 4 attempts failed"), 6 * Wait);
        ::close(silent);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QString("Mqtt client error"));
        // Encryption, the failure (and for a refusal, the credentials to check), 2 and 4 failures.
        QCOMPARE(log.messages(QtWarningMsg).size(), 4 + (server == "guarded"));
        QVERIFY(!log.contains("wrong")); // the password
        // The retries go on, with the parameters as they are now.
        client.setHostname("127.0.0.1"), client.setPort(m_guarded.port());
        client.setPassword("s3cret");
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), 3 * Wait);
    }
    void connectionStatesAndHostLookUp()
    {
        // A look-up result that comes after its attempt ended, or after the connection is
        // gone, is dropped.
        auto c = std::make_unique<C>();
        QSignalSpy states(c.get(), &C::stateChanged);
        QSignalSpy errors(c.get(), &C::errorChanged);
        QVERIFY(!c->subscribe("a/b") && c->publish("a/b", "x") == -1);
        c->connectToHost(); // no host yet: the attempt is ended early, cleanly
        c->disconnectFromHost();
        c->setHostname("localhost"), c->setPort(m_broker.port());
        c->connectToHost();
        QCOMPARE(c->state(), C::Connecting); // not blocked by the look-up
        c->disconnectFromHost();
        c->connectToHost();
        QTRY_COMPARE_WITH_TIMEOUT(c->state(), C::Connected, Wait);
        c->connectToHost(); // ignored while connected
        QVERIFY(!c->subscribe("") && !c->subscribe("a/#/b") && !c->subscribe("a/b", 3));
        QCOMPARE(c->publish("", "x") + c->publish("a/+", "x") + c->publish("a/b", "x", 3), -3);
        QVERIFY(c->publish("a/b", "x", 0) == 0 && c->publish("a/b", "x", 2) > 0);
        c->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(c->state(), C::Disconnected, Wait);
        QList<int> seen;
        for (const QList<QVariant>& arguments : states)
            seen << arguments.at(0).toInt();
        QCOMPARE(seen,
                 (QList<int> {C::Connecting, C::Disconnected, C::Connecting, C::Disconnected,
                              C::Connecting, C::Connected, C::Disconnected}));
        QCOMPARE(errors.count(), 0);
        c->connectToHost();
        c.reset();
        C other; // its look-up comes after the one of the connection destroyed
        other.setHostname("localhost"), other.setPort(m_broker.port());
        other.connectToHost();
        QTRY_COMPARE_WITH_TIMEOUT(other.state(), C::Connected, Wait);
    }
    void reconnectsAndSubscribesAgain()
    {
        TestBroker broker;
        QVERIFY(broker.start());
        MqttClient client;
        client.subscribe("again/status");
        client.subscribe("again/config", 1);
        QVERIFY(connectTo(client, broker));
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
        QVERIFY(limited->value == QJsonValue("Not connected") && unlimited->value == limited->value
                && !client.pendingWaits());
        // Payloads pass unchanged both ways, NUL bytes and all.
        const QByteArray binary("{\"n\":2}\0\xff\0", 10);
        TestPeer service(broker);
        QVERIFY(service.connectToBroker() && service.subscribe("again/out"));
        QVERIFY(service.publish("again/config", binary, 1, true)); // retained: no race
        QTRY_VERIFY_WITH_TIMEOUT(received.count() > 0, Wait);
        QCOMPARE(received.last(), (QList<QVariant> {binary, QByteArray("again/config")}));
        QVERIFY(client.publish(binary, "again/out", 1) && service.waitForMessages("again/out"));
        QCOMPARE(service.last("again/out").payload, binary);
        // A clean disconnection lasts until the next connect().
        QSignalSpy errors(&client, &MqttClient::error);
        client.disconnect();
        QTest::qWait(1000);
        QVERIFY(!client.isConnected() && errors.isEmpty());
        client.connect();
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), Wait);
    }
    void subscriptionsAreCountedPerFilter()
    {
        TestPeer& peer = *m_peer;
        C c;
        QVERIFY(connectTo(c, m_broker));
        QPointer<S> exact = subscribed(c, "count/a/b");
        S* wildcard = subscribed(c, "count/#");
        S* single = subscribed(c, "count/+/b");
        QVERIFY(exact && wildcard && single);
        QVERIFY(c.subscribe("count/a/b") == exact && exact->holders() == 2
                && c.subscriptionCount() == 3);
        // One message: once to the connection, once per matching subscription.
        QSignalSpy all(&c, &C::messageReceived);
        QSignalSpy onExact(exact, &S::messageReceived);
        QSignalSpy onWildcard(wildcard, &S::messageReceived);
        QSignalSpy onSingle(single, &S::messageReceived);
        QVERIFY(peer.publish("count/a/b", QByteArray("1")));
        QTRY_COMPARE_WITH_TIMEOUT(onWildcard.count(), 1, Wait);
        QCOMPARE(all.count() + onExact.count() + onSingle.count(), 3);
        // It ends with its last holder, and is deleted.
        QVERIFY(c.unsubscribe("count/a/b") && exact->state() == S::Subscribed);
        exact->unsubscribe();
        QVERIFY(!c.unsubscribe("count/a/b") && exact->state() == S::Unsubscribed);
        exact->unsubscribe(); // ended already
        QTRY_VERIFY_WITH_TIMEOUT(exact.isNull(), Wait);
        // The broker stops sending: nothing comes before a marker on another filter.
        wildcard->unsubscribe(), single->unsubscribe();
        QCOMPARE(c.subscriptionCount(), 0);
        QVERIFY(subscribed(c, "marker") && peer.publish("count/a/b", QByteArray("2"))
                && peer.publish("marker", QByteArray()));
        QTRY_COMPARE_WITH_TIMEOUT(all.count(), 2, Wait);
        QCOMPARE(all.last(), (QList<QVariant> {QByteArray(), QString("marker")})); // empty payload
    }
    void refusals()
    {
        C c;
        QVERIFY(connectTo(c, m_strict));
        // The QoS the broker grants is the subscription's, not the one asked for.
        S* limited = subscribed(c, "open/limited", 2);
        QVERIFY(limited && limited->state() == S::Subscribed && limited->qos() == 1);
        // A higher QoS renews a shared subscription; a lower one keeps it.
        S* shared = subscribed(c, "open/shared", 0);
        QVERIFY(shared && c.subscribe("open/shared", 1) == shared);
        QTRY_COMPARE_WITH_TIMEOUT(shared->state(), S::Subscribed, Wait);
        QVERIFY(c.subscribe("open/shared", 0) == shared && shared->qos() == 1);
        // Without a connection everything fails at once, with no error signal.
        MqttClient client;
        QSignalSpy errors(&client, &MqttClient::error);
        QVERIFY(!client.publish("{}", "open/x"));
        QCOMPARE(watch(client.executeRpc("open", "1", {}))->value, QJsonValue("Not connected"));
        QCOMPARE(errors.count(), 0);
        // Invalid names are errors that keep the connection.
        QVERIFY(connectTo(client, m_strict));
        client.subscribe("bad/#/filter");
        QVERIFY(!client.publish("{}", "open/#"));
        QCOMPARE(errors.count(), 2); // "Subscription to ... failed.", "Publish to ... failed."
        // "+" fits a response filter but not a request topic; "#" fits neither.
        QCOMPARE(watch(client.executeRpc("bad/+", "1", {}, 0))->value,
                 QJsonValue("Publish failed"));
        QCOMPARE(watch(client.executeRpc("bad/#", "1", {}))->value,
                 QJsonValue("Subscription failed"));
        QVERIFY(client.isConnected() && client.pendingWaits() + client.subscriptionCount() == 0);
    }
    void keepAliveAndWill()
    {
        TestPeer& observer = *m_peer;
        QVERIFY(observer.subscribe("will/#", 1));
        auto start = [&](C& c, const QString& topic) {
            c.setWillTopic(topic), c.setWillMessage("{\"service\": false}");
            c.setWillQoS(1), c.setKeepAlive(5);
            return connectTo(c, m_broker);
        };
        {
            C destroyed; // ends cleanly: no will
            QVERIFY(start(destroyed, "will/destroyed"));
        }
        C lost;
        QVERIFY(start(lost, "will/lost"));
        QVERIFY(subscribed(lost, "other"));
        // The broker drops a client silent for 1.5 keep-alive intervals: the pings prevent it.
        QTest::qWait(9000);
        QCOMPARE(lost.state(), C::Connected);
        lost.closeTransport();
        QVERIFY(lost.state() == C::Disconnected && lost.error() == C::TransportInvalid
                && !lost.subscriptionCount());
        QVERIFY(observer.waitForMessages("will/lost"));
        QCOMPARE(observer.count(), 1); // the other would have come first
        QCOMPARE(observer.last().payload, QByteArray("{\"service\": false}"));
        QVERIFY(connectTo(lost, m_broker));
    }
    void slotsMayCallBackOrDeleteTheConnection()
    {
        TestPeer& peer = *m_peer;
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
                QVERIFY(c->subscribe("slot/+") && c->unsubscribe("slot/+")
                        && c->publish("slot/echo", "echo") >= 0);
            } else if (message == "delete") {
                delete c.data();
            }
        });
        QVERIFY(peer.publish("slot/a", QByteArray("reenter")));
        QTRY_VERIFY_WITH_TIMEOUT(seen.contains("echo"), Wait);
        QVERIFY(peer.publish("slot/a", QByteArray("delete")) && peer.publish("slot/a", "after"));
        QTRY_VERIFY_WITH_TIMEOUT(c.isNull(), Wait);
        QTest::qWait(200);
        QVERIFY(!seen.contains("after"));
    }
    void waitTopic()
    {
        TestPeer& service = *m_peer;
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
        QVERIFY(timeout->wait(Wait) && timeout->value == QJsonValue("Timeout"));
        QVERIFY(service.publish("wait/a/event", QByteArray("{\"n\":1}")));
        QVERIFY(service.publish("wait/b/event", QByteArray("{\"n\":2}")));
        QVERIFY(service.publish("wait/shared", QByteArray("{\"v\":1}")));
        QVERIFY(first->wait(Wait) && sharedToo->wait(Wait));
        QCOMPARE(first->value, object("{\"n\":1}"));
        QVERIFY(sharedToo->value == object("{\"v\":1}") && shared->value == sharedToo->value);
        QVERIFY(!unlimited->settled()); // no time limit
        // The client's own subscription stays, and gets each message once.
        QVERIFY(service.publish("wait/shared", QByteArray("{}")));
        QVERIFY(service.publish("wait/never", QByteArray("{\"late\":true}")));
        QVERIFY(unlimited->wait(Wait) && unlimited->resolved());
        int onShared = 0;
        for (const QList<QVariant>& arguments : received)
            onShared += arguments.at(1).toByteArray() == "wait/shared" ? 1 : 0;
        QCOMPARE(onShared, 2);
        for (const auto& outcome : {first, shared, sharedToo, timeout, unlimited})
            QCOMPARE(outcome->calls(), 1);
        QCOMPARE(client.pendingWaits() + client.subscriptionCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(client.findChildren<QTimer*>().size(), timers, Wait);
    }
    void waitWhoseTimeoutAndMessageCoincide_data()
    {
        QTest::addColumn<bool>("subscribedToo");
        QTest::newRow("wait alone") << false;
        QTest::newRow("filter also subscribed") << true;
    }
    void waitWhoseTimeoutAndMessageCoincide()
    {
        QFETCH(bool, subscribedToo);
        TestPeer& service = *m_peer;
        MqttClient client;
        if (subscribedToo)
            client.subscribe("together/x");
        QVERIFY(connectTo(client, m_broker));
        const int timers = client.findChildren<QTimer*>().size();
        MessageCapture log;
        for (int round = 0; round < 3; ++round) {
            auto outcome = watch(client.waitTopic("together/x", 300));
            QTest::qWait(100);
            // Blocked past the deadline while the message arrives: both are due at once.
            QVERIFY(service.publish("together/x", QByteArray("{}")));
            QThread::msleep(600);
            QVERIFY(outcome->wait(Wait));
            QTest::qWait(300);
            QCOMPARE(outcome->calls(), 1);
            QCOMPARE(client.pendingWaits() + client.subscriptionCount(), int(subscribedToo));
        }
        QVERIFY2(log.messages(QtWarningMsg).isEmpty(), qPrintable(log.messages().join('\n')));
        QTRY_COMPARE_WITH_TIMEOUT(client.findChildren<QTimer*>().size(), timers, Wait);
    }
    void executeRpc_data()
    {
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<QJsonValue>("value"); // a text: rejected with it
        const QJsonValue invalid("Invalid response");
        using Answers = QList<QByteArray>;
        QTest::newRow("object") << Answers {"{\"completed\":true}"}
                                << object("{\"completed\":true}");
        QTest::newRow("empty means {}") << Answers {""} << QJsonValue(QJsonObject());
        QTest::newRow("text up to NUL")
            << Answers {QByteArray("{\"c\":true}\0x", 12)} << object("{\"c\":true}");
        QTest::newRow("array") << Answers {"[1,2,3]"} << invalid;
        QTest::newRow("not JSON") << Answers {"{\"completed\": tr"} << invalid;
        QTest::newRow("no answer") << Answers() << QJsonValue("Timeout");
    }
    void executeRpc()
    {
        QFETCH(QList<QByteArray>, answers);
        QFETCH(QJsonValue, value);
        TestPeer& service = *m_peer;
        QVERIFY(service.respondRaw("rpc/+/request/+", [answers](auto&&...) { return answers; }));
        MqttClient client;
        QVERIFY(connectTo(client, m_broker));
        MessageCapture log;
        auto outcome = watch(client.executeRpc("rpc/issue", "7", {{"count", 1}, {"at", "rfid"}},
                                               answers.isEmpty() ? 300 : Wait));
        QVERIFY(outcome->wait(Wait));
        QVERIFY(outcome->rejected() == value.isString() && outcome->value == value);
        // The request went out once, compact, on the request topic.
        const auto request = service.last("rpc/+/request/+");
        QCOMPARE(service.count("rpc/+/request/+"), 1);
        QCOMPARE(request.topic + ' ' + request.payload,
                 "rpc/issue/request/7 {\"at\":\"rfid\",\"count\":1}");
        // A late answer changes nothing; nothing is left behind.
        QVERIFY(service.publish("rpc/issue/response/7", QByteArray("{\"late\":1}")));
        QTest::qWait(200);
        QCOMPARE(outcome->calls(), 1);
        QVERIFY(log.messages(QtWarningMsg).isEmpty());
        QCOMPARE(client.pendingWaits() + client.subscriptionCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMqttClient)
#include "tst_mqttclient.moc"
