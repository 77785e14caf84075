#include "Diagnostics.h"

#include "Board.h"
#include "Ethernet.h"
#include "KVRTTerminal.h"
#include "Network.h"
#include "QrCodeGenerator.h"
#include "UpdateProperty.h"
#include "Version.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <utility>

namespace {

const QString Tag = QStringLiteral("[Diagnostics] ");
const QString Ok = QStringLiteral("OK");
const QString Error = QStringLiteral("ERROR");
const QString Missing = QStringLiteral("MISSING");
const QString NoSam = QStringLiteral("SAM not present");
const QString DashLine = QString(53, QLatin1Char('-'));
constexpr int ValueWidth = 35;
// Sysfs attributes are short; a longer file is not one.
constexpr qint64 MaxAttributeSize = 4096;

QString okIf(bool condition)
{
    return condition ? Ok : Error;
}

// One sysfs attribute as trimmed text; empty, with a critical message, when it
// cannot be read.
QString readAttribute(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qCritical().noquote().nospace() << Tag << "ERROR: Failed to open fle : " << path;
        return QString();
    }
    return QString::fromUtf8(file.read(MaxAttributeSize)).trimmed();
}

} // namespace

const QList<Diagnostics::UsbDevice> Diagnostics::m_usbDevices {
    {QStringLiteral("USB Hub #1"), QStringLiteral("0451:2077"), QStringLiteral("1-1"),
     &Diagnostics::m_usbHub, &Diagnostics::usbHubChanged},
    {QStringLiteral("mPCIE #1"), QStringLiteral("*"), QStringLiteral("1-1.2"),
     &Diagnostics::m_mPCIe1, &Diagnostics::mPCIe1Changed},
    {QStringLiteral("RFID"), QStringLiteral("0ab1:0007"), QStringLiteral("1-1.3"),
     &Diagnostics::m_rfidUsb, &Diagnostics::rfidUsbChanged},
    {QStringLiteral("USB Host"), QStringLiteral("*"), QStringLiteral("1-1.4"),
     &Diagnostics::m_usbHost, &Diagnostics::usbHostChanged},
    {QStringLiteral("FTDI"), QStringLiteral("0403:6015"), QStringLiteral("1-1.5"),
     &Diagnostics::m_ftdi, &Diagnostics::ftdiChanged},
    {QStringLiteral("Barcode"), QStringLiteral("05f9:4204"), QStringLiteral("1-1.6"),
     &Diagnostics::m_barcodeUsb, &Diagnostics::barcodeUsbChanged},
    {QStringLiteral("Touch"), QStringLiteral("222a:0001"), QStringLiteral("1-1.7"),
     &Diagnostics::m_touch, &Diagnostics::touchChanged},
};

Diagnostics::Diagnostics(const QString& deviceId, manager::Board& board, manager::Network& network,
                         manager::KVRTTerminal& kvrtTerminal, QObject* parent)
    : QObject(parent)
    , m_deviceId(deviceId)
    , m_board(board)
    , m_network(network)
    , m_kvrtTerminal(kvrtTerminal)
{
    using manager::Board;
    connect(&network, &manager::Network::ethernetChanged, this, &Diagnostics::ethernetChanged);
    // The network client never signals a new Ethernet client; the state lives in it.
    connect(network.ethernet(), &manager::Ethernet::stateChanged, this,
            &Diagnostics::ethernetChanged);
    connect(&board, &Board::ignitionChanged, this, &Diagnostics::ignitionChanged);
    connect(&board, &Board::temperatureChanged, this, &Diagnostics::temperatureChanged);
    connect(&board, &Board::voltageChanged, this, &Diagnostics::voltageChanged);
    connect(&board, &Board::statusChanged, this, &Diagnostics::boardServiceChanged);
    connect(&board, &Board::rtcFailedChanged, this, &Diagnostics::rtcChanged);
    ValidatorRfid* rfid = kvrtTerminal.rfid();
    connect(rfid, &ValidatorRfid::samChanged, this, &Diagnostics::samChanged);
    connect(rfid, &ValidatorRfid::activeChanged, this, &Diagnostics::rfidServiceChanged);
    // The SAM result also depends on the reader being active.
    connect(rfid, &ValidatorRfid::activeChanged, this, &Diagnostics::samChanged);
    connect(kvrtTerminal.barcode(), &ValidatorBarcode::activeChanged, this,
            &Diagnostics::barcodeServiceChanged);
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &Diagnostics::check);
}

QString Diagnostics::rtc() const
{
    return okIf(!m_board.rtcFailed());
}

QString Diagnostics::ethernet() const
{
    return okIf(m_network.ethernet()->state() == QLatin1String("Connected"));
}

QString Diagnostics::ignition() const
{
    return okIf(m_board.ignition());
}

QString Diagnostics::temperature() const
{
    const double celsius = m_board.temperature();
    return okIf(celsius > 15.0 && celsius < 70.0);
}

