#include "MqttConnection.h"
#include "MqttSubscription.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

constexpr int Wait = 10000;

void useBroker(MqttConnection& connection, const TestBroker& broker)
{
    connection.setHostname(broker.host());
    connection.setPort(broker.port());
}

// Subscribes and waits for the broker's acknowledgement.
MqttSubscription* subscribed(MqttConnection& connection, const QString& filter, quint8 qos = 0)
{
    MqttSubscription* subscription = connection.subscribe(filter, qos);
    if (subscription
        && !QTest::qWaitFor([&] { return subscription->state() == MqttSubscription::Subscribed; },
                            Wait))
        return nullptr;
    return subscription;
}

} // namespace

class TestMqttConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void connectsAndDisconnectsCleanly();
    void refusedConnectionIsATransportError();
    void unresolvableHostIsATransportError();
    void brokerChecksTheCredentials();
    void operationsNeedAConnection();
    void invalidFiltersAndTopicsAreRefused();

    void subscriptionsAreCountedPerFilter();
    void aMessageIsDeliveredOncePerMatchingSubscription();
    void subscriptionsEndWithTheConnection();
    void higherQosUpgradesTheSharedSubscription();

    void closeTransportMakesTheBrokerPublishTheWill();
    void cleanEndsDiscardTheWill();
    void payloadsArriveUnchanged_data();
    void payloadsArriveUnchanged();
    void slotsMayCallBackOrDeleteTheConnection();
    void idleConnectionIsKeptAlive();

private:
    std::unique_ptr<MqttConnection> connected();

    TestBroker m_broker;
};

void TestMqttConnection::initTestCase()
{
    QVERIFY(m_broker.start());
}

std::unique_ptr<MqttConnection> TestMqttConnection::connected()
{
    auto connection = std::make_unique<MqttConnection>();
    useBroker(*connection, m_broker);
    connection->connectToHost();
    if (!QTest::qWaitFor([&] { return connection->state() == MqttConnection::Connected; }, Wait))
        return nullptr;
    return connection;
}

void TestMqttConnection::connectsAndDisconnectsCleanly()
{
    MqttConnection connection;
    useBroker(connection, m_broker);
    QSignalSpy states(&connection, &MqttConnection::stateChanged);
    QSignalSpy up(&connection, &MqttConnection::connected);
    QSignalSpy down(&connection, &MqttConnection::disconnected);
    QSignalSpy errors(&connection, &MqttConnection::errorChanged);

    connection.connectToHost();
    QCOMPARE(connection.state(), MqttConnection::Connecting);
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
    QCOMPARE(up.count(), 1);

    // A second request while connected changes nothing.
    connection.connectToHost();
    QCOMPARE(connection.state(), MqttConnection::Connected);

    connection.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Disconnected, Wait);
    QCOMPARE(down.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(connection.error(), MqttConnection::NoError);
    QCOMPARE(states.count(), 3);
    QCOMPARE(states.at(0).at(0).value<MqttConnection::ClientState>(), MqttConnection::Connecting);
    QCOMPARE(states.at(1).at(0).value<MqttConnection::ClientState>(), MqttConnection::Connected);
    QCOMPARE(states.at(2).at(0).value<MqttConnection::ClientState>(), MqttConnection::Disconnected);

    // The same object connects again.
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
}

void TestMqttConnection::refusedConnectionIsATransportError()
{
    TestBroker stopped;
    QVERIFY(stopped.start());
    stopped.stop(); // a port on which nobody listens

    MqttConnection connection;
    useBroker(connection, stopped);
    QSignalSpy errors(&connection, &MqttConnection::errorChanged);
    QSignalSpy down(&connection, &MqttConnection::disconnected);

    connection.connectToHost();
    // Reported from the event loop, not inside connectToHost().
    QCOMPARE(connection.state(), MqttConnection::Connecting);
    QCOMPARE(errors.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Disconnected, Wait);
    QCOMPARE(connection.error(), MqttConnection::TransportInvalid);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(down.count(), 1);

    // Every attempt reports its own failure, and the broker's return is noticed.
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 2, Wait);
    QVERIFY(stopped.start());
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
    QCOMPARE(connection.error(), MqttConnection::NoError);
}

