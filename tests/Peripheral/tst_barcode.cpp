#include "Barcode.h"
#include "DeviceTestBench.h"
#include "MessageCapture.h"
#include "TestBroker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using manager::BarcodeManager;

namespace {

const QString base = QStringLiteral("ovant/barcode");

QString topic(const char* suffix)
{
    return base + QLatin1String(suffix);
}

QJsonObject status(bool service, bool active, bool enabled)
{
    return QJsonObject {{"service", service},
                        {"device", QJsonObject {{"active", active}, {"enabled", enabled}}}};
}

const QJsonObject fullInfo {
    {"device", QJsonObject {{"firmware", "3.2"}, {"manufacturer", "Acme"}, {"model", "BS-1"}}},
    {"service", QJsonObject {{"version", "1.0.4"}, {"type", "barcode"}}}};

} // namespace

class TestBarcode : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void statusFollowsService();
    void identicalStatusAnnouncedOnce();
    void infoKeepsIdentification();
    void scansAreAnnounced();
    void enableAndDisable();
    void notConnectedCommandsFail();

    void garbageIsNotJson_data();
    void garbageIsNotJson();
    void garbageWithWrongTypes();
    void otherTopicsAreIgnoredSilently();

private:
    void publishAndSettle(const QString& topic, const QByteArray& payload);
    void publishAndSettle(const QString& topic, const QJsonObject& json);
    void setKnownState();
    void verifyKnownState();

    TestBroker m_broker;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<BarcodeManager> m_scanner;
};

void TestBarcode::initTestCase()
{
    QVERIFY2(m_broker.start(), qPrintable(m_broker.log()));
}

void TestBarcode::init()
{
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_scanner = std::make_unique<BarcodeManager>(m_bench->client(), base);
    QVERIFY(m_bench->start(base + QStringLiteral("/#")));
}

void TestBarcode::cleanup()
{
    m_scanner.reset();
    m_bench.reset();
}

void TestBarcode::publishAndSettle(const QString& topic, const QByteArray& payload)
{
    QVERIFY(m_bench->service().publish(topic, payload));
    QVERIFY(m_bench->sync());
}

void TestBarcode::publishAndSettle(const QString& topic, const QJsonObject& json)
{
    publishAndSettle(topic, QJsonDocument(json).toJson(QJsonDocument::Compact));
}

void TestBarcode::setKnownState()
{
    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : enabled");
    publishAndSettle(topic("/status"), status(true, true, true));
    publishAndSettle(topic("/info"), fullInfo);
    verifyKnownState();
}

void TestBarcode::verifyKnownState()
{
    QCOMPARE(m_scanner->status(), QStringLiteral("enabled"));
    QCOMPARE(m_scanner->info().firmware, QStringLiteral("3.2"));
    QCOMPARE(m_scanner->info().manufacturer, QStringLiteral("Acme"));
    QCOMPARE(m_scanner->info().model, QStringLiteral("BS-1"));
    QCOMPARE(m_scanner->info().version, QStringLiteral("1.0.4"));
    QCOMPARE(m_scanner->info().type, QStringLiteral("barcode"));
}

void TestBarcode::statusFollowsService()
{
    QSignalSpy changed(m_scanner.get(), &BarcodeManager::statusChanged);
    QCOMPARE(m_scanner->status(), QString());

    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : offline");
    publishAndSettle(topic("/status"), status(false, true, true));
    QCOMPARE(m_scanner->status(), QStringLiteral("offline"));

    // Not active: an error, whatever "enabled" says.
    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : error");
    publishAndSettle(topic("/status"), status(true, false, true));
    QCOMPARE(m_scanner->status(), QStringLiteral("error"));
    publishAndSettle(topic("/status"), status(true, false, false));
    QCOMPARE(m_scanner->status(), QStringLiteral("error"));

    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : enabled");
    publishAndSettle(topic("/status"), status(true, true, true));
    QCOMPARE(m_scanner->status(), QStringLiteral("enabled"));

    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : disabled");
    publishAndSettle(topic("/status"), status(true, true, false));
    QCOMPARE(m_scanner->status(), QStringLiteral("disabled"));

    // A service without a device part has no active device.
    publishAndSettle(topic("/status"), QJsonObject {{"service", true}});
    QCOMPARE(m_scanner->status(), QStringLiteral("error"));

    QCOMPARE(changed.count(), 5);
    const QStringList announced {"offline", "error", "enabled", "disabled", "error"};
    for (int i = 0; i < changed.count(); ++i)
        QCOMPARE(changed.at(i).at(0).toString(), announced.at(i));
}

