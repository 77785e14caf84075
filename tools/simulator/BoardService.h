#pragma once

#include "SimulatedService.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>

// Stand-in for the board service of the terminal's main controller board: ignition
// input, supply voltage, temperature, real-time clock, display backlight and ambient
// light sensor, audio muting, switchable power of the peripherals, LEDs and buzzer.
//
// Retained state: "/info" {"device": {"firmwareVersion", "hardwareId",
// "hardwareVersion"}, "service": {"version"}}, "/status" {"service", "device":
// {"active", "ignition", "poleId", "temperature", "voltage", "uptime",
// "hardwareStatus": {"rtcFailed"}}}, "/config" {"device": {"delayShutdownFor"}},
// "/display" {"brightness", "sensor", "mode"}, "/power" {peripheral: bool, ...},
// "/audio" {"mute"}; each is published again on its "/get", and changed by its
// "/set" (the same object, or part of it). Events: "/event" {"name":
// "IgnitionChanged", "data": 1 or 0}. Requests: "/led/play" {"repeat", "steps":
// [{"color": {"r", "g", "b"}, "duration"}]}, "/led/off", "/buzzer/play" {"onMsec",
// "offMsec", "repeat"}.
class BoardService : public SimulatedService
{
    Q_OBJECT
    Q_PROPERTY(bool ignition READ ignition WRITE setIgnition NOTIFY deviceChanged)
    Q_PROPERTY(double temperature READ temperature WRITE setTemperature NOTIFY deviceChanged)
    Q_PROPERTY(double voltage READ voltage WRITE setVoltage NOTIFY deviceChanged)
    Q_PROPERTY(bool rtcFailed READ rtcFailed WRITE setRtcFailed NOTIFY deviceChanged)

public:
    enum ErrorCode {
        BadPattern = 10,
        BadBuzzer = 11,
    };

    // The switchable peripherals, in the service's key names.
    static QStringList peripheralKeys();

    explicit BoardService(const QString& baseTopic = QStringLiteral("ovant/board"),
                          QObject* parent = nullptr);

    bool ignition() const { return m_ignition; }
    // Also announces the change as an "IgnitionChanged" event.
    void setIgnition(bool on);
    double temperature() const { return m_temperature; }
    void setTemperature(double celsius);
    double voltage() const { return m_voltage; }
    void setVoltage(double volts);
    bool rtcFailed() const { return m_rtcFailed; }
    void setRtcFailed(bool failed);

    int delayShutdownFor() const { return m_delayShutdownFor; }
    int brightness() const { return m_brightness; }
    int ambientLight() const { return m_sensor; }
    // The light sensor sees a new value; in "auto" mode the backlight follows it.
    void setAmbientLight(int percent);
    const QString& brightnessMode() const { return m_mode; }
    bool peripheralPower(const QString& key) const { return m_power.value(key).toBool(); }
    bool muted() const { return m_mute; }

    // The LED pattern now playing (empty when the LEDs are off) and the last buzzer request.
    const QJsonObject& ledPattern() const { return m_ledPattern; }
    const QJsonObject& lastBuzzer() const { return m_buzzer; }

    // Publishes the configuration, display, power and audio topics now.
    void publishSettings();

Q_SIGNALS:
    void settingsChanged();
    void ledsChanged();
    void buzzerPlayed(int onMsec, int offMsec, int repeat);

protected:
    QJsonObject deviceStatus() const override;
    void handlePublication(const QString& suffix, const QJsonObject& json,
                           bool payloadValid) override;

private:
    QJsonObject config() const;
    QJsonObject display() const;
    QJsonObject audio() const;
    void setConfig(const QJsonObject& json);
    void setDisplay(const QJsonObject& json);
    void setPower(const QJsonObject& json);
    void setAudio(const QJsonObject& json);
    QJsonObject playLeds(const QJsonObject& params);
    QJsonObject playBuzzer(const QJsonObject& params);

    bool m_ignition = true;
    double m_temperature = 38.5;
    double m_voltage = 24.2;
    bool m_rtcFailed = false;
    QElapsedTimer m_uptime;
    int m_delayShutdownFor = 60;
    int m_brightness = 80;
    int m_sensor = 62;
    QString m_mode = QStringLiteral("auto");
    QJsonObject m_power;
    bool m_mute = false;
    QJsonObject m_ledPattern;
    QJsonObject m_buzzer;
};
