#include "Board.h"
#include "DeviceTestBench.h"
#include "Diagnostics.h"
#include "KVRTTerminal.h"
#include "MessageCapture.h"
#include "Network.h"
#include "QrReader.h"
#include "TestBroker.h"
#include "Version.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int Wait = 20000;
const QStringList Checked {"usbHub", "mPCIe1",     "rfidUsb", "usbHost",
                           "ftdi",   "barcodeUsb", "touch",   "sdCard"};

QJsonObject boardStatus(double temperature, double voltage)
{
    return {{"service", true},
            {"device",
             QJsonObject {{"active", true},
                          {"ignition", true},
                          {"temperature", temperature},
                          {"voltage", voltage}}}};
}

} // namespace

class tst_Diagnostics : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init();
    void cleanup();

    void hardware_data();
    void hardware();
    void limits_data();
    void limits();
    void reportAndQrCode();
    void reportNotWritable();

private:
    // "path:vendor:product" makes a USB port directory with its attributes, a bare
    // "path" one without any, "sd" the SD card node.
    void plug(const QStringList& devices);
    void publish(const QString& topic, const QJsonObject& json)
    {
        m_bench->service().publish("test/" + topic, json);
    }
    QString path(const QString& name) const { return m_dir->filePath(name); }

    TestBroker m_broker;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DeviceTestBench> m_bench;
    std::unique_ptr<manager::Board> m_board;
    std::unique_ptr<manager::Network> m_network;
    std::unique_ptr<manager::KVRTTerminal> m_terminal;
    std::unique_ptr<Diagnostics> m_diagnostics;
    QString m_deviceId = "KVRT-GATE-0042-0123456789-ABCDEFGHIJKLMN"; // longer than a field
};

void tst_Diagnostics::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid() && QDir(m_dir->path()).mkpath("usb"));
    m_bench = std::make_unique<DeviceTestBench>(m_broker);
    m_board = std::make_unique<manager::Board>(m_bench->client(), "test/board");
    m_network = std::make_unique<manager::Network>(m_bench->client(), "test/network");
    m_terminal = std::make_unique<manager::KVRTTerminal>(m_bench->client(), "test/blm");
    m_diagnostics = std::make_unique<Diagnostics>(m_deviceId, *m_board, *m_network, *m_terminal);
    m_diagnostics->setUsbDeviceDirectory(path("usb"));
    m_diagnostics->setSdCardNode(path("mmcblk1p1"));
    m_diagnostics->setReportDirectory(m_dir->path());
    QVERIFY(m_bench->start("test/#"));
}

void tst_Diagnostics::cleanup()
{
    m_diagnostics.reset();
    m_terminal.reset();
    m_network.reset();
    m_board.reset();
    m_bench.reset();
}

void tst_Diagnostics::plug(const QStringList& devices)
{
    for (const QString& device : devices) {
        if (device == "sd") {
            QFile node(path("mmcblk1p1"));
            QVERIFY(node.open(QIODevice::WriteOnly));
            continue;
        }
        QStringList parts = device.split(':');
        const QString dir = path("usb/" + parts.takeFirst());
        QVERIFY(QDir().mkpath(dir));
        if (!parts.isEmpty())
            parts << "Reader"; // the product name
        const char* names[] = {"idVendor", "idProduct", "product"};
        for (int i = 0; i < parts.size(); ++i) {
            QFile file(dir + '/' + names[i]);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(parts[i].toUtf8() + '\n'); // as sysfs writes them
        }
    }
}

