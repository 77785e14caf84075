// The device self-test on a fake USB tree and SD card node in a scratch directory,
// fed by the board, network and terminal clients over a real broker; its report
// against a fixture, and QR codes read back by zbarimg as a phone would.

#include "Board.h"
#include "DeviceTestBench.h"
#include "Diagnostics.h"
#include "KVRTTerminal.h"
#include "MessageCapture.h"
#include "Network.h"
#include "QrCodeGenerator.h"
#include "TestBroker.h"
#include "Version.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int Wait = 20000;
const QStringList Checked {"usbHub", "mPCIe1",     "rfidUsb", "usbHost",
                           "ftdi",   "barcodeUsb", "touch",   "sdCard"};

QByteArray boardStatus(double temperature, double voltage)
{
    return QStringLiteral(R"({"service":true,"device":{"active":true,"ignition":true,
        "temperature":%1,"voltage":%2}})")
        .arg(temperature)
        .arg(voltage)
        .toUtf8();
}

// The text of a QR code drawn as SVG: rendered to a picture in dir and decoded by
// zbarimg (Debian's zbar-tools); empty when nothing was read.
QString readQr(const QString& svg, const QString& dir)
{
    QSvgRenderer renderer(svg.toUtf8());
    QImage image(renderer.viewBox().size() * 8, QImage::Format_RGB32); // 8 pixels a module
    image.fill(Qt::white);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    QProcess zbar;
    if (image.save(dir + "/qr.png"))
        zbar.start("zbarimg", {"--raw", "-q", dir + "/qr.png"});
    zbar.waitForFinished(60000);
    return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
}

} // namespace

