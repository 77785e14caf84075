// The dispenser and RFID reader clients against a real broker, a scripted peer playing both.

#include "DeviceTestBench.h"
#include "Dispenser.h"
#include "KVRTv1Card.h"
#include "MessageCapture.h"
#include "RFID.h"
#include "SAM.h"
#include "Settlement.h"
#include "TableRows.h"
#include "TestBroker.h"

#include <QSignalSpy>

#include <memory>

using manager::Dispenser;
using manager::RFID;

namespace {
constexpr int Wait = 10000;
const char* const Kvrt
    = R"({"uid":"04C0","type":256,"template":"KVRTv1","data":{"info":{"version":0,"customsId":42,"status":"active"},"usageCounter":2,"usageLog":[]}})";
using Call = Deferred<Dispenser::Result> (Dispenser::*)();
const QHash<QString, Call> Calls {{"accept", &Dispenser::accept},
                                  {"issue", &Dispenser::issue},
                                  {"dispose", &Dispenser::dispose},
                                  {"eject", &Dispenser::eject},
                                  {"collect", &Dispenser::collect},
                                  {"accept/enable", &Dispenser::enableAccept},
                                  {"accept/disable", &Dispenser::disableAccept}};
} // namespace

class TestHardwareClients : public QObject
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
        // A fresh base per test: retained messages of earlier tests stay out of the way.
        m_base = QStringLiteral("test/hw%1").arg(++m_serial);
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_dispenser = std::make_unique<Dispenser>(m_bench->client(), m_base + "/dispenser");
        m_rfid = std::make_unique<RFID>(m_bench->client(), m_base + "/rfid");
        QVERIFY(m_bench->start(m_base + "/#"));
        publish("/dispenser/status",
                R"({"service":true,"device":{"active":true,"cardInRfid":true}})");
        publish("/rfid/status", R"({"service":true,"device":{"state":2}})");
        publish("/rfid/card/found", R"({"uid":"A1","type":4})"); // a tag in the field
        QVERIFY(m_bench->sync());
        QCOMPARE(state("dispenser") + state("rfid"), QStringLiteral("10001Searching;;1;A1"));
    }
    void cleanup() { m_dispenser.reset(), m_rfid.reset(), m_bench.reset(); }

    // A status and what the client makes of it: the dispenser's flags (active, jammed,
    // door open, card in mouth, card at RFID), the reader's state;error;active;tag.
    // A change is logged (and signalled) when it happens, and only then.
    void status_data()
    {
        addTextRows({"client", "payload", "state", "log"}, R"(
dispenser down keeps the flags | dispenser | {"service":0} | 00001 | Active changed : false
dispenser empty payload is {} | dispenser | | 00001 | Active changed : false
dispenser all set | dispenser | {"service":true,"device":{"active":true,"isJammed":true,"isCartridgeDoorOpen":true,"cardInMouth":true,"cardInRfid":true}} | 11111 | Jammed changed : true,Door state changed : Open,Card in Mouth changed true
dispenser no device part | dispenser | {"service":true} | 00000 | Active changed : false,Card in RFID changed false
dispenser after NUL ignored | dispenser | {"service":true,"device":{"active":true}}<NUL>x | 10000 | Card in RFID changed false
dispenser same again | dispenser | {"service":true,"device":{"active":true,"cardInRfid":true}} | 10001 |
rfid no device part | rfid | {"service":true} | Init;;0;A1 | State changed : Init
rfid idle clears the tag | rfid | {"service":true,"device":{"state":1,"error":"e1"}} | Idle;e1;1;- | State changed : Idle,WARN: RF disabled. Clearing active card,Active tag changed : old=A1 new=<none>
rfid error | rfid | {"service":true,"device":{"state":5,"error":"e5"}} | Error;e5;0;A1 | State changed : Error
rfid unknown | rfid | {"service":true,"device":{"state":42}} | Unknown;;0;A1 | State changed : Unknown
rfid offline | rfid | {"service":false} | Error;Service is offline;0;A1 | State changed : Error)");
    }
    void status()
    {
        QFETCH(QString, client);
        QFETCH(QString, payload);
        MessageCapture capture;
        publish("/" + client + "/status", payload.toUtf8().replace("<NUL>", QByteArray(1, '\0')));
        QVERIFY(m_bench->sync());
        QTEST(state(client), "state");
        const QString tag = client == "rfid" ? "[RFID] " : "[Dispenser] ";
        QTEST(capture.messages().filter(tag).replaceInStrings(tag, "").join(',').trimmed(), "log");
    }
    void eventsAndInfo()
    {
        QStringList events;
        const auto note
            = [&events](const QString& event) { return [&events, event] { events << event; }; };
        const Tag::Ptr first = m_rfid->activeCard();
        connect(m_dispenser.get(), &Dispenser::cardAccepted, this, note("in"));
        connect(m_dispenser.get(), &Dispenser::cardRemoved, this, note("out"));
        connect(m_dispenser.get(), &Dispenser::cardDisposed, this, note("bin"));
        connect(m_rfid.get(), &RFID::cardFound, this, [&](const Tag::Ptr& tag) {
            events << "found " + uidOf(tag) + "/" + QString::number(tag->type())
                    + (tag == first ? "!" : "");
        });
        connect(m_rfid.get(), &RFID::cardRemoved, this,
                [&](const Tag::Ptr& tag) { events << "removed " + uidOf(tag); });
        connect(m_rfid.get(), &RFID::cardAutoread, this,
                [&](const Card::Ptr& card) { events << "read " + uidOf(card); });
        connect(m_rfid.get(), &RFID::cardAutoreadFailed, this,
                [&](const QString& error) { events << "unread " + error; });
        m_bench->client().subscribe("elsewhere/#");
        QVERIFY(m_bench->sync());
        // Dispenser events carry nothing; unknown topics and other bases are no events.
        // Every message on "found" is a tag of its own, even with the same uid.
        for (const QString& message : QString(R"(/dispenser/card/inserted
/dispenser/card/taken
/dispenser/card/removed
/dispenser/card/disposed
/rfid/card/found {"uid":"A1","type":4}
/rfid/card/removed {}
/rfid/card/removed {}
/rfid/card/autoread {"uid":"B","template":"X"}
/rfid/card/autoread KVRT
/rfid/card/autoread {"error":{"what":"Auth failed"}}
/dispenser/info {"device":{"model":"D1"},"service":{"version":"4"}}
/rfid/info {"device":{"uid":"R1","manufacturer":"ACME","model":"M","firmware":"2"},"service":{"version":"1.4"}})")
                                          .split('\n'))
            publish(message.section(' ', 0, 0),
                    message.section(' ', 1).replace("KVRT", Kvrt).toUtf8());
        QVERIFY(m_bench->service().publish("elsewhere/card/removed", QByteArray()));
        QVERIFY(m_bench->sync());
        QCOMPARE(events.join(", "),
                 QStringLiteral("in, out, bin, found A1/4, removed A1, removed -, "
                                "read -, read 04C0, unread Auth failed"));
        // A failed autoread leaves the card read before in the field.
        QCOMPARE(m_rfid->activeCard().dynamicCast<KVRTv1Card>()->customsId(), 42);
        QCOMPARE(QStringList({m_dispenser->model(), m_dispenser->software(), m_rfid->uid(),
                              m_rfid->manufacturer(), m_rfid->model(), m_rfid->firmware(),
                              m_rfid->software()})
                     .join(' '),
                 QStringLiteral("D1 4 R1 ACME M 2 1.4"));
    }
    // A call and the service's answer (or, when it starts with "/", the event published while
    // waiting); the result ("!" for a failure) and what the service was asked. A completed
    // reader reply puts its card, or none, in the field. "@n": the reader's state before.
    void calls_data()
    {
        addTextRows({"call", "answer", "result", "asked"}, R"(
refused | issue | {"completed":false,"error":{"code":4,"description":"Empty"}} | !4 Empty | /dispenser/issue {}
no completed, no error | issue | {} | !0 | /dispenser/issue {}
no object | eject | [1, 2] | !-1 Invalid response | /dispenser/eject {}
enable | enable | {"completed":true} | - | /rfid/enable {"autoread":false}
autoread | enable autoread | {"completed":true} | - | /rfid/enable {"autoread":true}
disable | disable | {"completed":true} | - | /rfid/disable {}
create | create | {"completed":true,"data":KVRT} | 04C0 | /rfid/card/create {"template":"KVRTv1"}
read | read | {"completed":true,"data":KVRT} | 04C0 | /rfid/card/read {"template":"KVRTv1","topupLogs":0,"usageLogs":3}
write | write | {"completed":true,"data":KVRT} | 04C0 | /rfid/card/write {"data":DATA,"template":"KVRTv1","type":0,"uid":""}
other template | read | {"completed":true,"data":{"template":"X","uid":"1"}} | - | /rfid/card/read {"template":"KVRTv1","topupLogs":0,"usageLogs":3}
reader refused | enable | {"completed":false,"error":{"what":"Busy"}} | !- Busy | /rfid/enable {"autoread":false}
reader no object | disable | [] | !- Invalid response | /rfid/disable {}
nothing to write | write nothing | | !- No card to write |
taken | waitCollect 60 | /dispenser/card/removed | 0 |
not taken | waitCollect 1 | | !-1 Timeout |
no limit below 0 | waitCollect -5 | /dispenser/card/removed | 0 |
card in the field | waitFound 1 @3 | | A1 |
found later | waitFound 0 | /rfid/card/found {"uid":"B2"} | B2 |
none found | waitFound 200 | | !- Timeout |
RF off | waitFound 0 @1 | | !- RF is disabled |)");
        for (const QString& method : Calls.keys())
            QTest::newRow(qPrintable(method)) << method << R"({"completed":true})"
                                              << "0"
                                              << "/dispenser/" + method + " {}";
    }
    void calls()
    {
        QFETCH(QString, call);
        QFETCH(QString, answer);
        QFETCH(QString, result);
        if (call.contains('@'))
            publish("/rfid/status",
                    R"({"service":true,"device":{"state":)" + call.section('@', 1).toUtf8() + "}}");
        QStringList asked;
        QVERIFY(m_bench->service().respondRaw(
            m_base + "/#", [&](const QString& topic, const QByteArray& request) {
                asked << topic.mid(m_base.size()).section("/request/", 0, 0) + " " + request;
                return QList<QByteArray> {answer.replace("KVRT", Kvrt).toUtf8()};
            }));
        QVERIFY(m_bench->sync());
        QSignalSpy removed(m_dispenser.get(), &Dispenser::cardRemoved);
        const KVRTv1Card::Ptr content(new KVRTv1Card);
        const QString name = call.section(' ', 0, 0);
        const int limit = call.section(' ', 1, 1).toInt();
        auto outcome = Settlement<QString>::of(
            Calls.contains(name)        ? described((m_dispenser.get()->*Calls[name])())
                : name == "waitCollect" ? described(m_dispenser->waitCollect(limit))
                : name == "waitFound"   ? described(m_rfid->waitCardFound(limit))
                : name == "enable"      ? described(m_rfid->enable(call.endsWith("autoread")))
                : name == "disable"     ? described(m_rfid->disable())
                : name == "create"      ? described(m_rfid->createCard("KVRTv1"))
                : name == "read"
                ? described(m_rfid->readCard("KVRTv1", 3))
                : described(m_rfid->writeCard(call == "write" ? content : nullptr)));
        if (answer.startsWith('/')) {
            // Longer than any finite wait a slow machine could round a short limit to.
            QTest::qWait(limit > 0 ? 0 : 1500);
            QVERIFY(m_bench->sync());
            QVERIFY(!outcome->settled());
            publish(answer.section(' ', 0, 0), answer.section(' ', 1).toUtf8());
        }
        QVERIFY(outcome->wait(Wait));
        QCOMPARE(outcome->value, result);
        QCOMPARE(outcome->calls(), 1);
        const QString data = QJsonDocument(content->data()).toJson(QJsonDocument::Compact);
        QTEST(asked.join("").replace(data, "DATA"), "asked");
        const bool placed = !Calls.contains(name) && !result.startsWith('!');
        if (!name.startsWith("wait"))
            QCOMPARE(uidOf(m_rfid->activeCard()), placed ? result : "A1");
        // The dispenser's own subscription to the event outlives a wait for it.
        publish("/dispenser/card/removed", QByteArray());
        QVERIFY(m_bench->sync());
        QCOMPARE(removed.count(), answer.contains("removed") ? 2 : 1);
    }
    void commandsAndOffline()
    {
        // The reader's empty commands come back to its client, the validator's switches
        // on the same reader too: no parse error for any of them.
        MessageCapture capture;
        QVERIFY(m_dispenser->setLEDs(Dispenser::Red));
        QVERIFY(m_dispenser->setLEDs(Dispenser::Red | Dispenser::Green));
        QVERIFY(m_rfid->beepValid() && m_rfid->beepInvalid());
        publish("/rfid/disable", QByteArray());
        publish("/rfid/enable", QByteArray());
        QVERIFY(m_bench->sync());
        QVERIFY(capture.messages().filter("Failed to parse").isEmpty());
        QStringList sent;
        for (const auto& message : m_bench->service().messages(m_base + "/dispenser/led/set")
                 + m_bench->service().messages(m_base + "/rfid/beep/+"))
            sent << message.topic.mid(m_base.size()) + ' ' + message.payload.simplified();
        QCOMPARE(
            sent.join(','),
            R"(/dispenser/led/set { "green": false, "red": true },)"
            R"(/dispenser/led/set { "green": true, "red": true },/rfid/beep/valid ,/rfid/beep/invalid )");

        m_rfid->setSAMs(QJsonArray {QJsonObject {{"slot", 1}}, QJsonObject {{"slot", 2}}});
        QPointer<SAM> old = m_rfid->sams().at(0);
        m_rfid->setSAMs(QJsonArray {7});
        QCOMPARE(m_rfid->sams().size(), 1);
        QTRY_VERIFY(!old);
        // No broker connection: everything is refused at once.
        manager::MqttClient offline;
        Dispenser dispenser(offline, m_base);
        RFID rfid(offline, m_base);
        QVERIFY(!dispenser.setLEDs(Dispenser::Green) && !rfid.beepValid());
        QString refusals;
        for (const auto& request : {described(dispenser.issue()),
                                    described(dispenser.waitCollect(5)), described(rfid.disable())})
            refusals += Settlement<QString>::of(request)->value + ",";
        QCOMPARE(refusals, "!-1 Not connected,!-1 Not connected,!- Not connected,");
    }