void TestBarcode::identicalStatusAnnouncedOnce()
{
    QSignalSpy changed(m_scanner.get(), &BarcodeManager::statusChanged);
    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : enabled");
    publishAndSettle(topic("/status"), status(true, true, true));
    publishAndSettle(topic("/status"), status(true, true, true));
    QCOMPARE(changed.count(), 1);

    // Different messages that mean the same status are no change either.
    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : offline");
    publishAndSettle(topic("/status"), status(false, true, true));
    publishAndSettle(topic("/status"), status(false, false, false));
    publishAndSettle(topic("/status"), QByteArray("{}"));
    QCOMPARE(changed.count(), 2);
}

void TestBarcode::infoKeepsIdentification()
{
    publishAndSettle(topic("/info"), fullInfo);
    QCOMPARE(m_scanner->info().firmware, QStringLiteral("3.2"));
    QCOMPARE(m_scanner->info().manufacturer, QStringLiteral("Acme"));
    QCOMPARE(m_scanner->info().model, QStringLiteral("BS-1"));
    QCOMPARE(m_scanner->info().type, QStringLiteral("barcode"));
    QCOMPARE(m_scanner->info().version, QStringLiteral("1.0.4"));

    // Missing texts read as empty.
    publishAndSettle(topic("/info"), QJsonObject {{"device", QJsonObject {{"model", "BS-2"}}}});
    QCOMPARE(m_scanner->info().model, QStringLiteral("BS-2"));
    QCOMPARE(m_scanner->info().firmware, QString());
    QCOMPARE(m_scanner->info().version, QString());
}

void TestBarcode::scansAreAnnounced()
{
    QSignalSpy scanned(m_scanner.get(), &BarcodeManager::barcodeScanned);
    publishAndSettle(topic("/barcode"), QJsonObject {{"data", "ABC-123"}});
    publishAndSettle(topic("/barcode"), QJsonObject {{"data", "ABC-123"}});
    // A scan without text is still a scan.
    publishAndSettle(topic("/barcode"), QJsonObject {{"data", ""}});
    publishAndSettle(topic("/barcode"), QJsonObject {{"other", "x"}});
    // Any text, also large and beyond ASCII, arrives as it was scanned.
    const QString large = QString(1024 * 1024, QChar(u'Ω'));
    publishAndSettle(topic("/barcode"), QJsonObject {{"data", large}});

    QCOMPARE(scanned.count(), 5);
    QCOMPARE(scanned.at(0).at(0).toString(), QStringLiteral("ABC-123"));
    QCOMPARE(scanned.at(1).at(0).toString(), QStringLiteral("ABC-123"));
    QCOMPARE(scanned.at(2).at(0).toString(), QString());
    QCOMPARE(scanned.at(3).at(0).toString(), QString());
    QCOMPARE(scanned.at(4).at(0).toString(), large);
}

void TestBarcode::enableAndDisable()
{
    TestPeer& service = m_bench->service();
    MessageCapture log;

    QVERIFY(m_scanner->enable());
    QVERIFY(service.waitForMessages(topic("/enable"), 1));
    QCOMPARE(service.last(topic("/enable")).payload, QByteArray());

    QVERIFY(m_scanner->disable());
    QVERIFY(service.waitForMessages(topic("/disable"), 1));
    QCOMPARE(service.last(topic("/disable")).payload, QByteArray());

    // The client hears its own commands under its wildcard subscription: they are
    // no malformed messages.
    QVERIFY(m_bench->sync());
    QCOMPARE(log.messages(QtCriticalMsg), QStringList());

    // A command changes nothing by itself.
    QCOMPARE(m_scanner->status(), QString());
}

void TestBarcode::notConnectedCommandsFail()
{
    manager::MqttClient offline;
    BarcodeManager scanner(offline, base);
    QCOMPARE(scanner.enable(), false);
    QCOMPARE(scanner.disable(), false);
    QCOMPARE(scanner.status(), QString());
}

void TestBarcode::garbageIsNotJson_data()
{
    QTest::addColumn<QString>("suffix");
    for (const char* suffix : {"/info", "/status", "/barcode"})
        QTest::newRow(suffix) << QString::fromLatin1(suffix);
}

