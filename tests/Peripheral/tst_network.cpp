#include "DeviceTestBench.h"
#include "Ethernet.h"
#include "MessageCapture.h"
#include "Network.h"
#include "NetworkService.h"
#include "TestBroker.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

constexpr int Wait = 20000;
const QByteArray Addresses = R"("address":"192.0.2.5","netmask":"255.255.255.0",
    "gateway":"192.0.2.1","dns0":"192.0.2.53","dns1":"")";
const QByteArray Status = R"j({"stateStr":"connected (global)","hostname":"kvrt",
    "primaryConnection":{"interface":"eth0","stateStr":"activated","ipv4":{)j"
    + Addresses + "}}}";
const QByteArray State = R"({"interface":"eth0","stateStr":"Connected","reasonStr":"none",
    "mac":"02:00:00:00:00:01","ipv4":{)"
    + Addresses + "}}";
const QByteArray Config = R"({"interface":"eth0","method":"auto","address":"192.0.2.9",
    "netmask":"255.255.255.0","gateway":"","dns0":"","dns1":""})";
const QString EState = "/ethernet/state", EConfig = "/ethernet/config";

} // namespace

class tst_Network : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup() { m_network.reset(), m_bench.reset(); }

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
    std::unique_ptr<manager::Network> m_network;
    manager::Ethernet* m_ethernet = nullptr;
    QString m_base;
    int m_serial = 0;
};

void tst_Network::initTestCase()
{
    m_broker.addConfig(QStringLiteral("log_type debug")); // it lists what it receives
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void tst_Network::init()
{
    // A base of its own per test: no retained state of an earlier test reaches it.
    m_base = QStringLiteral("test/network%1").arg(++m_serial);
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_bench->client().setClientId(m_base.section('/', 1));
    m_network = std::make_unique<manager::Network>(m_bench->client(), m_base);
    m_ethernet = m_network->ethernet();
    QVERIFY(m_bench->start(m_base + QStringLiteral("/#")));
}

QVariantMap tst_Network::snapshot()
{
    auto* primary = m_network->primaryConnection();
    return {{"connectionState", m_network->connectionState()},
            {"hostname", m_network->hostname()},
            {"primary", primary->interface() + ' ' + primary->ipv4()->address()},
            {"interface", m_ethernet->interface()},
            {"state", m_ethernet->state()},
            {"mac", m_ethernet->mac()},
            {"ipv4", m_ethernet->ipv4()->address() + ' ' + m_ethernet->ipv4()->mask()},
            {"method", m_ethernet->method()},
            {"config", m_ethernet->config()->address() + ' ' + m_ethernet->config()->mask()},
            {"isConnected", m_network->isConnected()}};
}

void tst_Network::messages_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QVariantMap>("changes");
    QTest::addColumn<QStringList>("logged");
    const auto row = [](const char* name, const QString& suffix, const QByteArray& payload,
                        const QVariantMap& changes, const QStringList& logged = {}) {
        QTest::newRow(name) << suffix << payload << changes << logged;
    };

    row("state of usb0 ignored", EState,
        R"({"interface":"usb0","stateStr":"Down","mac":"x","ipv4":{"address":"10.9.9.9"}})", {});
    row("config of usb0 ignored", EConfig,
        R"({"interface":"usb0","method":"manual","address":"10.9.9.9"})", {});
    row("new state", EState,
        R"({"interface":"eth0","stateStr":"Down","reasonStr":"carrier","mac":"02:00:00:00:00:01"})",
        {{"state", "Down"}, {"ipv4", " "}}, {"[Network][Ethernet] Reason changed : carrier"});
    row("new config", EConfig,
        R"({"interface":"eth0","method":"manual","address":"192.0.2.77","netmask":"255.255.0.0"})",
        {{"method", "manual"}, {"config", "192.0.2.77 255.255.0.0"}},
        {"[Network][Ethernet] Method changed : manual"});
    row("new status", "/status", R"({"stateStr":"connecting","hostname":"gate-2"})",
        {{"connectionState", "connecting"}, {"hostname", "gate-2"}, {"primary", " "}});
    row("not JSON: both clients log", EState, R"({"interface":)", {},
        {"[Network][Ethernet] Failed to parse JSON message: ",
         "[Network] Failed to parse JSON message: "});
    row("state of wrong types", EState,
        R"({"interface":"eth0","stateStr":7,"mac":["a"],"ipv4":"x","reasonStr":"none"})", {},
        {"Ignoring field 'stateStr'", "Ignoring field 'mac'", "Ignoring field 'ipv4'"});
    row("interface no text: whole message ignored", EState, R"({"interface":1,"stateStr":"Down"})",
        {}, {"Ignoring field 'interface'"});
    row("live address not IPv4", EState, QByteArray(State).replace("192.0.2.5", "192.0.2.256"), {},
        {"[Network][Ethernet] WARN: Ignoring address, not an IPv4 address : 192.0.2.256"});
    row("configured addresses not IPv4", EConfig,
        QByteArray(Config).replace("192.0.2.9", "10.1").replace("\"255.255.255.0\"", "5"), {},
        {"Ignoring address, not an IPv4 address : 10.1",
         "Ignoring netmask, not an IPv4 address : <not text>"});
    row("status of wrong types", "/status",
        R"({"stateStr":1,"hostname":"h2","primaryConnection":[1]})", {{"hostname", "h2"}},
        {"Ignoring field 'stateStr'", "Ignoring field 'primaryConnection'"});
    row("primary address not IPv4", "/status", QByteArray(Status).replace("192.0.2.5", "x.y"), {},
        {"[Network] WARN: Ignoring address, not an IPv4 address : x.y"});
}