void TestMqttConnection::unresolvableHostIsATransportError()
{
    MqttConnection connection;
    connection.setHostname(QStringLiteral("no-such-host.invalid"));
    connection.setPort(m_broker.port());
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Disconnected, Wait);
    QCOMPARE(connection.error(), MqttConnection::TransportInvalid);
}

void TestMqttConnection::brokerChecksTheCredentials()
{
    TestBroker guarded;
    guarded.addUser(QStringLiteral("terminal"), QStringLiteral("s3cret"));
    QVERIFY(guarded.start());

    MqttConnection connection;
    useBroker(connection, guarded);
    QSignalSpy errors(&connection, &MqttConnection::errorChanged);

    // mosquitto answers a wrong password with CONNACK 5 (not authorised); the code of the
    // broker's answer is what the connection reports.
    connection.setUsername(QStringLiteral("terminal"));
    connection.setPassword(QStringLiteral("wrong"));
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Disconnected, Wait);
    QCOMPARE(connection.error(), MqttConnection::NotAuthorized);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).value<MqttConnection::ClientError>(),
             MqttConnection::NotAuthorized);

    connection.setUsername(QString());
    connection.setPassword(QString());
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 2, Wait);
    QCOMPARE(connection.error(), MqttConnection::NotAuthorized);

    connection.setUsername(QStringLiteral("terminal"));
    connection.setPassword(QStringLiteral("s3cret"));
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
    QCOMPARE(connection.error(), MqttConnection::NoError);
}

void TestMqttConnection::operationsNeedAConnection()
{
    MqttConnection connection;
    useBroker(connection, m_broker);
    QVERIFY(!connection.subscribe(QStringLiteral("a/b")));
    QCOMPARE(connection.publish(QStringLiteral("a/b"), "x"), -1);
    QVERIFY(!connection.unsubscribe(QStringLiteral("a/b")));

    connection.connectToHost();
    QCOMPARE(connection.state(), MqttConnection::Connecting);
    QVERIFY(!connection.subscribe(QStringLiteral("a/b")));
    QCOMPARE(connection.publish(QStringLiteral("a/b"), "x"), -1);

    // Ending an attempt early is clean too.
    QSignalSpy down(&connection, &MqttConnection::disconnected);
    connection.disconnectFromHost();
    QCOMPARE(connection.state(), MqttConnection::Disconnected);
    QCOMPARE(connection.error(), MqttConnection::NoError);
    QCOMPARE(down.count(), 1);
    QTest::qWait(100);
    QCOMPARE(connection.state(), MqttConnection::Disconnected);
}

void TestMqttConnection::invalidFiltersAndTopicsAreRefused()
{
    auto connection = connected();
    QVERIFY(connection);
    QVERIFY(!connection->subscribe(QString()));
    QVERIFY(!connection->subscribe(QStringLiteral("a/#/b")));
    QVERIFY(!connection->subscribe(QStringLiteral("a+/b")));
    QVERIFY(!connection->subscribe(QStringLiteral("a/b"), 3));
    QCOMPARE(connection->publish(QString(), "x"), -1);
    QCOMPARE(connection->publish(QStringLiteral("a/+"), "x"), -1);
    QCOMPARE(connection->publish(QStringLiteral("a/#"), "x"), -1);
    QCOMPARE(connection->publish(QStringLiteral("a/b"), "x", 3), -1);
    QCOMPARE(connection->subscriptionCount(), 0);

    QCOMPARE(connection->publish(QStringLiteral("a/b"), "x", 0), 0);
    QVERIFY(connection->publish(QStringLiteral("a/b"), "x", 1) > 0);
    QVERIFY(connection->publish(QStringLiteral("a/b"), "x", 2) > 0);
    QCOMPARE(connection->state(), MqttConnection::Connected);
}

