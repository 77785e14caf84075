#include "DeviceTestBench.h"
#include "KVRTv1Card.h"
#include "MessageCapture.h"
#include "RFID.h"
#include "SAM.h"
#include "Settlement.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using manager::RFID;
using Outcome = Settlement<RFID::Result>;

namespace {
constexpr int Wait = 10000;
const QByteArray Kvrt = R"({"uid":"04C0","type":256,"template":"KVRTv1","data":{"info":{
    "version":0,"customsId":42,"status":"active"},"usageCounter":2,"usageLog":[]}})";

QByteArray status(int state)
{
    return QStringLiteral(R"({"service":true,"device":{"state":%1,"error":"e%1"}})")
        .arg(state)
        .toUtf8();
}
} // namespace

// The RFID reader client against a real broker, with a scripted peer as the service.
class TestRfid : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
        QVERIFY(m_broker.start());
    }
    void init()
    {
        m_base = QStringLiteral("test/rfid%1").arg(++m_serial);
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_client = std::make_unique<RFID>(m_bench->client(), m_base);
        QVERIFY(m_bench->start(m_base + "/#"));
        // A tag in the field to begin with.
        publish("/status", status(RFID::Searching));
        publish("/card/found", R"({"uid":"A1","type":4})");
        QTRY_VERIFY_WITH_TIMEOUT(m_client->activeCard(), Wait);
    }
    void cleanup() { m_client.reset(), m_bench.reset(); }

    void states_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("keepsTag");
        QTest::newRow("0") << QByteArray(R"({"service":true})") << "Init"
                           << "" << false << true;
        QTest::newRow("1") << status(1) << "Idle"
                           << "e1" << true << false;
        QTest::newRow("3") << status(3) << "CardFound"
                           << "e3" << true << true;
        QTest::newRow("4") << status(4) << "Updating"
                           << "e4" << false << true;
        QTest::newRow("5") << status(5) << "Error"
                           << "e5" << false << true;
        QTest::newRow("42") << status(42) << "Unknown"
                            << "e42" << false << true;
        QTest::newRow("offline") << QByteArray(R"({"service":false})") << "Error"
                                 << "Service is offline" << false << true;
    }
    void states()
    {
        QFETCH(QString, name);
        QFETCH(bool, keepsTag);
        QSignalSpy changed(m_client.get(), &RFID::stateChanged);
        MessageCapture log;
        QFETCH(QByteArray, payload);
        publish("/status", payload);
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, Wait);
        QCOMPARE(m_client->property("stateName").toString(), name);
        QTEST(m_client->error(), "error");
        QTEST(m_client->active(), "active");
        QCOMPARE(bool(m_client->activeCard()), keepsTag);
        QStringList expected {"[RFID] State changed : " + name};
        if (!keepsTag)
            expected << "[RFID] WARN: RF disabled. Clearing active card"
                     << "[RFID] Active tag changed : old=A1 new=<none>";
        QCOMPARE(log.messages().filter("[RFID] "), expected);
    }

    void infoAndCardEvents()
    {
        QSignalSpy found(m_client.get(), &RFID::cardFound);
        QSignalSpy removed(m_client.get(), &RFID::cardRemoved);
        MessageCapture log;
        publish("/info", R"({"device":{"uid":"R1","manufacturer":"ACME","model":"M",
                            "firmware":"2"},"service":{"version":"1.4"}})");
        // Every message on "found" is a tag of its own, even with the same uid.
        publish("/card/found", R"({"uid":"A1","type":4})");
        publish("/card/removed", "{}");
        publish("/card/removed", "{}");
        // An empty payload is no JSON object: an error, not an event.
        publish("/card/removed", "");
        QVERIFY(m_bench->sync());
        QCOMPARE(QStringList({m_client->uid(), m_client->manufacturer(), m_client->model(),
                              m_client->firmware(), m_client->software()}),
                 QStringList({"R1", "ACME", "M", "2", "1.4"}));
        QCOMPARE(found.count(), 1);
        const Tag::Ptr tag = found[0][0].value<Tag::Ptr>();
        QCOMPARE(tag->type(), Tag::Type(4));
        QCOMPARE(removed.count(), 2);
        QCOMPARE(removed[0][0].value<Tag::Ptr>(), tag);
        QVERIFY(!removed[1][0].value<Tag::Ptr>());
        QCOMPARE(log.messages().filter("[RFID] "),
                 QStringList({"[RFID] Active tag changed : old=A1 new=A1",
                              "[RFID] Active tag changed : old=A1 new=<none>",
                              "[RFID] Failed to parse JSON message: "}));
    }

    void requests_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("result"); // uid of the card, "" for none, "!" and the error
        QTest::addColumn<QString>("request");
        const QByteArray done = R"({"completed":true})";
        const QByteArray card = R"({"completed":true,"data":)" + Kvrt + "}";
        QTest::newRow("enable") << "enable" << done << ""
                                << R"(/enable {"autoread":false})";
        QTest::newRow("autoread") << "autoread" << done << ""
                                  << R"(/enable {"autoread":true})";
        QTest::newRow("disable") << "disable" << done << ""
                                 << "/disable {}";
        QTest::newRow("create") << "create" << card << "04C0"
                                << R"(/card/create {"template":"KVRTv1"})";
        QTest::newRow("read") << "read" << card << "04C0"
                              << R"(/card/read {"template":"KVRTv1","topupLogs":0,"usageLogs":3})";
        QTest::newRow("write")
            << "write" << card << "04C0"
            << R"(/card/write {"data":DATA,"template":"KVRTv1","type":0,"uid":""})";
        QTest::newRow("other template")
            << "read" << QByteArray(R"({"completed":true,"data":{"template":"X","uid":"1"}})") << ""
            << R"(/card/read {"template":"KVRTv1","topupLogs":0,"usageLogs":3})";
        QTest::newRow("refused") << "enable"
                                 << QByteArray(R"({"completed":false,"error":{"what":"Busy"}})")
                                 << "!Busy"
                                 << R"(/enable {"autoread":false})";
        QTest::newRow("not completed") << "disable" << QByteArray(R"({"data":{}})") << "!"
                                       << "/disable {}";
        QTest::newRow("no object") << "disable" << QByteArray("[]") << "!Invalid response"
                                   << "/disable {}";
        QTest::newRow("nothing to write") << "write null" << done << "!No card to write"
                                          << "";
    }
    void requests()
    {
        QFETCH(QString, call);
        QFETCH(QByteArray, reply);
        QFETCH(QString, result);
        QStringList asked;
        QVERIFY(m_bench->service().respondRaw(
            m_base + "/#", [&](const QString& topic, const QByteArray& request) {
                asked << topic.mid(m_base.size()).section("/request/", 0, 0) + " " + request;
                return QList<QByteArray> {reply};
            }));
        KVRTv1Card::Ptr content(new KVRTv1Card);
        content->setCustomsId(9);
        const Tag::Ptr before = m_client->activeCard();
        auto outcome = Outcome::of(call == "enable"         ? m_client->enable(false)
                                       : call == "autoread" ? m_client->enable(true)
                                       : call == "disable"  ? m_client->disable()
                                       : call == "create"   ? m_client->createCard("KVRTv1")
                                       : call == "read"     ? m_client->readCard("KVRTv1", 3)
                                       : call == "write"    ? m_client->writeCard(content)
                                                            : m_client->writeCard({}));
        QVERIFY(outcome->wait(Wait));
        QCOMPARE(outcome->resolved(), !result.startsWith('!'));
        const Tag::Ptr card = outcome->value.card;
        QCOMPARE(outcome->resolved() ? (card ? card->uid() : "") : "!" + outcome->value.error,
                 result);
        // A completed reply puts its card, or none, in the field; a refusal changes nothing.
        QCOMPARE(m_client->activeCard(), outcome->resolved() ? card : before);
        const QByteArray data = QJsonDocument(content->data()).toJson(QJsonDocument::Compact);
        QFETCH(QString, request);
        QCOMPARE(asked.join(""), request.replace("DATA", data));
        if (QTest::currentDataTag() == QByteArray("read"))
            QCOMPARE(card.dynamicCast<KVRTv1Card>()->customsId(), 42);
    }

    void waitCardFound_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("msec");
        QTest::addColumn<QString>("result"); // uid, or "!" and the error
        for (int state : {RFID::Init, RFID::Idle, RFID::Update, RFID::Error})
            QTest::newRow(qPrintable(RFID::stateToStr(RFID::State(state))))
                << state << 0 << "!RF is disabled";
        QTest::newRow("card in the field") << int(RFID::CardFound) << 1 << "A1";
        QTest::newRow("found later") << int(RFID::Searching) << 0 << "B2";
        QTest::newRow("none found") << int(RFID::Searching) << 200 << "!Timeout";
    }
    void waitCardFound()
    {
        QFETCH(int, state);
        QFETCH(QString, result);
        publish("/status", state ? status(state) : QByteArray(R"({"service":true})"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_client->state()), state, Wait);
        QFETCH(int, msec);
        auto outcome = Outcome::of(m_client->waitCardFound(msec));
        if (result == "B2") {
            QVERIFY(m_bench->sync());
            QVERIFY(!outcome->settled());
            publish("/card/found", R"({"uid":"B2"})");
        }
        QVERIFY(outcome->wait(Wait));
        QCOMPARE(outcome->resolved() ? outcome->value.card->uid() : "!" + outcome->value.error,
                 result);
    }

    void autoread_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("signal"); // what was signalled, "!" for a failure
        QTest::addColumn<QString>("active"); // uid of the active tag afterwards
        QTest::newRow("ours") << Kvrt << "04C0"
                              << "04C0";
        QTest::newRow("other template") << QByteArray(R"({"uid":"B","template":"X"})") << ""
                                        << "";
        QTest::newRow("failed") << QByteArray(R"({"error":{"what":"Auth failed"}})")
                                << "!Auth failed"
                                << "A1";
    }
    void autoread()
    {
        QString signalled;
        connect(m_client.get(), &RFID::cardAutoread, this,
                [&](Card::Ptr card) { signalled = card ? card->uid() : ""; });
        connect(m_client.get(), &RFID::cardAutoreadFailed, this,
                [&](const QString& error) { signalled = "!" + error; });
        QFETCH(QByteArray, payload);
        publish("/card/autoread", payload);
        QVERIFY(m_bench->sync());
        QTEST(signalled, "signal");
        QTEST(m_client->activeCard() ? m_client->activeCard()->uid() : "", "active");
        if (signalled == "04C0")
            QVERIFY(m_client->activeCard().dynamicCast<KVRTv1Card>());
    }

    void beepsAndSams()
    {
        QVERIFY(m_client->beepValid());
        QVERIFY(m_client->beepInvalid());
        QVERIFY(m_bench->service().waitForMessages(m_base + "/beep/+", 2));
        const auto beeps = m_bench->service().messages(m_base + "/beep/+");
        QCOMPARE(beeps[0].topic + beeps[1].topic + beeps[1].payload,
                 m_base + "/beep/valid" + m_base + "/beep/invalid");

        m_client->setSAMs(QJsonArray {QJsonObject {{"slot", 1}}, QJsonObject {{"slot", 2}}});
        QPointer<SAM> old = m_client->sams().at(0);
        QCOMPARE(old->parent(), m_client.get());
        m_client->setSAMs(QJsonArray {7});
        QCOMPARE(m_client->sams().size(), 1);
        QTRY_VERIFY(!old);

        manager::MqttClient offline;
        QVERIFY(!RFID(offline, m_base).beepValid());
    }

private:
    void publish(const QString& suffix, const QByteArray& payload)
    {
        QVERIFY(m_bench->service().publish(m_base + suffix, payload));
    }

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<RFID> m_client;
    QString m_base;
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestRfid)
#include "tst_rfid.moc"