void tst_Diagnostics::hardware_data()
{
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QVariantMap>("found"); // results other than "MISSING"
    QTest::addColumn<QStringList>("logged");

    QTest::newRow("nothing there") << QStringList() << QVariantMap() << QStringList();
    QTest::newRow("RFID reader on its port")
        << QStringList {"1-1.3:0ab1:0007"} << QVariantMap {{"rfidUsb", "OK"}} << QStringList();
    QTest::newRow("another device on the RFID port")
        << QStringList {"1-1.3:0ab1:0008"} << QVariantMap {{"rfidUsb", "ERROR"}} << QStringList();
    QTest::newRow("any device on the open ports, attributes or not")
        << QStringList {"1-1.2:dead:beef", "1-1.4"}
        << QVariantMap {{"mPCIe1", "OK"}, {"usbHost", "OK"}}
        << QStringList {"[Diagnostics] ERROR: Failed to open fle : %1/1-1.4/idVendor"};
    QTest::newRow("unreadable attributes")
        << QStringList {"1-1"} << QVariantMap {{"usbHub", "ERROR"}}
        << QStringList {"Failed to open fle : %1/1-1/idProduct", "fle : %1/1-1/product"};
    QTest::newRow("everything in place")
        << QStringList {"1-1:0451:2077",   "1-1.2:1:2",       "1-1.3:0ab1:0007", "1-1.4:3:4",
                        "1-1.5:0403:6015", "1-1.6:05f9:4204", "1-1.7:222a:0001", "sd"}
        << QVariantMap {{"usbHub", "OK"},  {"mPCIe1", "OK"}, {"rfidUsb", "OK"},
                        {"usbHost", "OK"}, {"ftdi", "OK"},   {"barcodeUsb", "OK"},
                        {"touch", "OK"},   {"sdCard", "OK"}}
        << QStringList();
}

void tst_Diagnostics::hardware()
{
    QFETCH(QStringList, devices);
    QFETCH(QVariantMap, found);
    QFETCH(QStringList, logged);

    plug(devices);
    MessageCapture log;
    QSignalSpy sdCard(m_diagnostics.get(), &Diagnostics::sdCardChanged);
    m_diagnostics->start(1); // checks at once
    for (const QString& name : Checked)
        QCOMPARE(m_diagnostics->property(qPrintable(name)), found.value(name, "MISSING"));
    QCOMPARE(sdCard.count(), 1);
    for (const QString& line : logged)
        QVERIFY2(log.contains(line.arg(path("usb"))), qPrintable(line));
    if (logged.isEmpty())
        QCOMPARE(log.messages(QtCriticalMsg), QStringList());

    // The timer keeps checking: unplugged devices turn up missing.
    QVERIFY(QDir(path("usb")).removeRecursively());
    QFile::remove(path("mmcblk1p1"));
    for (const QString& name : Checked)
        QTRY_COMPARE_WITH_TIMEOUT(m_diagnostics->property(qPrintable(name)).toString(),
                                  QStringLiteral("MISSING"), Wait);
    m_diagnostics->stop();
}

void tst_Diagnostics::limits_data()
{
    QTest::addColumn<double>("temperature");
    QTest::addColumn<double>("voltage");
    QTest::addColumn<QString>("result");
    QTest::newRow("at the lower limits") << 15.0 << 9.0 << "ERROR";
    QTest::newRow("just above them") << 15.1 << 9.1 << "OK";
    QTest::newRow("just below the upper limits") << 69.9 << 39.9 << "OK";
    QTest::newRow("at the upper limits") << 70.0 << 40.0 << "ERROR";
    QTest::newRow("far out") << -20.0 << 230.0 << "ERROR";
}

void tst_Diagnostics::limits()
{
    QFETCH(double, temperature);
    QFETCH(double, voltage);
    QFETCH(QString, result);

    QSignalSpy temperatureSpy(m_diagnostics.get(), &Diagnostics::temperatureChanged);
    publish("board/status", boardStatus(temperature, voltage));
    QVERIFY(m_bench->sync());
    QCOMPARE(m_diagnostics->temperature() + ' ' + m_diagnostics->voltage(), result + ' ' + result);
    QCOMPARE(temperatureSpy.count(), 1);
    QCOMPARE(m_diagnostics->boardService(), QStringLiteral("OK"));
}

