#include "DeviceTestBench.h"
#include "KVRTTerminal.h"
#include "MessageCapture.h"
#include "SAM.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "Transaction.h"

#include <QtTest>

using manager::KVRTTerminal;

namespace {

const QString base = QStringLiteral("test/blm");

// A running service's status report. Flags: f(RFID reader), o(OBU), n(NTP), t(route)
// in upper case for true, lower case for false, absent when not given; i: starting.
QJsonObject report(const char* flags)
{
    QJsonObject state;
    for (const char* f = flags; *f; ++f) {
        const char* keys[] = {"hasRfid", "hasObu", "hasNtp", "hasRoute", "init"};
        state.insert(keys[QByteArray("fonti").indexOf(char(tolower(*f)))],
                     *f != tolower(*f) || *f == 'i');
    }
    return {{"service", true}, {"state", state}};
}

QJsonObject reporting(QJsonObject report, int rfidState, bool scannerEnabled)
{
    report["device"] = QJsonObject {{"rfid", QJsonObject {{"state", rfidState}}},
                                    {"barcode", QJsonObject {{"enabled", scannerEnabled}}}};
    return report;
}

} // namespace

class TestKVRTTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        if (!m_broker.isRunning())
            QVERIFY2(m_broker.restart(), qPrintable(m_broker.log()));
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_terminal = &m_bench->make<KVRTTerminal>(base);
        QVERIFY(m_bench->start(base + "/config/#"));
        // The reader and scanner are switched on their own topics.
        QVERIFY(m_bench->service().subscribe("ovant/+/+"));
    }
    void cleanup() { m_bench.reset(); }

    void statusRules_data()
    {
        QTest::addColumn<QJsonObject>("before");
        QTest::addColumn<QJsonObject>("report");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QStringList>("changes");
        const auto row = [](const char* tag, const QJsonObject& before, const QJsonObject& report,
                            const char* status, const char* reason, const QStringList& changes) {
            QTest::newRow(tag) << before << report << status << reason << changes;
        };
        const QStringList fault {"offline", "online"};
        const QStringList noRoute {"offline", "out-of-service"};
        QJsonObject updating = report("fOT");
        updating["device"] = QJsonObject {{"rfid", QJsonObject {{"state", 4}}}};
        row("empty report", {}, {}, "online", "#0002 BLM service down", fault);
        // Unreadable rather than missing: the report decides nothing.
        row("service unreadable", {}, {{"service", "true"}}, "", " ", {});
        row("init keeps the reason", report("FoT"), report("ifn"), "init",
            "#0005 Disconnected from OBC", {"init"});
        row("reader updating", {}, updating, "online", "#0003 RFID firmware is updating", fault);
        row("no reader", report("FONT"), report("OT"), "online", "#0004 RFID is not operational",
            fault);
        row("same fault again", report("OT"), report("OT"), "online",
            "#0004 RFID is not operational", fault);
        // A terminal that cannot validate is out of service, fault or not.
        row("no OBU, no route", report("FOT"), report("Fot"), "out-of-service", "#0006 No route",
            noRoute);
        row("no OBU", {}, report("FoT"), "online", "#0005 Disconnected from OBC", fault);
        row("no NTP", {}, report("FOnT"), "online", "#0007 NTP not synchronized", fault);
        row("no route", report("FOT"), report("FOt"), "out-of-service", "#0006 No route",
            {"out-of-service"});
        row("back", report("FoT"), report("FONT"), "online", " ", {});
        row("flag unreadable", report("FOT"),
            {{"service", true}, {"state", QJsonObject {{"hasRfid", 1}}}}, "online", " ", {});
    }
    void statusRules()
    {
        QFETCH(QJsonObject, before);
        QFETCH(QJsonObject, report);
        if (!before.isEmpty())
            QVERIFY(this->status(before));
        QStringList seen;
        connect(m_terminal, &KVRTTerminal::statusChanged, this,
                [&] { seen << m_terminal->status(); });
        QVERIFY(this->status(report));
        QTEST(m_terminal->status(), "status");
        QTEST(m_terminal->reasonCode() + ' ' + m_terminal->reason(), "reason");
        QTEST(seen, "changes");
    }
    void vehicleRouteAndBrokerLoss()
    {
        QJsonObject running = report("FOT");
        running["obu"] = QJsonObject {{"vehicleUuid", "bus-17"}};
        running["route"] = QJsonObject {{"axisName", "Line 4"}};
        QVERIFY(status(running));
        QVERIFY(status(QJsonObject {{"service", false}})); // says nothing about them
        QCOMPARE(m_terminal->vehicle() + '|' + m_terminal->route(),
                 QStringLiteral("bus-17|Line 4"));
        QVERIFY(status(report("FOT"))); // a running service without them has none
        QCOMPARE(m_terminal->vehicle() + '|' + m_terminal->route(), QStringLiteral("|"));
        // However many SAMs a report lists, a reader has a few sockets.
        QJsonArray sams;
        for (int slot = 1; slot <= 1000; ++slot)
            sams.append(QJsonObject {{"slot", slot}});
        running["device"] = QJsonObject {{"rfid", QJsonObject {{"state", 2}, {"sams", sams}}}};
        QVERIFY(status(running));
        QCOMPARE(m_terminal->rfid()->sams().size() * 100
                     + m_terminal->rfid()->sams().last()->slot(),
                 808);

        m_broker.stop();
        QTRY_COMPARE_WITH_TIMEOUT(m_terminal->status(), QStringLiteral("offline"), 10000);
        QCOMPARE(m_terminal->reasonCode() + ' ' + m_terminal->reason(),
                 QStringLiteral("#0001 MQTT Disconnected"));
        // Recovery comes with the next report after reconnection.
        QVERIFY2(m_broker.restart(), qPrintable(m_broker.log()));
        QVERIFY(m_bench->service().waitUntilReady());
        QTRY_VERIFY_WITH_TIMEOUT(m_bench->client().isConnected(), 10000);
        QVERIFY(m_bench->sync());
        QCOMPARE(m_terminal->status(), QStringLiteral("offline"));
        QVERIFY(status(report("FOT")));
        QCOMPARE(m_terminal->status() + m_terminal->reasonCode(), QStringLiteral("online"));
    }
    void configMirrorAndSave_data()
    {
        // Credentials with the URL's own delimiters, and hosts the URL cannot hold, go back
        // to the service as they were reported.
        addJsonRows({"blm", "port"}, R"([
["text port", {"obu_host": "obu", "obu_port": "1883"}, 1883],
["credentials", {"obu_host": "obu", "obu_username": "bus@depot:7", "obu_password": "p%41ss/w@rd:"}, -1],
["numeric port", {"obu_host": "obu", "obu_port": 1883}, -1],
["port out of range", {"obu_host": "obu", "obu_port": "70000"}, -1],
["host with port", {"obu_host": "10.0.0.1:1883"}, -1],
["host with space", {"obu_host": "my host", "obu_port": "1884"}, 1884]])");
    }
    void configMirrorAndSave()
    {
        const QJsonObject blm = cell("blm").toObject();
        const int port = cell("port").toInt();
        QSignalSpy config(m_terminal, &KVRTTerminal::configChanged);
        MessageCapture log;
        const QJsonObject validator {{"passbackTime", "30"}, {"qr_passback", "true"}};
        QVERIFY(m_bench->deliver(base + "/config",
                                 QJsonObject {{"blm", blm}, {"validator", validator}}));
        QCOMPARE(m_terminal->config()->obuUrl().port(), port);
        QCOMPARE(m_terminal->config()->passbackSecs(), 30);
        // The password stays out of the terminal's log (the connection logs payloads when
        // debugging).
        QVERIFY(!log.messages().filter("[KVRTTerminal]").join('\n').contains("41ss"));
        // A report of one part leaves the other as it was; one of neither is no report.
        QVERIFY(m_bench->deliver(
            base + "/config", QJsonObject {{"validator", QJsonObject {{"passbackTime", "abc"}}}}));
        QVERIFY(m_bench->deliver(base + "/config", QJsonObject {{"blm", 1}}));
        QCOMPARE(m_terminal->config()->obuUrl().port(), port);
        QCOMPARE(m_terminal->config()->passbackSecs(), 0);
        QCOMPARE(config.count(), 2);
        m_terminal->config()->setPassbackQrEnabled(true);
        m_terminal->saveConfig();
        m_terminal->refreshConfig();
        TestPeer& service = m_bench->service();
        QVERIFY(service.waitForMessages(base + "/config/get"));
        QCOMPARE(service.last(base + "/config/get").payload, QByteArray("{ }"));
        const QJsonObject sent = service.last(base + "/config/set").json();
        QJsonObject expected = blm;
        expected["obu_port"] = port;
        for (const char* key : {"obu_username", "obu_password"})
            expected[key] = blm.value(key).toString();
        QCOMPARE(sent.value("blm").toObject(), expected);
        QCOMPARE(sent.value("validator").toObject(),
                 (QJsonObject {{"passbackTime", 0}, {"qr_passback", true}}));

        // An address without a host never replaces a reported one.
        m_terminal->config()->setObuUrl(QUrl("mqtt://:5"));
        m_terminal->saveConfig();
        QVERIFY(m_bench->sync());
        QCOMPARE(service.count(base + "/config/set"), 1);
    }
    void saveTypedConfig_data()
    {
        // The OBC address and password as typed on the page, the "blm" part sent (null:
        // refused, nothing sent) and the address the page shows afterwards.
        addJsonRows({"typed", "password", "blm", "shown"}, R"([
["no scheme", "10.0.0.5:1883", "", {"obu_host": "10.0.0.5", "obu_port": 1883}, "mqtt:\/\/10.0.0.5:1883"],
["password field", " mqtt:\/\/bus@obu\/ ", "p@ss:w\/rd%", {"obu_host": "obu", "obu_username": "bus", "obu_password": "p@ss:w\/rd%"}, "mqtt:\/\/bus@obu"],
["password in the address", "MQTT:\/\/bus:pw@obu:1884", "", {"obu_host": "obu", "obu_port": 1884, "obu_username": "bus", "obu_password": "pw"}, "mqtt:\/\/bus@obu:1884"],
["as QML resolved it", "qrc:\/qml\/screens\/settings\/10.0.0.5:1883", "", null, ""],
["no host", "mqtt:\/\/:1883", "pw", null, ""],
["nothing", "", "", null, ""],
["other scheme", "http:\/\/obu", "", null, ""],
["path", "obu\/x", "", null, ""],
["broker down", "10.0.0.5", "", null, ""],
["no OBU, as reported", "", "", {}, ""]])");
    }
    void saveTypedConfig()
    {
        if (QTest::currentDataTag() == QLatin1String("broker down")) {
            m_broker.stop();
            QTRY_VERIFY_WITH_TIMEOUT(!m_bench->client().isConnected(), 10000);
        } else if (QTest::currentDataTag() == QLatin1String("no OBU, as reported")) {
            m_bench->service().publish(base + "/config", QJsonObject {{"blm", QJsonObject {}}});
            QVERIFY(m_bench->sync());
        }
        const QJsonValue blm = cell("blm");
        const bool sent = m_terminal->saveConfigFrom(cell("typed").toString(),
                                                     cell("password").toString(), 30, true);
        QCOMPARE(sent, blm.isObject());
        // Refused or not sent: the mirror stays as reported.
        QCOMPARE(m_terminal->config()->obuAddress(), cell("shown").toString());
        QCOMPARE(m_terminal->config()->passbackSecs(), sent ? 30 : 0);
        if (!m_broker.isRunning())
            return;
        QVERIFY(m_bench->sync());
        const QList<TestPeer::Message> set = m_bench->service().messages(base + "/config/set");
        QCOMPARE(set.size(), sent ? 1 : 0);
        if (!sent)
            return;
        const QJsonObject none {
            {"obu_username", ""}, {"obu_password", ""}, {"obu_host", ""}, {"obu_port", -1}};
        QCOMPARE(set[0].json(),
                 (QJsonObject {
                     {"blm", changed(none, blm.toObject())},
                     {"validator", QJsonObject {{"passbackTime", 30}, {"qr_passback", true}}}}));
        QCOMPARE(m_terminal->config()->obuPassword(), blm["obu_password"].toString());
    }
    void faultReportsSwitchOnce()
    {
        // The screen's decision on every status change, as the GUI manager takes it.
        KVRTTerminal* terminal = m_terminal;
        connect(terminal, &KVRTTerminal::statusChanged, this, [terminal] {
            if (terminal->status() == "online") {
                terminal->enableRfid();
                terminal->enableBarcode();
            } else {
                terminal->disableRfid();
                terminal->disableBarcode();
            }
        });
        // Each report in turn with the readers' state (on: 1), and the commands it leads to.
        const char* const steps[][3] = {
            {"FOT", "0", "rfid/enable barcode/enable"},
            {"FOT", "0", ""}, // told already, the service has not switched yet
            {"FoT", "1", ""}, // a fault passes through "offline": the readers stay on
            {"FoT", "1", ""}, // and the same fault again changes nothing
            {"FOnT", "1", ""},
            {"Fot", "1", "rfid/disable barcode/disable"}, // no route: off, once
            {"Fot", "0", ""},
            {"FOT", "0", "rfid/enable barcode/enable"},
        };
        for (const auto& step : steps) {
            m_bench->service().clear();
            const bool on = step[1][0] == '1';
            QVERIFY(status(reporting(report(step[0]), on ? 2 : 1, on)));
            QVERIFY(settle());
            QCOMPARE(topics(), QString(step[2]));
        }
        QCOMPARE(m_bench->service().last("ovant/rfid/enable").json(),
                 (QJsonObject {{"autoread", true}}));
        // Told back before the service reports: sent, and for that reader alone.
        m_bench->service().clear();
        m_terminal->disableRfid();
        QVERIFY(settle());
        QCOMPARE(topics(), QStringLiteral("rfid/disable"));
    }
    void cardsAndTickets()
    {
        QSignalSpy found(m_terminal, &KVRTTerminal::cardDetected);
        QSignalSpy removed(m_terminal, &KVRTTerminal::cardRemoved);
        QSignalSpy retry(m_terminal, &KVRTTerminal::cardRetry);
        QList<QJsonObject> tickets, maintenance;
        connect(m_terminal, &KVRTTerminal::ticketValidated, this,
                [&](const Transaction& transaction) { tickets << transaction.data(); });
        connect(m_terminal, &KVRTTerminal::maintenanceBarcodeScanned, this,
                [&](const QJsonObject& data) { maintenance << data; });
        TestPeer& service = m_bench->service();
        service.publish("ovant/rfid/card/found", QJsonObject {{"uid", "04AA"}, {"type", 8}});
        service.publish("ovant/rfid/card/found", QByteArray()); // a card, whatever else is wrong
        // A removal matters whatever the reader sends with it: it is not parsed.
        service.publish("ovant/rfid/card/removed", QByteArray("not json"));
        service.publish(base + "/rfid/retry", QByteArray());
        const QJsonObject ticket {{"result", true}, {"ticketId", "T-1"}};
        service.publish(base + "/rfid/scanned", QJsonObject {{"transaction", ticket}});
        service.publish(base + "/barcode/scanned", QJsonObject {{"other", 1}});
        service.publish(base + "/barcode/maintenance/scanned", QJsonObject {{"type", "config"}});
        QVERIFY(m_bench->sync());
        QCOMPARE(found, (QList<QVariantList> {{"04AA", "MIFARE Classic 4K"}, {"", "Unknown"}}));
        QCOMPARE(removed.count() + retry.count(), 2);
        // A result that cannot be read is shown as a refusal rather than not at all.
        QCOMPARE(tickets, (QList<QJsonObject> {ticket, QJsonObject()}));
        QCOMPARE(maintenance, (QList<QJsonObject> {{{"type", "config"}}}));
    }

private:
    bool status(const QJsonObject& report) { return m_bench->deliver(base + "/status", report); }
    // The switches send after the current event: let them, then wait for their arrival.
    bool settle()
    {
        QCoreApplication::processEvents();
        return m_bench->sync();
    }
    // The reader and scanner commands the service received, in order.
    QString topics() const
    {
        QStringList sent;
        for (const auto& message : m_bench->service().messages("ovant/+/+"))
            sent << message.topic.mid(6);
        return sent.join(' ');
    }
    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    KVRTTerminal* m_terminal = nullptr;
};

QTEST_GUILESS_MAIN(TestKVRTTerminal)
#include "tst_kvrtterminal.moc"