QString Diagnostics::voltage() const
{
    const double volts = m_board.voltage();
    return okIf(volts > 9.0 && volts < 40.0);
}

QString Diagnostics::sam() const
{
    const ValidatorRfid* rfid = m_kvrtTerminal.rfid();
    return okIf(rfid->active() && rfid->sam() && !rfid->sam()->atr().isEmpty());
}

QString Diagnostics::rfidService() const
{
    return okIf(m_kvrtTerminal.rfid()->active());
}

QString Diagnostics::barcodeService() const
{
    return okIf(m_kvrtTerminal.barcode()->active());
}

QString Diagnostics::boardService() const
{
    return okIf(m_board.status() == QLatin1String("online"));
}

void Diagnostics::setBuzzer(const QString& value)
{
    updateProperty(m_buzzer, value, this, &Diagnostics::buzzerChanged);
}

void Diagnostics::setLeds(const QString& value)
{
    updateProperty(m_leds, value, this, &Diagnostics::ledsChanged);
}

void Diagnostics::setSpeaker(const QString& value)
{
    updateProperty(m_speaker, value, this, &Diagnostics::speakerChanged);
}

void Diagnostics::setBarcodeScan(const QString& value)
{
    updateProperty(m_barcodeScan, value, this, &Diagnostics::barcodeScanChanged);
}

void Diagnostics::setCardScan(const QString& value)
{
    updateProperty(m_cardScan, value, this, &Diagnostics::cardScanChanged);
}

void Diagnostics::setLightSensor(const QString& value)
{
    updateProperty(m_lightSensor, value, this, &Diagnostics::lightSensorChanged);
}

void Diagnostics::setRgbTest(const QString& value)
{
    updateProperty(m_rgbTest, value, this, &Diagnostics::rgbTestChanged);
}

void Diagnostics::start(int intervalSec)
{
    qInfo().noquote().nospace()
        << Tag << QStringLiteral("Starting Diagnostic check (interval=%1 sec)").arg(intervalSec);
    if (intervalSec < 1) {
        // A zero interval would check on every turn of the event loop.
        qWarning().noquote().nospace()
            << Tag << "WARN: Invalid interval " << intervalSec << ", checking every second";
        intervalSec = 1;
    }
    check();
    m_timer.start(1000 * intervalSec);
}

void Diagnostics::stop()
{
    qInfo().noquote().nospace() << Tag << "Stopping Diagnostic check";
    m_timer.stop();
    endBoardTest();
}

void Diagnostics::startLedTest()
{
    endBoardTest();
    m_boardTest = BoardTest::Leds;
    m_board.setLedTestPattern();
}

void Diagnostics::startSensorTest()
{
    endBoardTest();
    m_boardTest = BoardTest::Sensor;
    m_board.monitor(SensorPollMsec);
}

void Diagnostics::endBoardTest()
{
    switch (std::exchange(m_boardTest, BoardTest::None)) {
    case BoardTest::Leds:
        m_board.setLedOff();
        break;
    case BoardTest::Sensor:
        m_board.monitor(0);
        break;
    case BoardTest::None:
        break;
    }
}

void Diagnostics::check()
{
    for (const UsbDevice& device : m_usbDevices)
        updateProperty(this->*device.result, testUsb(device), this, device.notify);
    updateProperty(m_sdCard, testSdCard(), this, &Diagnostics::sdCardChanged);
}

QString Diagnostics::testUsb(const UsbDevice& device) const
{
    const QString dir = QStringLiteral("%1/%2").arg(m_usbDeviceDirectory, device.path);
    if (!QDir(dir).exists())
        return Missing;
    const QString vendor = readAttribute(QStringLiteral("%1/idVendor").arg(dir));
    const QString product = readAttribute(QStringLiteral("%1/idProduct").arg(dir));
    const QString productText = readAttribute(QStringLiteral("%1/product").arg(dir));
    const QString deviceId = QStringLiteral("%1:%2").arg(vendor, product);
    qDebug().noquote().nospace() << Tag << "name=" << device.name << " deviceId=" << deviceId
                                 << " expected=" << device.id << " product=" << productText;
    return okIf(device.id == QLatin1String("*") || deviceId.contains(device.id));
}

QString Diagnostics::testSdCard() const
{
    return QFileInfo::exists(m_sdCardNode) ? Ok : Missing;
}

QString Diagnostics::samUid() const
{
    const SAM* sam = m_kvrtTerminal.rfid()->sam();
    return sam ? sam->uid() : NoSam;
}

QString Diagnostics::boardFirmware() const
{
    return m_board.info().value(QStringLiteral("firmware")).toString();
}

