#pragma once

#include "MonitoredClient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace manager {

class MqttClient;

// Client of the board service: the terminal's main controller board (ignition,
// supply voltage, temperature, real-time clock, display backlight and ambient light
// sensor, audio muting, switchable peripheral power, signal LEDs, buzzer, delayed
// power-off).
//
// The last reported values are kept in the service's own JSON shape and read on
// demand. Commands are only published: a value changes when the service reports
// its new state, never on the command itself.
class Board : public MonitoredClient
{
    Q_OBJECT
    Q_PROPERTY(bool ignition READ ignition NOTIFY ignitionChanged)
    Q_PROPERTY(QString poleId READ poleId NOTIFY poleIdChanged)
    Q_PROPERTY(double temperature READ temperature NOTIFY temperatureChanged)
    Q_PROPERTY(double voltage READ voltage NOTIFY voltageChanged)
    Q_PROPERTY(int displayBrightness READ displayBrightness WRITE setDisplayBrightness NOTIFY
                   displayBrightnessChanged)
    Q_PROPERTY(QString displayBrightnessMode READ displayBrightnessMode WRITE
                   setDisplayBrightnessMode NOTIFY displayBrightnessModeChanged)
    Q_PROPERTY(int ambientLightSensor READ ambientLightSensor NOTIFY ambientLightSensorChanged)
    Q_PROPERTY(QVariantMap info READ info NOTIFY infoChanged)
    Q_PROPERTY(bool audioEnabled READ audioEnabled WRITE setAudioEnabled NOTIFY audioEnabledChanged)
    Q_PROPERTY(QList<QVariantMap> peripherals READ peripherals WRITE setPeripherals NOTIFY
                   peripheralsChanged)
    Q_PROPERTY(bool rtcFailed READ rtcFailed NOTIFY rtcFailedChanged)
    Q_PROPERTY(int delayShutdownFor READ delayShutdownFor WRITE setDelayShutdownFor NOTIFY
                   delayShutdownForChanged)

public:
    Board(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    bool ignition() const;
    // Whether the service has told the ignition's state: it was on, or an event switched it
    // off. ignition() reads false until then, and a first report of "off" is no change.
    bool ignitionReported() const { return m_device.contains(QLatin1String("ignition")); }
    QString poleId() const;
    double temperature() const;
    double voltage() const;
    int displayBrightness() const;
    QString displayBrightnessMode() const;
    int ambientLightSensor() const;
    QVariantMap info() const { return m_info; }
    bool audioEnabled() const;
    // One map {"item": key, "descr": description, "value": powered} per peripheral the
    // service reported, in key order.
    QList<QVariantMap> peripherals() const;
    bool rtcFailed() const;
    int delayShutdownFor() const { return m_delayShutdownFor; }
    // Whether the service has reported its configuration (the shutdown delay) yet.
    bool configReported() const { return m_configReported; }

    // "online", "offline" or "error"; empty until the first status report.
    const QString& status() const { return m_status; }
    int uptime() const;

    // Asks the board to delay its power-off; nothing is sent for the current value.
    void setDelayShutdownFor(int seconds);
    // Asks the service for its configuration; refresh() does not.
    void requestConfig();
    // Peripherals are switched one by one with setPeripheralPower(): this only logs.
    void setPeripherals(const QList<QVariantMap>& peripherals);

public Q_SLOTS:
    // Asks for the current status, display, power and audio state.
    void refresh() override;
    void setPeripheralPower(const QString& peripheral, bool value);
    void setLedValid();
    void setLedInvalid();
    void setLedTestPattern();
    void setLedOff();
    void setDisplayBrightness(int value);
    void setDisplayBrightnessMode(const QString& value);
    void setAudioEnabled(bool value);
    // Whether the peripheral was last reported powered (false when never reported).
    bool peripheralPower(const QString& peripheral) const;
    void playBuzzer(int onMsec, int offMsec, int repeat = 0);

Q_SIGNALS:
    void infoChanged();
    void statusChanged();
    void ignitionChanged();
    void poleIdChanged();
    void temperatureChanged();
    void voltageChanged();
    void uptimeChanged();
    void peripheralPowerChanged(const QString& peripheral, bool value);
    void audioEnabledChanged();
    void rtcFailedChanged();
    void displayBrightnessChanged();
    void displayBrightnessModeChanged();
    void ambientLightSensorChanged();
    void peripheralsChanged();
    void delayShutdownForChanged();

private:
    void onInfoReceived(const QJsonObject& json, const QString& topic);
    void onStatusReceived(const QJsonObject& json, const QString& topic);
    void onConfigReceived(const QJsonObject& json, const QString& topic);
    void onDisplayReceived(const QJsonObject& json, const QString& topic);
    void onPowerReceived(const QJsonObject& json, const QString& topic);
    void onAudioReceived(const QJsonObject& json, const QString& topic);
    void onEventReceived(const QJsonObject& json, const QString& topic);
    void setStatus(const QString& status);
    // Stores the value read from json[key] in store[key] when it is readable and
    // differs, logs it at debug level after the label, and notifies.
    template<typename T>
    bool updateStored(QJsonObject& store, const QJsonObject& json, const QString& key,
                      std::optional<T> (*read)(const QJsonObject&, const QString&, const QString&),
                      void (Board::*notify)(), const char* label);
    void playLeds(const char* name, int repeat, const QJsonArray& steps);

    QVariantMap m_info;
    QString m_status;
    QJsonObject m_device;
    QJsonObject m_display;
    QJsonObject m_power;
    QVariantMap m_audio;
    int m_delayShutdownFor = 0;
    bool m_configReported = false;
};

} // namespace manager
