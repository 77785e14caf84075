#include "DeviceTestBench.h"
#include "Ethernet.h"
#include "MessageCapture.h"
#include "Network.h"
#include "NetworkService.h"
#include "TestBroker.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::Ethernet;
using manager::Network;

namespace {

constexpr int Wait = 20000;

const QByteArray Addresses = R"("address":"192.0.2.5","netmask":"255.255.255.0",
    "gateway":"192.0.2.1","dns0":"192.0.2.53","dns1":"")";
const QByteArray Status = R"j({"stateStr":"connected (global)","connectivityStr":"full",
    "hostname":"kvrt","primaryConnection":{"interface":"eth0","stateStr":"activated",
    "typeStr":"ethernet","ipv4":{)j"
    + Addresses + "}}}";
const QByteArray State = R"({"interface":"eth0","typeStr":"ethernet","stateStr":"Connected",
    "reasonStr":"none","mac":"02:00:00:00:00:01","ipv4":{)"
    + Addresses + "}}";
const QByteArray Config = R"({"interface":"eth0","method":"auto","address":"192.0.2.9",
    "netmask":"255.255.255.0","gateway":"","dns0":"","dns1":""})";

} // namespace

class tst_Network : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void messages_data();
    void messages();
    void signalsOnlyOnChange();
    void saveToTheService_data();
    void saveToTheService();
    void reconnectionReplacesEdits();

private:
    // What the pages show, flattened.
    QVariantMap snapshot();
    QString topic(const QString& suffix) const { return m_base + suffix; }

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<Network> m_network;
    Ethernet* m_ethernet = nullptr;
    QString m_base;
    int m_serial = 0;
};

void tst_Network::initTestCase()
{
    m_broker.addConfig(QStringLiteral("log_type debug"));
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void tst_Network::init()
{
    // A base of its own per test: no retained state of an earlier test reaches it.
    m_base = QStringLiteral("test/network%1").arg(++m_serial);
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_bench->client().setClientId(m_base.section('/', 1));
    m_network = std::make_unique<Network>(m_bench->client(), m_base);
    m_ethernet = m_network->ethernet();
    QVERIFY(m_bench->start(m_base + QStringLiteral("/#")));
}

void tst_Network::cleanup()
{
    m_network.reset();
    m_bench.reset();
}

QVariantMap tst_Network::snapshot()
{
    auto* primary = m_network->primaryConnection();
    return {{"connectionState", m_network->connectionState()},
            {"hostname", m_network->hostname()},
            {"primary.interface", primary->interface()},
            {"primary.address", primary->ipv4()->address()},
            {"interface", m_ethernet->interface()},
            {"state", m_ethernet->state()},
            {"mac", m_ethernet->mac()},
            {"ipv4.address", m_ethernet->ipv4()->address()},
            {"ipv4.mask", m_ethernet->ipv4()->mask()},
            {"method", m_ethernet->method()},
            {"config.address", m_ethernet->config()->address()},
            {"config.mask", m_ethernet->config()->mask()},
            {"isConnected", m_network->isConnected()}};
}

void tst_Network::messages_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QVariantMap>("changes");
    QTest::addColumn<QStringList>("logged");

    const QString eState = "/ethernet/state", eConfig = "/ethernet/config";
    QTest::newRow("state of usb0 ignored")
        << eState << QByteArray(R"({"interface":"usb0","stateStr":"Disconnected",
           "mac":"x","ipv4":{"address":"10.9.9.9"}})")
        << QVariantMap() << QStringList();
    QTest::newRow("config of usb0 ignored")
        << eConfig << QByteArray(R"({"interface":"usb0","method":"manual","address":"10.9.9.9"})")
        << QVariantMap() << QStringList();
    QTest::newRow("new state") << eState << QByteArray(R"({"interface":"eth0","typeStr":"ethernet",
           "stateStr":"Disconnected","reasonStr":"carrier","mac":"02:00:00:00:00:01","ipv4":{}})")
                               << QVariantMap {{"state", "Disconnected"},
                                               {"ipv4.address", ""},
                                               {"ipv4.mask", ""}}
                               << QStringList {"[Network][Ethernet] Reason changed : carrier"};
    QTest::newRow("new config") << eConfig << QByteArray(R"({"interface":"eth0","method":"manual",
           "address":"192.0.2.77","netmask":"255.255.0.0"})")
                                << QVariantMap {{"method", "manual"},
                                                {"config.address", "192.0.2.77"},
                                                {"config.mask", "255.255.0.0"}}
                                << QStringList {"[Network][Ethernet] Method changed : manual"};
    QTest::newRow("new status") << "/status"
                                << QByteArray(R"({"stateStr":"connecting","hostname":"gate-2"})")
                                << QVariantMap {{"connectionState", "connecting"},
                                                {"hostname", "gate-2"},
                                                {"primary.interface", ""},
                                                {"primary.address", ""}}
                                << QStringList();
    QTest::newRow("state not JSON: both clients log")
        << eState << QByteArray(R"({"interface":)") << QVariantMap()
        << QStringList {"[Network][Ethernet] Failed to parse JSON message: ",
                        "[Network] Failed to parse JSON message: "};
    QTest::newRow("status not JSON") << "/status" << QByteArray("garbage") << QVariantMap()
                                     << QStringList {"[Network] Failed to parse JSON message: "};
    QTest::newRow("state of wrong types")
        << eState << QByteArray(R"({"interface":"eth0","stateStr":7,"mac":["a"],"ipv4":"x",
           "typeStr":"ethernet","reasonStr":"none"})")
        << QVariantMap()
        << QStringList {"Ignoring field 'stateStr'", "Ignoring field 'mac'",
                        "Ignoring field 'ipv4'"};
    QTest::newRow("state of an interface that is no text")
        << eState << QByteArray(R"({"interface":1,"stateStr":"Disconnected"})") << QVariantMap()
        << QStringList {"Ignoring field 'interface'"};
    QTest::newRow("live address not IPv4")
        << eState << QByteArray(State).replace("192.0.2.5", "192.0.2.256") << QVariantMap()
        << QStringList {"[Network][Ethernet] WARN: Ignoring address, not an IPv4 address : "
                        "192.0.2.256"};
    QTest::newRow("configured addresses not IPv4")
        << eConfig
        << QByteArray(Config).replace("192.0.2.9", "10.1").replace("\"255.255.255.0\"", "5")
        << QVariantMap()
        << QStringList {"Ignoring address, not an IPv4 address : 10.1",
                        "Ignoring netmask, not an IPv4 address : <not text>"};
    QTest::newRow("status of wrong types")
        << "/status" << QByteArray(R"({"stateStr":1,"hostname":"h2","primaryConnection":[1]})")
        << QVariantMap {{"hostname", "h2"}}
        << QStringList {"Ignoring field 'stateStr'", "Ignoring field 'primaryConnection'"};
    QTest::newRow("primary address not IPv4")
        << "/status" << QByteArray(Status).replace("192.0.2.5", "x.y") << QVariantMap()
        << QStringList {"[Network] WARN: Ignoring address, not an IPv4 address : x.y"};
    QTest::newRow("info logged only") << "/info" << QByteArray(R"({"service":{"version":"9"}})")
                                      << QVariantMap() << QStringList {"Processing info topic"};
}

