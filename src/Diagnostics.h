#pragma once

#include "FileWriter.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

namespace manager {
class Board;
class KVRTTerminal;
class Network;
} // namespace manager

// The device self-test behind the maintenance area's diagnostics screen. It checks
// the USB devices on their fixed ports and the SD card on a timer, derives the other
// results from the board, network and terminal clients, keeps the operator's answers
// to the manual tests, and writes everything to a fixed-layout report file and to a
// QR code. Every result is "OK", "ERROR" or "MISSING" (absent hardware).
class Diagnostics : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString rtc READ rtc NOTIFY rtcChanged)
    Q_PROPERTY(QString ethernet READ ethernet NOTIFY ethernetChanged)
    Q_PROPERTY(QString usbHub READ usbHub NOTIFY usbHubChanged)
    Q_PROPERTY(QString mPCIe1 READ mPCIe1 NOTIFY mPCIe1Changed)
    Q_PROPERTY(QString rfidUsb READ rfidUsb NOTIFY rfidUsbChanged)
    Q_PROPERTY(QString barcodeUsb READ barcodeUsb NOTIFY barcodeUsbChanged)
    Q_PROPERTY(QString ftdi READ ftdi NOTIFY ftdiChanged)
    Q_PROPERTY(QString usbHost READ usbHost NOTIFY usbHostChanged)
    Q_PROPERTY(QString touch READ touch NOTIFY touchChanged)
    Q_PROPERTY(QString sdCard READ sdCard NOTIFY sdCardChanged)
    Q_PROPERTY(QString buzzer READ buzzer WRITE setBuzzer NOTIFY buzzerChanged)
    Q_PROPERTY(QString leds READ leds WRITE setLeds NOTIFY ledsChanged)
    Q_PROPERTY(QString ignition READ ignition NOTIFY ignitionChanged)
    Q_PROPERTY(QString temperature READ temperature NOTIFY temperatureChanged)
    Q_PROPERTY(QString voltage READ voltage NOTIFY voltageChanged)
    Q_PROPERTY(QString sam READ sam NOTIFY samChanged)
    Q_PROPERTY(QString speaker READ speaker WRITE setSpeaker NOTIFY speakerChanged)
    Q_PROPERTY(QString barcodeScan READ barcodeScan WRITE setBarcodeScan NOTIFY barcodeScanChanged)
    Q_PROPERTY(QString cardScan READ cardScan WRITE setCardScan NOTIFY cardScanChanged)
    Q_PROPERTY(QString rfidService READ rfidService NOTIFY rfidServiceChanged)
    Q_PROPERTY(QString barcodeService READ barcodeService NOTIFY barcodeServiceChanged)
    Q_PROPERTY(QString boardService READ boardService NOTIFY boardServiceChanged)
    Q_PROPERTY(QString lightSensor READ lightSensor WRITE setLightSensor NOTIFY lightSensorChanged)
    Q_PROPERTY(QString rgbTest READ rgbTest WRITE setRgbTest NOTIFY rgbTestChanged)
    // The last saved report's results as a QR image (an encoded data URL), made with the
    // report off the screen's thread; empty if none could be made.
    Q_PROPERTY(QString reportQrImage READ reportQrImage NOTIFY saveReportFinished)

