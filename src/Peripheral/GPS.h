#pragma once

#include "SwitchableClient.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

namespace manager {

class MqttClient;

// Client of a GPS receiver service: keeps the receiver's identification, its fix
// and state, and the latest position and motion, and announces each as a whole
// record. The receiver is switched on and off with enable() and disable().
class GPSManager : public SwitchableClient
{
    Q_OBJECT

public:
    struct Info : SwitchableClient::Info
    {
        QString imei;
        bool assisted = false;
    };

    struct Status
    {
        int fix = 0;
        // -1 while the service is offline.
        int state = 0;
        bool simulation = false;
        // "Manager is offline" while the service is offline.
        QString error;
    };

    struct Telemetry
    {
        double latitude = 0.0;
        double longitude = 0.0;
        double altitude = 0.0;
        double direction = 0.0;
        double groundSpeed = 0.0;
        double verticalSpeed = 0.0;
        double verticalAccuracy = 0.0;
        double horizontalAccuracy = 0.0;
        double magneticVariation = 0.0;
        // Arrival time (UTC) of the last data message; invalid before the first.
        QDateTime timestamp;
    };

    GPSManager(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    const Info& info() const { return m_info; }
    const Status& status() const { return m_status; }
    const Telemetry& telemetry() const { return m_telemetry; }

Q_SIGNALS:
    void infoChanged(const manager::GPSManager::Info& info);
    void statusChanged(const manager::GPSManager::Status& status);
    void telemetryChanged(const manager::GPSManager::Telemetry& data);

private:
    void onInfoReceived(const QJsonObject& json);
    void onStatusReceived(const QJsonObject& json);
    void onTelemetryReceived(const QJsonObject& json);

    Info m_info;
    Status m_status;
    Telemetry m_telemetry;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::GPSManager::Info)
Q_DECLARE_METATYPE(manager::GPSManager::Status)
Q_DECLARE_METATYPE(manager::GPSManager::Telemetry)