void Diagnostics::saveReport()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString null = QStringLiteral("<null>");
    const QPair<const char*, QString> header[] = {
        {" Device UID       %1", m_deviceId},
        {" Date             %1", now.toString(QStringLiteral("yyyy-MM-dd hh:mm"))},
        {" SAM              %1", samUid()},
        {" Barcode Firmware %1", m_kvrtTerminal.barcode()->firmware()},
        {" RFID Firmware    %1", m_kvrtTerminal.rfid()->firmware()},
        {" Board Firmware   %1", boardFirmware()},
        {" App Version      %1", QString::fromLatin1(kvrt::ApplicationVersion)},
        {" Bundle Version   %1", null},
        {" Image Version    %1", null},
    };
    const QPair<const char*, QString> results[] = {
        {" RTC              %1", rtc()},          {" Ethernet         %1", ethernet()},
        {" USB Hub          %1", m_usbHub},       {" USB Host         %1", m_usbHost},
        {" FTDI             %1", m_ftdi},         {" mPCIe #1         %1", m_mPCIe1},
        {" Touch            %1", m_touch},        {" SD Card          %1", m_sdCard},
        {" Ignition         %1", ignition()},     {" Temperature      %1", temperature()},
        {" Voltage          %1", voltage()},      {" RFID             %1", m_rfidUsb},
        {" Barcode          %1", m_barcodeUsb},   {" SAM              %1", sam()},
        {" Buzzer           %1", m_buzzer},       {" Front LEDs       %1", m_leds},
        {" Barcode Scan     %1", m_barcodeScan},  {" Card Scan        %1", m_cardScan},
        {" RFID Manager     %1", rfidService()},  {" Barcode Manager  %1", barcodeService()},
        {" Board Manager    %1", boardService()}, {" Light Sensor     %1", m_lightSensor},
        {" Display RGB Test %1", m_rgbTest},
    };

    QStringList lines {DashLine, QStringLiteral(" DEVICE TEST REPORT"), DashLine};
    for (const auto& line : header)
        lines << QString::fromLatin1(line.first).arg(line.second, ValueWidth);
    lines << DashLine;
    for (const auto& line : results)
        lines << QString::fromLatin1(line.first).arg(line.second, ValueWidth);
    lines << DashLine;
    const QString report = lines.join(QLatin1Char('\n'));

    const QString fileName = QStringLiteral("%1/%2_%3.txt")
                                 .arg(m_reportDirectory, QStringLiteral("TestReport"),
                                      now.toString(QStringLiteral("yyyyMMdd_hhmm")));
    qInfo().noquote().nospace() << Tag << '\n' << report;
    qInfo().noquote().nospace() << Tag << "Saving Diagnostics report to : " << fileName;

    // Written aside and renamed at the end: a failed write leaves no half report and
    // is reported as a failure, not as a saved file. The outcome is shown once known.
    // Its QR image is made there too (milliseconds of encoding), shown with the outcome.
    m_writer.write(fileName, report.toUtf8(),
                   [this, fileName, qr = qrText()](bool written, const QString& error) {
                       if (!written)
                           qCritical().noquote().nospace()
                               << Tag << "ERROR: Could not save file : " << error;
                       const QString image = written ? qrImage(qr, true) : QString();
                       const QString message = written
                           ? QStringLiteral("Test report saved successfully:\n") + fileName
                           : QStringLiteral("Could not save Test Report\nERROR: ") + error;
                       // Told on this object's thread; dropped with it.
                       QMetaObject::invokeMethod(
                           this,
                           [this, written, message, image] {
                               m_reportQrImage = image;
                               Q_EMIT saveReportFinished(written, message);
                           },
                           Qt::QueuedConnection);
                   });
}

QString Diagnostics::generateQr()
{
    return qrImage(qrText(), false);
}

QString Diagnostics::qrText() const
{
    const QStringList fields {
        m_deviceId,
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm")),
        samUid(),
        m_kvrtTerminal.barcode()->firmware(),
        m_kvrtTerminal.rfid()->firmware(),
        boardFirmware(),
        QString::fromLatin1(kvrt::ApplicationVersion),
        QString(),
        QString(),
        rtc(),
        ethernet(),
        m_usbHub,
        m_mPCIe1,
        m_rfidUsb,
        m_barcodeUsb,
        m_ftdi,
        m_usbHost,
        m_touch,
        m_sdCard,
        m_buzzer,
        m_leds,
        ignition(),
        temperature(),
        voltage(),
        sam(),
        m_speaker,
        m_barcodeScan,
        m_cardScan,
        rfidService(),
        barcodeService(),
        boardService(),
        m_lightSensor,
        m_rgbTest,
    };
    return fields.join(QLatin1Char(';'));
}

QString Diagnostics::qrImage(const QString& text, bool encoded)
{
    const QString svg = QrCodeGenerator().generateSvgQr(text, 1, qrcodegen::QrCode::Ecc::MEDIUM);
    if (svg.isEmpty())
        return QString();
    // Encoded for a URL, its colours ("#...") are not taken for a fragment.
    return QStringLiteral("data:image/svg,")
        + (encoded ? QString::fromLatin1(QUrl::toPercentEncoding(svg)) : svg);
}