void TestMqttConnection::subscriptionsAreCountedPerFilter()
{
    TestPeer peer(m_broker);
    QVERIFY(peer.connectToBroker());
    auto connection = connected();
    QVERIFY(connection);
    QSignalSpy all(connection.get(), &MqttConnection::messageReceived);

    QPointer<MqttSubscription> first = subscribed(*connection, QStringLiteral("count/me"));
    QVERIFY(first);
    MqttSubscription* second = connection->subscribe(QStringLiteral("count/me"));
    QCOMPARE(second, first.data());
    QCOMPARE(first->holders(), 2);
    QCOMPARE(connection->subscriptionCount(), 1);
    QSignalSpy messages(first.data(), &MqttSubscription::messageReceived);
    QSignalSpy states(first.data(), &MqttSubscription::stateChanged);

    // One holder leaves: the other one still gets the messages.
    QVERIFY(connection->unsubscribe(QStringLiteral("count/me")));
    QCOMPARE(first->holders(), 1);
    QCOMPARE(first->state(), MqttSubscription::Subscribed);
    QVERIFY(peer.publish(QStringLiteral("count/me"), QByteArray("1")));
    QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, Wait);

    // The last one leaves: the broker stops sending.
    first->unsubscribe();
    QCOMPARE(states.count(), 1);
    QCOMPARE(first->state(), MqttSubscription::Unsubscribed);
    QCOMPARE(first->holders(), 0);
    QCOMPARE(connection->subscriptionCount(), 0);
    QVERIFY(!connection->unsubscribe(QStringLiteral("count/me")));
    first->unsubscribe(); // ended already: nothing happens
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), Wait); // deleted by the connection

    // A marker on another filter shows that nothing more came on the old one.
    QVERIFY(subscribed(*connection, QStringLiteral("count/marker")));
    QVERIFY(peer.publish(QStringLiteral("count/me"), QByteArray("2")));
    QVERIFY(peer.publish(QStringLiteral("count/marker"), QByteArray("m")));
    QTRY_COMPARE_WITH_TIMEOUT(all.count(), 2, Wait);
    QCOMPARE(all.at(1).at(1).toString(), QStringLiteral("count/marker"));

    // Subscribing again starts a new subscription.
    MqttSubscription* again = subscribed(*connection, QStringLiteral("count/me"));
    QVERIFY(again);
    QCOMPARE(again->holders(), 1);
}

void TestMqttConnection::aMessageIsDeliveredOncePerMatchingSubscription()
{
    TestPeer peer(m_broker);
    QVERIFY(peer.connectToBroker());
    auto connection = connected();
    QVERIFY(connection);

    MqttSubscription* exact = subscribed(*connection, QStringLiteral("once/a/b"));
    QVERIFY(exact);
    QCOMPARE(connection->subscribe(QStringLiteral("once/a/b"), 0), exact);
    MqttSubscription* wildcard = subscribed(*connection, QStringLiteral("once/#"));
    MqttSubscription* single = subscribed(*connection, QStringLiteral("once/+/b"));
    MqttSubscription* other = subscribed(*connection, QStringLiteral("once/x"));
    QVERIFY(wildcard && single && other);

    QSignalSpy all(connection.get(), &MqttConnection::messageReceived);
    QSignalSpy onExact(exact, &MqttSubscription::messageReceived);
    QSignalSpy onWildcard(wildcard, &MqttSubscription::messageReceived);
    QSignalSpy onSingle(single, &MqttSubscription::messageReceived);
    QSignalSpy onOther(other, &MqttSubscription::messageReceived);

    QVERIFY(peer.publish(QStringLiteral("once/a/b"), QByteArray("payload")));
    QVERIFY(peer.publish(QStringLiteral("once/x"), QByteArray("marker")));
    QTRY_COMPARE_WITH_TIMEOUT(onOther.count(), 1, Wait);
    QCOMPARE(all.count(), 2);
    QCOMPARE(all.at(0).at(0).toByteArray(), QByteArray("payload"));
    QCOMPARE(all.at(0).at(1).toString(), QStringLiteral("once/a/b"));
    QCOMPARE(onExact.count(), 1);
    QCOMPARE(onSingle.count(), 1);
    QCOMPARE(onWildcard.count(), 2);
    QCOMPARE(onExact.at(0).at(1).toString(), QStringLiteral("once/a/b"));
}