void tst_Network::messages()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QVariantMap, changes);
    QFETCH(QStringList, logged);

    TestPeer& service = m_bench->service();
    service.publish(topic("/status"), Status);
    service.publish(topic("/ethernet/state"), State);
    service.publish(topic("/ethernet/config"), Config);
    QVERIFY(m_bench->sync());
    QVariantMap expected = snapshot();
    QCOMPARE(expected.value("state").toString(), QStringLiteral("Connected"));
    QCOMPARE(expected.value("config.address").toString(), QStringLiteral("192.0.2.9"));
    QCOMPARE(expected.value("primary.address").toString(), QStringLiteral("192.0.2.5"));

    MessageCapture log;
    service.publish(topic(suffix), payload);
    QVERIFY(m_bench->sync());
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        expected.insert(it.key(), it.value());
    QCOMPARE(snapshot(), expected);
    for (const QString& line : logged)
        QVERIFY2(log.contains(line), qPrintable(line));
    if (logged.isEmpty())
        QVERIFY(log.messages(QtWarningMsg).isEmpty() && log.messages(QtCriticalMsg).isEmpty());
}

void tst_Network::signalsOnlyOnChange()
{
    TestPeer& service = m_bench->service();
    service.publish(topic("/status"), Status);
    QVERIFY(m_bench->sync());
    auto* primary = m_network->primaryConnection();
    QSignalSpy primarySpy(m_network.get(), &Network::primaryConnectionChanged);
    QSignalSpy interfaceSpy(primary, &manager::Connection::interfaceChanged);
    QSignalSpy ipv4Spy(primary, &manager::Connection::ipv4Changed);
    service.publish(topic("/status"), Status);
    QVERIFY(m_bench->sync());
    QCOMPARE(primarySpy.count(), 1); // every status, even the same
    QCOMPARE(interfaceSpy.count() + ipv4Spy.count(), 0);
    QVERIFY(!m_network->isConnected());

    IPv4* config = m_ethernet->config();
    QSignalSpy addressSpy(config, &IPv4::addressChanged);
    config->setAddress(config->address());
    QCOMPARE(addressSpy.count(), 0);
    config->setAddress("192.0.2.8");
    config->setAddress("192.0.2.8");
    QCOMPARE(addressSpy.count(), 1);
}

