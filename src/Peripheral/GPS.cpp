#include "GPS.h"

#include "JsonField.h"
#include "TaggedLog.h"

#include <cmath>
#include <optional>

namespace manager {

namespace {

template<typename T>
void assign(T& field, const std::optional<T>& value)
{
    if (value)
        field = *value;
}

} // namespace

GPSManager::GPSManager(MqttClient& mqtt, const QString& base, QObject* parent)
    : SwitchableClient(mqtt, base, parent)
{
    qRegisterMetaType<Info>();
    qRegisterMetaType<Status>();
    qRegisterMetaType<Telemetry>();
    handle(QStringLiteral("/info"),
           [this](const QJsonObject& json, const QString&) { onInfoReceived(json); });
    handle(QStringLiteral("/status"),
           [this](const QJsonObject& json, const QString&) { onStatusReceived(json); });
    handle(QStringLiteral("/data"),
           [this](const QJsonObject& json, const QString&) { onTelemetryReceived(json); });
}

void GPSManager::onInfoReceived(const QJsonObject& json)
{
    const QString& tag = logTag();
    if (const auto device = readInfo(json, m_info)) {
        assign(m_info.imei, JsonField::text(*device, QStringLiteral("imei"), tag));
        assign(m_info.assisted, JsonField::boolean(*device, QStringLiteral("assisted"), tag));
    }
    Q_EMIT infoChanged(m_info);
}

void GPSManager::onStatusReceived(const QJsonObject& json)
{
    const QString& tag = logTag();
    // A report whose service state cannot be read changes nothing.
    const auto service = JsonField::boolean(json, QStringLiteral("service"), tag);
    if (!service)
        return;
    if (!*service) {
        m_status.fix = 0;
        m_status.state = -1;
        m_status.error = QStringLiteral("Manager is offline");
        m_status.simulation = false;
        Q_EMIT statusChanged(m_status);
        return;
    }
    if (const auto device = JsonField::object(json, QStringLiteral("device"), tag)) {
        assign(m_status.fix, JsonField::integer(*device, QStringLiteral("fix"), tag));
        assign(m_status.state, JsonField::integer(*device, QStringLiteral("state"), tag));
        // Null: no error.
        assign(m_status.error, JsonField::text(*device, QStringLiteral("error"), tag));
    }
    assign(m_status.simulation, JsonField::boolean(json, QStringLiteral("simulation"), tag));
    Q_EMIT statusChanged(m_status);
}

void GPSManager::onTelemetryReceived(const QJsonObject& json)
{
    const struct
    {
        const char* key;
        double Telemetry::*field;
    } fields[] = {
        {"latitude", &Telemetry::latitude},
        {"longitude", &Telemetry::longitude},
        {"altitude", &Telemetry::altitude},
        {"direction", &Telemetry::direction},
        {"groundSpeed", &Telemetry::groundSpeed},
        {"magneticVariation", &Telemetry::magneticVariation},
        {"verticalSpeed", &Telemetry::verticalSpeed},
        {"verticalAccuracy", &Telemetry::verticalAccuracy},
        {"horizontalAccuracy", &Telemetry::horizontalAccuracy},
    };
    for (const auto& field : fields) {
        const QString key = QLatin1String(field.key);
        const QJsonValue value = json.value(key);
        // Missing or null: the receiver has no new value; keep the last one.
        if (value.isUndefined() || value.isNull())
            continue;
        // The service sends numbers as texts; a plain JSON number is taken as well.
        // Anything else is no reading: a made-up 0 would be a wrong position.
        bool ok = value.isDouble();
        double number = value.toDouble();
        if (value.isString())
            number = value.toString().toDouble(&ok);
        if (!ok || !std::isfinite(number)) {
            tagged(qWarning(), logTag()) << "Ignoring telemetry '" << key << "': not a number ("
                                         << JsonField::typeName(value) << ")";
            continue;
        }
        m_telemetry.*field.field = number;
    }
    m_telemetry.timestamp = QDateTime::currentDateTimeUtc();
    Q_EMIT telemetryChanged(m_telemetry);
}

} // namespace manager