void TestMqttConnection::subscriptionsEndWithTheConnection()
{
    TestBroker broker;
    QVERIFY(broker.start());
    MqttConnection connection;
    useBroker(connection, broker);
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
    QPointer<MqttSubscription> subscription = subscribed(connection, QStringLiteral("end/x"));
    QVERIFY(subscription);
    QSignalSpy states(subscription.data(), &MqttSubscription::stateChanged);
    QSignalSpy errors(&connection, &MqttConnection::errorChanged);

    broker.stop();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Disconnected, Wait);
    QCOMPARE(connection.error(), MqttConnection::TransportInvalid);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(states.count(), 1);
    QCOMPARE(states.at(0).at(0).value<MqttSubscription::SubscriptionState>(),
             MqttSubscription::Unsubscribed);
    QCOMPARE(connection.subscriptionCount(), 0);
    QVERIFY(!connection.unsubscribe(QStringLiteral("end/x")));
    QTRY_VERIFY_WITH_TIMEOUT(subscription.isNull(), Wait);

    // After a reconnection the filter is new again.
    QVERIFY(broker.start());
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
    MqttSubscription* fresh = connection.subscribe(QStringLiteral("end/x"));
    QVERIFY(fresh);
    QCOMPARE(fresh->holders(), 1);
}

void TestMqttConnection::higherQosUpgradesTheSharedSubscription()
{
    auto connection = connected();
    QVERIFY(connection);
    MqttSubscription* subscription = subscribed(*connection, QStringLiteral("qos/x"), 0);
    QVERIFY(subscription);
    QCOMPARE(subscription->qos(), quint8(0));
    QCOMPARE(connection->subscribe(QStringLiteral("qos/x"), 1), subscription);
    QTRY_COMPARE_WITH_TIMEOUT(subscription->state(), MqttSubscription::Subscribed, Wait);
    QCOMPARE(subscription->qos(), quint8(1));
    QCOMPARE(subscription->holders(), 2);
    // A lower QoS keeps the higher one.
    QCOMPARE(connection->subscribe(QStringLiteral("qos/x"), 0), subscription);
    QCOMPARE(subscription->qos(), quint8(1));
}

void TestMqttConnection::closeTransportMakesTheBrokerPublishTheWill()
{
    TestPeer observer(m_broker);
    QVERIFY(observer.connectToBroker());
    QVERIFY(observer.subscribe(QStringLiteral("will/closed"), 1));

    MqttConnection connection;
    useBroker(connection, m_broker);
    connection.setWillTopic(QStringLiteral("will/closed"));
    connection.setWillMessage(QByteArrayLiteral("{\"service\": false}"));
    connection.setWillQoS(1);
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
    QVERIFY(subscribed(connection, QStringLiteral("will/other")));

    QSignalSpy errors(&connection, &MqttConnection::errorChanged);
    connection.closeTransport();
    QCOMPARE(connection.state(), MqttConnection::Disconnected);
    QCOMPARE(connection.error(), MqttConnection::TransportInvalid);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(connection.subscriptionCount(), 0);
    QVERIFY(observer.waitForMessages(QStringLiteral("will/closed")));
    QCOMPARE(observer.last().payload, QByteArrayLiteral("{\"service\": false}"));

    // The transport is usable again.
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
}

void TestMqttConnection::cleanEndsDiscardTheWill()
{
    TestPeer observer(m_broker);
    QVERIFY(observer.connectToBroker());
    QVERIFY(observer.subscribe(QStringLiteral("will/clean/#"), 1));

    auto configure = [this](MqttConnection& connection, const QString& willTopic) {
        useBroker(connection, m_broker);
        connection.setWillTopic(willTopic);
        connection.setWillMessage("gone");
        connection.connectToHost();
        return QTest::qWaitFor([&] { return connection.state() == MqttConnection::Connected; },
                               Wait);
    };
    MqttConnection explicitEnd;
    QVERIFY(configure(explicitEnd, QStringLiteral("will/clean/disconnect")));
    explicitEnd.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(explicitEnd.state(), MqttConnection::Disconnected, Wait);
    {
        MqttConnection destroyed;
        QVERIFY(configure(destroyed, QStringLiteral("will/clean/destroyed")));
    }
    // A will published on close would arrive before this marker.
    QVERIFY(observer.publish(QStringLiteral("will/clean/marker"), QByteArray("m"), 1));
    QVERIFY(observer.waitForMessages(QStringLiteral("will/clean/marker")));
    QCOMPARE(observer.count(), 1);
}