void tst_Network::saveToTheService_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QStringList>("config"); // address, netmask, gateway, dns0, dns1
    QTest::addColumn<QStringList>("sent"); // the five addresses sent; empty: nothing sent
    QTest::addColumn<QString>("liveAddress");

    const QStringList manual {"192.0.2.40", "255.255.255.0", "192.0.2.1", "192.0.2.53", ""};
    QTest::newRow("auto: no addresses sent")
        << "auto" << manual << QStringList {"", "", "", "", ""} << "198.51.100.23";
    QTest::newRow("manual: the addresses sent") << "manual" << manual << manual << "192.0.2.40";
    QTest::newRow("manual without gateway nor name servers")
        << "manual" << QStringList {"192.0.2.41", "255.255.0.0", "", "", ""}
        << QStringList {"192.0.2.41", "255.255.0.0", "", "", ""} << "192.0.2.41";
    QTest::newRow("manual address not IPv4 is not sent")
        << "manual" << QStringList {"192.0.2.400", "255.255.255.0", "", "", ""} << QStringList()
        << "198.51.100.23";
    QTest::newRow("manual name server not IPv4 is not sent")
        << "manual" << QStringList {"192.0.2.40", "255.255.255.0", "", "dns", ""} << QStringList()
        << "198.51.100.23";
}

void tst_Network::saveToTheService()
{
    QFETCH(QString, method);
    QFETCH(QStringList, config);
    QFETCH(QStringList, sent);
    QFETCH(QString, liveAddress);

    NetworkService simulator(m_base);
    simulator.setReconnectDelay(20);
    simulator.connectToBroker(m_broker.host(), m_broker.port());
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->state(), QStringLiteral("connected"), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->ipv4()->address(), QStringLiteral("198.51.100.23"), Wait);

    m_ethernet->setMethod(method);
    IPv4* edited = m_ethernet->config();
    edited->setAddress(config[0]);
    edited->setMask(config[1]);
    edited->setGateway(config[2]);
    edited->setDns0(config[3]);
    edited->setDns1(config[4]);
    MessageCapture log;
    m_ethernet->save();
    QVERIFY(m_bench->sync());

    const auto requests = m_bench->service().messages(topic("/ethernet/config/set"));
    if (sent.isEmpty()) {
        QCOMPARE(requests.size(), 0);
        QVERIFY(log.contains("[Network][Ethernet] ERROR: Configuration not saved"));
        return;
    }
    QCOMPARE(requests.size(), 1);
    QJsonObject expected {{"interface", "eth0"}, {"method", method}};
    for (int i = 0; i < IPv4::Keys.size(); ++i)
        expected.insert(IPv4::Keys[i], sent[i]);
    QCOMPARE(requests[0].json(), expected);
    // The service's answers bring the new configuration and addresses.
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->ipv4()->address(), liveAddress, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->state(), QStringLiteral("connected"), Wait);
    QCOMPARE(m_ethernet->method(), method);
    QCOMPARE(m_ethernet->config()->address(), sent[0]);
}

void tst_Network::reconnectionReplacesEdits()
{
    NetworkService simulator(m_base);
    simulator.connectToBroker(m_broker.host(), m_broker.port());
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->method(), QStringLiteral("auto"), Wait);

    // Unsaved edits last until the service's configuration comes again.
    m_ethernet->setMethod("manual");
    m_ethernet->config()->setAddress("192.0.2.99");
    QSignalSpy connected(&m_bench->client(), &manager::MqttClient::connected);
    QVERIFY(m_broker.restart());
    QTRY_VERIFY_WITH_TIMEOUT(connected.count() > 0, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->method(), QStringLiteral("auto"), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->config()->address(), QString(), Wait);

    // Each connection asked for both again (the broker saw it, whoever listened).
    for (const char* get : {"/ethernet/state/get", "/ethernet/config/get"}) {
        const QString received = QStringLiteral("Received PUBLISH from %1 (d0, q0, r0, m0, '%2'")
                                     .arg(m_base.section('/', 1), topic(get));
        QTRY_COMPARE_WITH_TIMEOUT(m_broker.log().count(received), 2, Wait);
    }
}

QTEST_MAIN(tst_Network)
#include "tst_network.moc"
