#include "SwitchableClient.h"

#include "JsonField.h"
#include "TaggedLog.h"

#include <QDebug>

namespace manager {

SwitchableClient::SwitchableClient(MqttClient& mqtt, const QString& base, QObject* parent)
    : DeviceClient(mqtt, base, QString(), parent)
{
    setEmptyPayload(EmptyPayload::AsParseError);
    subscribeTo(QStringLiteral("/#"), 0);
}

bool SwitchableClient::enable()
{
    return publishEmpty(QStringLiteral("/enable"));
}

bool SwitchableClient::disable()
{
    return publishEmpty(QStringLiteral("/disable"));
}

void SwitchableClient::handle(const QString& suffix, Handler handler)
{
    m_handled.insert(topic(suffix));
    route(suffix, std::move(handler));
}

std::optional<QJsonObject> SwitchableClient::readInfo(const QJsonObject& json, Info& info) const
{
    const auto assign
        = [this](QString& field, const std::optional<QJsonObject>& from, const char* key) {
              if (!from)
                  return;
              if (const auto value = JsonField::text(*from, QLatin1String(key), logTag()))
                  field = *value;
          };
    const auto device = JsonField::object(json, QStringLiteral("device"), logTag());
    const auto service = JsonField::object(json, QStringLiteral("service"), logTag());
    assign(info.firmware, device, "firmware");
    assign(info.manufacturer, device, "manufacturer");
    assign(info.model, device, "model");
    assign(info.type, service, "type");
    assign(info.version, service, "version");
    return device;
}

void SwitchableClient::handleMessage(const QByteArray& payload, const QString& topic)
{
    if (!m_handled.contains(topic))
        return;
    DeviceClient::handleMessage(payload, topic);
}

void SwitchableClient::parseFailed(const QByteArray& payload, const QString&,
                                   const QJsonParseError&)
{
    tagged(qCritical(), logTag()) << "Failed to parse JSON message: " << payloadForLog(payload);
}

} // namespace manager