public:
    // An expected USB device: its vendor and product id ("0451:2077", or "*" for any
    // device) on a port path under the USB device directory.
    struct UsbDevice
    {
        QString name;
        QString id;
        QString path;
        QString Diagnostics::*result;
        void (Diagnostics::*notify)();
    };
    static const QList<UsbDevice> m_usbDevices;

    // deviceId is read at each report: it follows the owner's string.
    Diagnostics(const QString& deviceId, manager::Board& board, manager::Network& network,
                manager::KVRTTerminal& kvrtTerminal, QObject* parent = nullptr);

    // Where the hardware is looked for; the system's places by default.
    void setUsbDeviceDirectory(const QString& dir) { m_usbDeviceDirectory = dir; }
    void setSdCardNode(const QString& path) { m_sdCardNode = path; }
    // Where reports are written; the working directory by default.
    void setReportDirectory(const QString& dir) { m_reportDirectory = dir; }
    // Blocks until the reports asked for are written, or could not be (at most `msecs`,
    // -1: no limit), and their outcomes are out. Whether they all are.
    bool waitForWritten(int msecs = -1) { return m_writer.waitForWritten(msecs); }

    QString rtc() const;
    QString ethernet() const;
    const QString& usbHub() const { return m_usbHub; }
    const QString& mPCIe1() const { return m_mPCIe1; }
    const QString& rfidUsb() const { return m_rfidUsb; }
    const QString& barcodeUsb() const { return m_barcodeUsb; }
    const QString& ftdi() const { return m_ftdi; }
    const QString& usbHost() const { return m_usbHost; }
    const QString& touch() const { return m_touch; }
    const QString& sdCard() const { return m_sdCard; }
    const QString& buzzer() const { return m_buzzer; }
    const QString& leds() const { return m_leds; }
    QString ignition() const;
    QString temperature() const;
    QString voltage() const;
    QString sam() const;
    const QString& speaker() const { return m_speaker; }
    const QString& barcodeScan() const { return m_barcodeScan; }
    const QString& cardScan() const { return m_cardScan; }
    QString rfidService() const;
    QString barcodeService() const;
    QString boardService() const;
    const QString& lightSensor() const { return m_lightSensor; }
    const QString& rgbTest() const { return m_rgbTest; }
    const QString& reportQrImage() const { return m_reportQrImage; }

    void setBuzzer(const QString& value);
    void setLeds(const QString& value);
    void setSpeaker(const QString& value);
    void setBarcodeScan(const QString& value);
    void setCardScan(const QString& value);
    void setLightSensor(const QString& value);
    void setRgbTest(const QString& value);

    // How often the board is asked for its light sensor's reading during that test.
    static constexpr int SensorPollMsec = 2000;

    Q_INVOKABLE void start(int intervalSec = 1);
    // Also ends a board test still running: the page stops the self-test when it goes.
    Q_INVOKABLE void stop();
    // The manual tests that keep the board busy while their question is open: the LEDs'
    // test pattern, and polling the board for the light sensor's reading. One runs at a
    // time; the board is left as it was when it ends.
    Q_INVOKABLE void startLedTest();
    Q_INVOKABLE void startSensorTest();
    Q_INVOKABLE void endBoardTest();
    Q_INVOKABLE void saveReport();
    // The results as a QR code, "data:image/svg," and the SVG text; empty if none
    // could be made.
    Q_INVOKABLE QString generateQr();

public Q_SLOTS:
    // Checks the USB devices and the SD card; results that change are signalled.
    void check();

Q_SIGNALS:
    void rtcChanged();
    void ethernetChanged();
    void usbHubChanged();
    void mPCIe1Changed();
    void rfidUsbChanged();
    void barcodeUsbChanged();
    void ftdiChanged();
    void usbHostChanged();
    void touchChanged();
    void sdCardChanged();
    void buzzerChanged();
    void ledsChanged();
    void ignitionChanged();
    void temperatureChanged();
    void voltageChanged();
    void samChanged();
    void speakerChanged();
    void barcodeScanChanged();
    void cardScanChanged();
    void rfidServiceChanged();
    void barcodeServiceChanged();
    void boardServiceChanged();
    void lightSensorChanged();
    void rgbTestChanged();
    void saveReportFinished(bool result, const QString& message);

private:
    enum class BoardTest { None, Leds, Sensor };

    // What the QR code carries: the report's results on one line.
    QString qrText() const;
    // "data:image/svg," and the QR code's SVG text, as it stands or encoded for a URL.
    static QString qrImage(const QString& text, bool encoded);
    QString testUsb(const UsbDevice& device) const;
    QString testSdCard() const;
    QString samUid() const;
    QString boardFirmware() const;

    QString m_usbHub;
    QString m_mPCIe1;
    QString m_rfidUsb;
    QString m_barcodeUsb;
    QString m_ftdi;
    QString m_usbHost;
    QString m_touch;
    QString m_sdCard;
    QString m_buzzer;
    QString m_leds;
    QString m_speaker;
    QString m_barcodeScan;
    QString m_cardScan;
    QString m_lightSensor;
    QString m_rgbTest;
    QString m_reportQrImage;
    QTimer m_timer;
    const QString& m_deviceId;
    manager::Board& m_board;
    manager::Network& m_network;
    manager::KVRTTerminal& m_kvrtTerminal;
    QString m_usbDeviceDirectory = QStringLiteral("/sys/bus/usb/devices");
    QString m_sdCardNode = QStringLiteral("/dev/mmcblk1p1");
    QString m_reportDirectory = QStringLiteral(".");
    BoardTest m_boardTest = BoardTest::None;
    // Reports go to the disk (a USB stick, as often as not) off the screen's thread.
    FileWriter m_writer;
};