void tst_Diagnostics::reportAndQrCode()
{
    plug({"1-1.3:0ab1:0007", "1-1.4", "1-1.6:05f9:0000", "sd"});
    publish("board/status", boardStatus(41.5, 24.0));
    publish("board/info", {{"device", QJsonObject {{"firmwareVersion", "1.2.0"}}}});
    QSignalSpy ethernet(m_diagnostics.get(), &Diagnostics::ethernetChanged);
    publish("network/ethernet/state", {{"interface", "eth0"}, {"stateStr", "Connected"}});
    const QJsonObject rfid {
        {"state", 1},
        {"active", true},
        {"sams", QJsonArray {QJsonObject {{"uid", "04A1B2C3"}, {"atr", "3B"}}}}};
    publish(
        "blm/status",
        {{"service", true},
         {"device", QJsonObject {{"rfid", rfid}, {"barcode", QJsonObject {{"active", true}}}}}});
    publish("blm/info",
            {{"device",
              QJsonObject {{"rfid", QJsonObject {{"firmware", "R-3"}}},
                           {"barcode", QJsonObject {{"firmware", "B-7"}}}}}});
    QVERIFY(m_bench->sync());
    QCOMPARE(ethernet.count(), 1);
    m_diagnostics->check();
    for (const char* manual : {"buzzer", "speaker", "barcodeScan", "cardScan", "rgbTest"})
        m_diagnostics->setProperty(manual, "OK");
    m_diagnostics->setLeds("ERROR");

    QSignalSpy finished(m_diagnostics.get(), &Diagnostics::saveReportFinished);
    m_diagnostics->saveReport();
    const QStringList files = QDir(m_dir->path()).entryList({"TestReport_*.txt"});
    QCOMPARE(files.size(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished[0],
             (QVariantList {true, "Test report saved successfully:\n" + path(files[0])}));

    // The date in the report is the minute of the file name.
    const QDateTime saved = QDateTime::fromString(files[0].mid(11, 13), "yyyyMMdd_hhmm");
    QFile fixture(KVRT_SOURCE_DIR "/tests/data/TestReport.txt");
    QFile report(path(files[0]));
    QVERIFY(saved.isValid() && fixture.open(QIODevice::ReadOnly)
            && report.open(QIODevice::ReadOnly));
    QString expected = QString::fromUtf8(fixture.readAll());
    expected.replace(QStringLiteral("%DATE%").rightJustified(35),
                     saved.toString("yyyy-MM-dd hh:mm").rightJustified(35));
    expected.replace(QStringLiteral("%VERSION%").rightJustified(35),
                     QString(kvrt::ApplicationVersion).rightJustified(35));
    QCOMPARE(QString::fromUtf8(report.readAll()), expected);

    // The QR code carries the same results, the speaker's too, as one line.
    const QString qr = m_diagnostics->generateQr();
    QVERIFY(qr.startsWith("data:image/svg,<?xml"));
    if (!QrReader::available())
        QSKIP("zbarimg is not installed (Debian package zbar-tools): cannot read QR codes");
    bool ok = false;
    QString error;
    const QStringList fields = QrReader::decode(qr.mid(15), m_dir->path(), &ok, &error).split(';');
    QVERIFY2(ok, qPrintable(error));
    QVERIFY(QDateTime::fromString(fields.value(1), "yyyy-MM-dd hh:mm").isValid());
    QCOMPARE(fields.mid(2).join(';'),
             QStringLiteral("04A1B2C3;B-7;R-3;1.2.0;%1;;;OK;OK;MISSING;MISSING;OK;ERROR;MISSING;OK;"
                            "MISSING;OK;OK;ERROR;OK;OK;OK;OK;OK;OK;OK;OK;OK;OK;;OK")
                 .arg(kvrt::ApplicationVersion));
    QCOMPARE(fields[0], m_deviceId);
}

void tst_Diagnostics::reportNotWritable()
{
    m_diagnostics->setReportDirectory(path("no/such/dir"));
    MessageCapture log;
    QSignalSpy finished(m_diagnostics.get(), &Diagnostics::saveReportFinished);
    m_diagnostics->saveReport();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].toBool(), false);
    QVERIFY(finished[0][1].toString().startsWith("Could not save Test Report\nERROR: "));
    QVERIFY(log.contains("[Diagnostics] ERROR: Could not save file : "));
    // Nothing reported yet: the derived results say so.
    QCOMPARE(m_diagnostics->sam() + m_diagnostics->boardService() + m_diagnostics->ethernet(),
             QStringLiteral("ERRORERRORERROR"));
}

QTEST_MAIN(tst_Diagnostics)
#include "tst_diagnostics.moc"