void tst_Network::messages()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, payload);
    QFETCH(QVariantMap, changes);
    QFETCH(QStringList, logged);

    TestPeer& service = m_bench->service();
    service.publish(topic("/status"), Status);
    service.publish(topic(EState), State);
    service.publish(topic(EConfig), Config);
    QVERIFY(m_bench->sync());
    QVariantMap expected = snapshot();
    QCOMPARE(expected.value("config").toString(), QStringLiteral("192.0.2.9 255.255.255.0"));
    QCOMPARE(expected.value("primary").toString(), QStringLiteral("eth0 192.0.2.5"));

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
    m_bench->service().publish(topic("/status"), Status);
    QVERIFY(m_bench->sync());
    auto* primary = m_network->primaryConnection();
    QSignalSpy primarySpy(m_network.get(), &manager::Network::primaryConnectionChanged);
    QSignalSpy ipv4Spy(primary, &manager::Connection::ipv4Changed);
    m_bench->service().publish(topic("/status"), Status);
    QVERIFY(m_bench->sync());
    QCOMPARE(primarySpy.count(), 1); // on every status, even the same
    QCOMPARE(ipv4Spy.count(), 0);

    QSignalSpy addressSpy(m_ethernet->config(), &IPv4::addressChanged);
    for (const char* address : {"", "192.0.2.8", "192.0.2.8"})
        m_ethernet->config()->setAddress(address);
    QCOMPARE(addressSpy.count(), 1);
}

void tst_Network::saveToTheService_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QStringList>("config"); // address, netmask, gateway, dns0, dns1
    QTest::addColumn<QStringList>("sent"); // empty: nothing sent
    QTest::addColumn<QString>("liveAddress");

    const QStringList manual {"192.0.2.40", "255.255.255.0", "192.0.2.1", "192.0.2.53", ""};
    const QString lease = "198.51.100.23"; // the simulator's DHCP lease
    QTest::newRow("auto: no addresses sent")
        << "auto" << manual << QStringList {"", "", "", "", ""} << lease;
    QTest::newRow("manual: the addresses sent") << "manual" << manual << manual << manual[0];
    const QStringList bare {"192.0.2.41", "255.255.0.0", "", "", ""};
    QTest::newRow("manual without gateway nor name servers") << "manual" << bare << bare << bare[0];
    QTest::newRow("address not IPv4: nothing sent")
        << "manual" << QStringList {"192.0.2.400", "255.255.255.0", "", "", ""} << QStringList()
        << lease;
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
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->ipv4()->address(), QStringLiteral("198.51.100.23"), Wait);

    m_ethernet->setMethod(method);
    IPv4* edited = m_ethernet->config();
    for (auto setter :
         {&IPv4::setAddress, &IPv4::setMask, &IPv4::setGateway, &IPv4::setDns0, &IPv4::setDns1})
        (edited->*setter)(config.takeFirst());
    MessageCapture log;
    m_ethernet->save();
    QVERIFY(m_bench->sync());

    const auto requests = m_bench->service().messages(topic("/ethernet/config/set"));
    QCOMPARE(requests.size(), sent.isEmpty() ? 0 : 1);
    if (sent.isEmpty()) {
        QVERIFY(log.contains("[Network][Ethernet] ERROR: Configuration not saved"));
        return;
    }
    QJsonObject expected {{"interface", "eth0"}, {"method", method}};
    for (int i = 0; i < IPv4::Keys.size(); ++i)
        expected.insert(IPv4::Keys[i], sent[i]);
    QCOMPARE(requests[0].json(), expected);
    // The service's answers bring the new configuration and addresses.
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->ipv4()->address(), liveAddress, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(m_ethernet->state(), QStringLiteral("Connected"), Wait);
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
    QVERIFY(m_broker.restart());
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
