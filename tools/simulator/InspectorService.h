#pragma once

#include "SimulatedService.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QStringList>

// Stand-in for the system inspector service: the system's software version and
// statistics, the sound card "internal" (volume, playing sound files) and reboot and
// power-off of the device.
//
// Retained state: "/info" {"service": {"version"}}, "/status" {"service", "device":
// {"active", "hostname"}}, "/audio" {"internal": {"volume"}} (published again on
// "/audio/get", set by "/audio/set" with the same object). Statistics, each published
// on its "/get": "/stats/cpu" {"cores", "usage", "load"}, "/stats/memory" {"total",
// "used", "free"} in kB, "/stats/disk" {"disks": [{"mount", "total", "used"}]} in kB.
// Commands: "/audio/play" {"device": "internal", "filepath"}. Requests:
// "/power/reboot", "/power/shutdown" (the simulated device stays up).
class InspectorService : public SimulatedService
{
    Q_OBJECT
    Q_PROPERTY(int volume READ volume NOTIFY volumeChanged)

public:
    explicit InspectorService(const QString& baseTopic = QStringLiteral("ovant/inspector"),
                              QObject* parent = nullptr);

    int volume() const { return m_volume; }
    // Every sound file played so far, oldest first (the last 100).
    const QStringList& playedFiles() const { return m_played; }
    int rebootRequests() const { return m_reboots; }
    int shutdownRequests() const { return m_shutdowns; }

Q_SIGNALS:
    void volumeChanged();
    void soundPlayed(const QString& file);
    void powerRequested(const QString& what);

protected:
    QJsonObject deviceStatus() const override;
    void handlePublication(const QString& suffix, const QJsonObject& json,
                           bool payloadValid) override;

private:
    QJsonObject audio() const;
    QJsonObject statistics(const QString& which) const;
    void setAudio(const QJsonObject& json);
    void play(const QJsonObject& json);

    int m_volume = 70;
    QStringList m_played;
    int m_reboots = 0;
    int m_shutdowns = 0;
    QElapsedTimer m_clock;
};