class tst_Diagnostics : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_broker.start(), qPrintable(m_broker.log())); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid() && QDir(m_dir->path()).mkpath("usb"));
        m_bench = std::make_unique<DeviceTestBench>(m_broker);
        m_board = &m_bench->make<manager::Board>("test/board");
        m_network = std::make_unique<manager::Network>(m_bench->client(), "test/network");
        m_terminal = std::make_unique<manager::KVRTTerminal>(m_bench->client(), "test/blm");
        m_diagnostics
            = std::make_unique<Diagnostics>(m_deviceId, *m_board, *m_network, *m_terminal);
        m_diagnostics->setUsbDeviceDirectory(path("usb"));
        m_diagnostics->setSdCardNode(path("mmcblk1p1"));
        m_diagnostics->setReportDirectory(m_dir->path());
        QVERIFY(m_bench->start("test/#"));
    }
    void cleanup()
    {
        m_diagnostics.reset(), m_terminal.reset(), m_network.reset(), m_bench.reset();
    }
    void hardware_data()
    {
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QVariantMap>("found"); // results other than "MISSING"
        QTest::newRow("nothing there") << QStringList() << QVariantMap();
        QTest::newRow("RFID reader on its port, SD card")
            << QStringList {"1-1.3:0ab1:0007", "sd"}
            << QVariantMap {{"rfidUsb", "OK"}, {"sdCard", "OK"}};
        QTest::newRow("another device on the RFID port")
            << QStringList {"1-1.3:0ab1:0008"} << QVariantMap {{"rfidUsb", "ERROR"}};
        QTest::newRow("any device on the open ports, attributes or not")
            << QStringList {"1-1.2:dead:beef", "1-1.4"}
            << QVariantMap {{"mPCIe1", "OK"}, {"usbHost", "OK"}};
        QTest::newRow("unreadable attributes")
            << QStringList {"1-1"} << QVariantMap {{"usbHub", "ERROR"}};
    }
    void hardware()
    {
        QFETCH(QStringList, devices);
        QFETCH(QVariantMap, found);
        plug(devices);
        m_diagnostics->start(1); // checks at once
        for (const QString& name : Checked)
            QCOMPARE(m_diagnostics->property(qPrintable(name)), found.value(name, "MISSING"));

        // The timer keeps checking: unplugged devices turn up missing.
        QVERIFY(QDir(path("usb")).removeRecursively());
        QFile::remove(path("mmcblk1p1"));
        for (const QString& name : Checked)
            QTRY_COMPARE_WITH_TIMEOUT(m_diagnostics->property(qPrintable(name)).toString(),
                                      QStringLiteral("MISSING"), Wait);
        m_diagnostics->stop();
    }
    void limits_data()
    {
        QTest::addColumn<double>("temperature");
        QTest::addColumn<double>("voltage");
        QTest::addColumn<QString>("result");
        QTest::newRow("at the lower limits") << 15.0 << 9.0 << "ERROR";
        QTest::newRow("just above them") << 15.1 << 9.1 << "OK";
        QTest::newRow("just below the upper limits") << 69.9 << 39.9 << "OK";
        QTest::newRow("at the upper limits") << 70.0 << 40.0 << "ERROR";
    }
    void limits()
    {
        QFETCH(double, temperature);
        QFETCH(double, voltage);
        QFETCH(QString, result);
        QVERIFY(m_bench->deliver("test/board/status", boardStatus(temperature, voltage)));
        QCOMPARE(m_diagnostics->temperature() + ' ' + m_diagnostics->voltage(),
                 result + ' ' + result);
    }
    void reportAndQrCode()
    {
        plug({"1-1.3:0ab1:0007", "1-1.4", "1-1.6:05f9:0000", "sd"});
        publish("board/status", boardStatus(41.5, 24.0));
        publish("board/info", R"({"device":{"firmwareVersion":"1.2.0"}})");
        publish("network/ethernet/state", R"({"interface":"eth0","stateStr":"Connected"})");
        publish("blm/status", R"({"service":true,"device":{"barcode":{"active":true},
            "rfid":{"state":1,"active":true,"sams":[{"uid":"04A1B2C3","atr":"3B"}]}}})");
        publish("blm/info",
                R"({"device":{"rfid":{"firmware":"R-3"},"barcode":{"firmware":"B-7"}}})");
        QVERIFY(m_bench->sync());
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
        if (QStandardPaths::findExecutable("zbarimg").isEmpty())
            QSKIP("zbarimg is not installed (Debian package zbar-tools): cannot read QR codes");
        const QStringList fields = readQr(qr.mid(15), m_dir->path()).split(';');
        QCOMPARE(fields[0], m_deviceId);
        QVERIFY(QDateTime::fromString(fields.value(1), "yyyy-MM-dd hh:mm").isValid());
        QCOMPARE(
            fields.mid(2).join(';'),
            QStringLiteral("04A1B2C3;B-7;R-3;1.2.0;%1;;;OK;OK;MISSING;MISSING;OK;ERROR;MISSING;OK;"
                           "MISSING;OK;OK;ERROR;OK;OK;OK;OK;OK;OK;OK;OK;OK;OK;;OK")
                .arg(kvrt::ApplicationVersion));
    }
    void reportNotWritable()
    {
        m_diagnostics->setReportDirectory(path("no/such/dir"));
        QSignalSpy finished(m_diagnostics.get(), &Diagnostics::saveReportFinished);
        m_diagnostics->saveReport();
        QCOMPARE(finished.count(), 1);
        QVERIFY(!finished[0][0].toBool());
        QVERIFY(finished[0][1].toString().startsWith("Could not save Test Report\nERROR: "));
    }
    void qrCodeLimits()
    {
        MessageCapture log;
        // More than the largest symbol holds: the library's exception must not escape.
        QCOMPARE(
            QrCodeGenerator().generateSvgQr(QString(8000, 'z'), 1, qrcodegen::QrCode::Ecc::LOW),
            QString());
        QVERIFY(!log.messages(QtWarningMsg).isEmpty());
        if (QStandardPaths::findExecutable("zbarimg").isEmpty())
            QSKIP("zbarimg is not installed (Debian package zbar-tools): cannot read QR codes");
        const QString greek = QStringLiteral("Διαγνωστικός έλεγχος"); // as UTF-8
        const QString svg = QrCodeGenerator().generateSvgQr(greek, 1, qrcodegen::QrCode::Ecc::HIGH);
        QCOMPARE(readQr(svg, m_dir->path()), greek);
    }

private:
    // "path:vendor:product" makes a USB port directory with its attributes, a bare
    // "path" one without any, "sd" the SD card node.
    void plug(const QStringList& devices)
    {
        for (const QString& device : devices) {
            if (device == "sd") {
                QVERIFY(QFile(path("mmcblk1p1")).open(QIODevice::WriteOnly));
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
    void publish(const QString& topic, const QByteArray& json)
    {
        m_bench->service().publish("test/" + topic, json);
    }
    QString path(const QString& name) const { return m_dir->filePath(name); }

    TestBroker m_broker;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DeviceTestBench> m_bench;
    manager::Board* m_board = nullptr; // the bench's
    std::unique_ptr<manager::Network> m_network;
    std::unique_ptr<manager::KVRTTerminal> m_terminal;
    std::unique_ptr<Diagnostics> m_diagnostics;
    QString m_deviceId = "KVRT-GATE-0042-0123456789-ABCDEFGHIJKLMN"; // longer than a field
};

QTEST_MAIN(tst_Diagnostics)
#include "tst_diagnostics.moc"