void TestBarcode::garbageIsNotJson()
{
    QFETCH(QString, suffix);
    setKnownState();
    QSignalSpy changed(m_scanner.get(), &BarcodeManager::statusChanged);
    QSignalSpy scanned(m_scanner.get(), &BarcodeManager::barcodeScanned);

    const QList<QByteArray> payloads {
        "not json at all",
        "{\"data\": \"ABC\"",
        "{'data': 'ABC'}",
        // The scanner service sends no empty messages: an empty one is broken.
        QByteArray(),
        "42",
        QByteArray(1024 * 1024, 'x'),
        QByteArray(100000, '[') + QByteArray(100000, ']'),
    };
    for (const QByteArray& payload : payloads) {
        QTest::ignoreMessage(
            QtCriticalMsg,
            qPrintable("Failed to parse JSON message: " + QString::fromUtf8(payload)));
        publishAndSettle(base + suffix, payload);
    }
    verifyKnownState();
    QCOMPARE(changed.count(), 0);
    QCOMPARE(scanned.count(), 0);
}

void TestBarcode::garbageWithWrongTypes()
{
    setKnownState();
    QSignalSpy changed(m_scanner.get(), &BarcodeManager::statusChanged);

    // A status that cannot be read changes nothing.
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'service' of type string, expected bool");
    publishAndSettle(topic("/status"), QJsonObject {{"service", "true"}});
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'device' of type array, expected object");
    publishAndSettle(topic("/status"), QJsonObject {{"service", true}, {"device", QJsonArray {}}});
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'active' of type number, expected bool");
    publishAndSettle(topic("/status"),
                     QJsonObject {{"service", true}, {"device", QJsonObject {{"active", 1}}}});
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'enabled' of type string, expected bool");
    publishAndSettle(topic("/status"),
                     QJsonObject {{"service", true},
                                  {"device", QJsonObject {{"active", true}, {"enabled", "no"}}}});

    // Texts of another type keep the identification.
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'firmware' of type number, expected string");
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'service' of type string, expected object");
    publishAndSettle(
        topic("/info"),
        QJsonObject {
            {"device", QJsonObject {{"firmware", 4}, {"manufacturer", "Acme"}, {"model", "BS-1"}}},
            {"service", "1.0.4"}});
    // An array document carries no fields: no running service.
    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : offline");
    publishAndSettle(topic("/status"), QByteArray("[true]"));
    QCOMPARE(m_scanner->status(), QStringLiteral("offline"));
    QCOMPARE(changed.count(), 1);

    QTest::ignoreMessage(QtWarningMsg, "Barcode status is : enabled");
    publishAndSettle(topic("/status"), status(true, true, true));
    verifyKnownState();

    // A code that is no text is reported and announced as an empty scan.
    QSignalSpy scanned(m_scanner.get(), &BarcodeManager::barcodeScanned);
    QTest::ignoreMessage(QtWarningMsg, "Ignoring field 'data' of type number, expected string");
    publishAndSettle(topic("/barcode"), QJsonObject {{"data", 12345}});
    QCOMPARE(scanned.count(), 1);
    QCOMPARE(scanned.at(0).at(0).toString(), QString());
}

void TestBarcode::otherTopicsAreIgnoredSilently()
{
    setKnownState();
    MessageCapture log;
    QSignalSpy scanned(m_scanner.get(), &BarcodeManager::barcodeScanned);
    TestPeer& service = m_bench->service();
    // Topics under the base that the client does not handle, with any payload.
    QVERIFY(service.publish(topic("/barcode/extra"), QByteArray("{\"data\": \"X\"}")));
    QVERIFY(service.publish(topic("/response/1"), QByteArray("garbage")));
    QVERIFY(service.publish(topic("/statistics"), QByteArray()));
    QVERIFY(service.publish(QStringLiteral("other/ovant/barcode/barcode"),
                            QByteArray("{\"data\": \"X\"}")));
    QVERIFY(m_bench->sync());
    QCOMPARE(scanned.count(), 0);
    QCOMPARE(log.messages(QtCriticalMsg), QStringList());
    QCOMPARE(log.messages(QtWarningMsg), QStringList());
    verifyKnownState();
}

QTEST_GUILESS_MAIN(TestBarcode)
#include "tst_barcode.moc"