void TestMqttConnection::payloadsArriveUnchanged_data()
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

void TestMqttConnection::payloadsArriveUnchanged()
{
    QFETCH(QByteArray, payload);
    TestPeer peer(m_broker);
    QVERIFY(peer.connectToBroker());
    auto connection = connected();
    QVERIFY(connection);
    MqttSubscription* subscription = subscribed(*connection, QStringLiteral("payload/+"));
    QVERIFY(subscription);
    QSignalSpy messages(subscription, &MqttSubscription::messageReceived);

    QVERIFY(peer.publish(QStringLiteral("payload/in"), payload, 1));
    QTRY_COMPARE_WITH_TIMEOUT(messages.count(), 1, Wait);
    QCOMPARE(messages.at(0).at(0).toByteArray(), payload);

    // And the other way round, through this connection's publish.
    QVERIFY(peer.subscribe(QStringLiteral("payload/out")));
    QVERIFY(connection->publish(QStringLiteral("payload/out"), payload, 1) > 0);
    QVERIFY(peer.waitForMessages(QStringLiteral("payload/out")));
    QCOMPARE(peer.last(QStringLiteral("payload/out")).payload, payload);
    QCOMPARE(connection->state(), MqttConnection::Connected);
}

void TestMqttConnection::slotsMayCallBackOrDeleteTheConnection()
{
    TestPeer peer(m_broker);
    QVERIFY(peer.connectToBroker());
    auto owned = connected();
    QVERIFY(owned);
    QPointer<MqttConnection> connection = owned.release();
    MqttSubscription* subscription = subscribed(*connection, QStringLiteral("slot/+"));
    QVERIFY(subscription);

    // Inside a delivery: subscribe, unsubscribe and publish; then delete the connection
    // while messages that arrived in the same read are still queued.
    QStringList seen;
    connect(subscription, &MqttSubscription::messageReceived, this,
            [&](const QByteArray& message, const QString&) {
                seen.append(QString::fromUtf8(message));
                if (message == "reenter") {
                    MqttSubscription* nested = connection->subscribe(QStringLiteral("slot/+"));
                    QVERIFY(nested);
                    QVERIFY(connection->unsubscribe(QStringLiteral("slot/+")));
                    QVERIFY(connection->publish(QStringLiteral("slot/echo"), "echo") >= 0);
                } else if (message == "delete") {
                    delete connection.data();
                }
            });
    QVERIFY(peer.publish(QStringLiteral("slot/a"), QByteArray("reenter")));
    QTRY_VERIFY_WITH_TIMEOUT(seen.contains(QStringLiteral("echo")), Wait);
    QVERIFY(peer.publish(QStringLiteral("slot/a"), QByteArray("delete")));
    QVERIFY(peer.publish(QStringLiteral("slot/a"), QByteArray("after")));
    QTRY_VERIFY_WITH_TIMEOUT(connection.isNull(), Wait);
    QTest::qWait(200);
    QVERIFY(!seen.contains(QStringLiteral("after")));
}

void TestMqttConnection::idleConnectionIsKeptAlive()
{
    // The broker drops a client that is silent for 1.5 keep-alive intervals; the
    // connection's pings must prevent that.
    MqttConnection connection;
    useBroker(connection, m_broker);
    connection.setKeepAlive(5);
    QSignalSpy down(&connection, &MqttConnection::disconnected);
    connection.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(connection.state(), MqttConnection::Connected, Wait);
    QTest::qWait(9000);
    QCOMPARE(connection.state(), MqttConnection::Connected);
    QCOMPARE(down.count(), 0);
}

QTEST_GUILESS_MAIN(TestMqttConnection)
#include "tst_mqttconnection.moc"
