#pragma once

#include "MonitoredClient.h"

#include <QString>
#include <QTimer>
#include <QVariantMap>

namespace manager {

class MqttClient;

// Client of the system inspector service: software version, service status,
// the volume of the "internal" sound card, playing sound files, and reboot and
// power-off. Reboot and power-off are announced two seconds before they are
// requested so that the user interface can show its busy screen first; a
// power-off can also be scheduled and aborted (ignition off and on again).
class Inspector : public MonitoredClient
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap info READ info NOTIFY infoChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap memory READ memory NOTIFY memoryChanged)
    Q_PROPERTY(QVariantMap cpu READ cpu NOTIFY cpuChanged)
    Q_PROPERTY(QVariantMap disks READ disks NOTIFY disksChanged)
    Q_PROPERTY(int audioVolume READ audioVolume WRITE setAudioVolume NOTIFY audioVolumeChanged)

public:
    // Delay between announcing a reboot or power-off and requesting it.
    static constexpr int PowerRequestDelayMsec = 2000;

    Inspector(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    QVariantMap info() const { return m_info; }
    QString status() const { return m_status; }
    QVariantMap memory() const { return m_memory; }
    QVariantMap cpu() const { return m_cpu; }
    QVariantMap disks() const { return m_disks; }
    int audioVolume() const;

    // True while a scheduled power-off is counting down.
    bool isShutdownScheduled() const { return m_shutdownTimer.isActive(); }

public Q_SLOTS:
    void refresh() override;
    void setAudioVolume(int value);
    void audioPlay(const QString& file);
    void systemReboot();
    void systemShutdown();
    void scheduleShutdown(int sec);
    void abortShutdown();

Q_SIGNALS:
    void infoChanged();
    void statusChanged();
    void memoryChanged();
    void cpuChanged();
    void disksChanged();
    void audioVolumeChanged();
    void systemRebootStarted();
    void systemShutdownStarted();
    // Emitted just before a reboot or shutdown request goes out: the last moment to
    // finish what must outlive the power.
    void powerRequestDue();

private:
    void onInfoReceived(const QJsonObject& json, const QString& topic);
    void onStatusReceived(const QJsonObject& json, const QString& topic);
    void onAudioReceived(const QJsonObject& json, const QString& topic);
    void setStatus(const QString& status);

    QVariantMap m_info;
    QString m_status;
    QVariantMap m_memory;
    QVariantMap m_cpu;
    QVariantMap m_disks;
    QVariantMap m_audio;
    QTimer m_shutdownTimer;
};

} // namespace manager
