#include "DeviceTestBench.h"
#include "Dispenser.h"
#include "MessageCapture.h"
#include "Settlement.h"
#include "TestBroker.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::Dispenser;
using Outcome = Settlement<Dispenser::Result>;

namespace {
constexpr int Wait = 10000;
using Call = Deferred<Dispenser::Result> (Dispenser::*)();
const QHash<QString, Call> Calls {{"/accept", &Dispenser::accept},
                                  {"/issue", &Dispenser::issue},
                                  {"/dispose", &Dispenser::dispose},
                                  {"/eject", &Dispenser::eject},
                                  {"/collect", &Dispenser::collect},
                                  {"/accept/enable", &Dispenser::enableAccept},
                                  {"/accept/disable", &Dispenser::disableAccept}};
const QByteArray AllSet = R"({"service":true,"device":{"active":true,"isJammed":true,
    "isCartridgeDoorOpen":true,"cardInMouth":true,"cardInRfid":true}})";
} // namespace

// The dispenser client against a real broker, with a scripted peer as the service.
class TestDispenser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_broker.start()); }
    void init()
    {
        // A fresh base per test: retained messages of earlier tests stay out of the way.
        m_base = QStringLiteral("test/dispenser%1").arg(++m_serial);
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_client = std::make_unique<Dispenser>(m_bench->client(), m_base);
        QVERIFY(m_bench->start(m_base + "/#"));
    }
    void cleanup() { m_client.reset(), m_bench.reset(); }

    void statusFlags_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("flags"); // active, jammed, door open, card in mouth, in RFID
        QTest::addColumn<QStringList>("log");
        const QStringList down {"Active changed : false"};
        QTest::newRow("service down keeps the flags")
            << QByteArray(R"({"service":0})") << "01111" << down;
        QTest::newRow("empty payload is {}") << QByteArray() << "01111" << down;
        const QStringList cleared {"Jammed changed : false", "Door state changed : Closed",
                                   "Card in Mouth changed false", "Card in RFID changed false"};
        QTest::newRow("no device part")
            << QByteArray(R"({"service":true})") << "00000" << down + cleared;
        QTest::newRow("NUL padding")
            << QByteArray(R"({"service":true,"device":{"active":true}})") + '\0' + "x"
            << "10000" << cleared;
        QTest::newRow("same again") << AllSet << "11111" << QStringList();
    }
    void statusFlags()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, flags);
        QFETCH(QStringList, log);
        MessageCapture capture;
        QVERIFY(m_bench->service().publish(m_base + "/status", AllSet));
        QTRY_VERIFY_WITH_TIMEOUT(m_client->cardInRfid(), Wait);
        QCOMPARE(
            capture.messages().filter("[Dispenser] "),
            QStringList({"[Dispenser] Active changed : true", "[Dispenser] Jammed changed : true",
                         "[Dispenser] Door state changed : Open",
                         "[Dispenser] Card in Mouth changed true",
                         "[Dispenser] Card in RFID changed true"}));
        capture.clear();
        QVERIFY(m_bench->service().publish(m_base + "/status", payload));
        QVERIFY(m_bench->sync());

        QString now;
        for (bool flag : {m_client->active(), m_client->isJammed(), m_client->isDoorOpen(),
                          m_client->cardInMouth(), m_client->cardInRfid()})
            now += QString::number(flag);
        QCOMPARE(now, flags);
        // A flag is logged (and signalled) when it changes, and only then.
        QCOMPARE(capture.messages().filter("[Dispenser] ").replaceInStrings("[Dispenser] ", ""),
                 log);
    }

    void cardEventsAndInfo()
    {
        QString events;
        connect(m_client.get(), &Dispenser::cardAccepted, this, [&events] { events += "in "; });
        connect(m_client.get(), &Dispenser::cardRemoved, this, [&events] { events += "out "; });
        connect(m_client.get(), &Dispenser::cardDisposed, this, [&events] { events += "bin "; });
        m_bench->client().subscribe("elsewhere/#");
        QVERIFY(m_bench->sync());
        // Events carry nothing: an empty payload. Unknown topics and other bases are no events.
        for (const char* topic :
             {"/card/inserted", "/card/taken", "/card/removed", "/card/disposed"})
            QVERIFY(m_bench->service().publish(m_base + topic, QByteArray()));
        QVERIFY(m_bench->service().publish("elsewhere/card/removed", QByteArray()));
        QVERIFY(m_bench->service().publish(
            m_base + "/info",
            QByteArray(R"({"device":{"model":"D1"},"service":{"version":"4"}})")));
        QVERIFY(m_bench->sync());
        QCOMPARE(events, QStringLiteral("in out bin "));
        QCOMPARE(m_client->model() + m_client->software(), QStringLiteral("D14"));
    }

    void requests_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("resolved");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error");
        for (const QString& method : Calls.keys())
            QTest::newRow(qPrintable(method))
                << method << QByteArray(R"({"completed":true})") << true << 0 << "";
        QTest::newRow("refused")
            << "/issue"
            << QByteArray(R"({"completed":false,"error":{"code":4,"description":"Empty"}})")
            << false << 4 << "Empty";
        QTest::newRow("no completed, no error") << "/issue" << QByteArray("{}") << false << 0 << "";
        QTest::newRow("no object")
            << "/eject" << QByteArray("[1, 2]") << false << -1 << "Invalid response";
    }
    void requests()
    {
        QFETCH(QString, method);
        QFETCH(QByteArray, reply);
        QStringList asked;
        QVERIFY(m_bench->service().respondRaw(m_base + "/#",
                                              [&](const QString& topic, const QByteArray& request) {
                                                  asked << topic.mid(m_base.size()) + " " + request;
                                                  return QList<QByteArray> {reply};
                                              }));
        auto outcome = Outcome::of((m_client.get()->*Calls[method])());
        QVERIFY(outcome->wait(Wait));
        QFETCH(bool, resolved);
        QCOMPARE(outcome->resolved(), resolved);
        QTEST(outcome->value.code, "code");
        QTEST(outcome->value.error, "error");
        // Request ids count from 1 per client.
        auto second = Outcome::of((m_client.get()->*Calls[method])());
        QVERIFY(second->wait(Wait));
        QCOMPARE(asked, QStringList({method + "/request/1 {}", method + "/request/2 {}"}));
    }

    void waitCollect_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<bool>("removed");
        QTest::addColumn<QString>("error");
        QTest::newRow("taken") << 60 << true << "";
        QTest::newRow("not taken") << 1 << false << "Timeout";
        QTest::newRow("0: no limit") << 0 << true << "";
        QTest::newRow("below 0: no limit") << -5 << true << "";
    }
    void waitCollect()
    {
        QFETCH(int, seconds);
        QFETCH(bool, removed);
        QSignalSpy events(m_client.get(), &Dispenser::cardRemoved);
        auto collected = Outcome::of(m_client->waitCollect(seconds));
        if (removed) {
            // Longer than any finite wait a slow machine could round a short limit to.
            QTest::qWait(seconds > 0 ? 0 : 1500);
            QVERIFY(!collected->settled());
            QVERIFY(m_bench->service().publish(m_base + "/card/removed", QByteArray()));
        }
        QVERIFY(collected->wait(Wait));
        QCOMPARE(collected->resolved(), removed);
        QCOMPARE(collected->value.code, removed ? 0 : -1);
        QTEST(collected->value.error, "error");
        // The client's own subscription to the event outlives the wait.
        QVERIFY(m_bench->service().publish(m_base + "/card/removed", QByteArray()));
        QTRY_COMPARE_WITH_TIMEOUT(events.count(), removed ? 2 : 1, Wait);
        QCOMPARE(collected->calls(), 1);
    }

    void ledsAndOffline()
    {
        QVERIFY(m_client->setLEDs(Dispenser::Red));
        QVERIFY(m_client->setLEDs(Dispenser::Red | Dispenser::Green));
        const QString topic = m_base + "/led/set";
        QVERIFY(m_bench->service().waitForMessages(topic, 2));
        const auto sent = m_bench->service().messages(topic);
        QCOMPARE(sent[0].json(), QJsonObject({{"red", true}, {"green", false}}));
        QCOMPARE(sent[1].json(), QJsonObject({{"red", true}, {"green", true}}));
        QVERIFY(sent[0].payload.contains('\n')); // indented JSON

        // No broker connection: everything is refused at once.
        manager::MqttClient offline;
        Dispenser lonely(offline, m_base);
        QVERIFY(!lonely.setLEDs(Dispenser::Green));
        for (auto request : {lonely.issue(), lonely.waitCollect(5)}) {
            auto outcome = Outcome::of(request);
            QVERIFY(outcome->rejected());
            QCOMPARE(outcome->value.code, -1);
            QCOMPARE(outcome->value.error, QStringLiteral("Not connected"));
        }
    }

private:
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<Dispenser> m_client;
    QString m_base;
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestDispenser)
#include "tst_dispenser.moc"