private:
    static QString uidOf(const Tag::Ptr& tag) { return tag ? tag->uid() : QStringLiteral("-"); }
    static QString text(const Dispenser::Result& r)
    {
        return QString::number(r.code) + ' ' + r.error;
    }
    static QString text(const RFID::Result& r) { return uidOf(r.card) + ' ' + r.error; }
    // A result as text, "!" first when it is a failure.
    template<class R>
    static Deferred<QString> described(const Deferred<R>& result)
    {
        Deferred<QString> out;
        result.done([out](const R& r) { out.resolve(text(r).trimmed()); }).fail([out](const R& r) {
            out.reject("!" + text(r).trimmed());
        });
        return out;
    }
    void publish(const QString& suffix, const QByteArray& payload)
    {
        QVERIFY(m_bench->service().publish(m_base + suffix, payload));
    }
    QString state(const QString& client) const
    {
        if (client == "rfid")
            return QStringList({m_rfid->property("stateName").toString(), m_rfid->error(),
                                QString::number(m_rfid->active()), uidOf(m_rfid->activeCard())})
                .join(';');
        QString flags;
        for (bool flag : {m_dispenser->active(), m_dispenser->isJammed(), m_dispenser->isDoorOpen(),
                          m_dispenser->cardInMouth(), m_dispenser->cardInRfid()})
            flags += QString::number(flag);
        return flags;
    }
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<Dispenser> m_dispenser;
    std::unique_ptr<RFID> m_rfid;
    QString m_base;
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestHardwareClients)
#include "tst_hardwareclients.moc"
