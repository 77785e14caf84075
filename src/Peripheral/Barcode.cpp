#include "Barcode.h"

#include "JsonField.h"

#include <QDebug>

#include <optional>

namespace manager {

BarcodeManager::BarcodeManager(MqttClient& mqtt, const QString& base, QObject* parent)
    : SwitchableClient(mqtt, base, parent)
{
    handle(QStringLiteral("/info"),
           [this](const QJsonObject& json, const QString&) { onInfoReceived(json); });
    handle(QStringLiteral("/status"),
           [this](const QJsonObject& json, const QString&) { onStatusReceived(json); });
    handle(QStringLiteral("/barcode"),
           [this](const QJsonObject& json, const QString&) { onBarcodeReceived(json); });
}

void BarcodeManager::onInfoReceived(const QJsonObject& json)
{
    const auto assign
        = [this](QString& field, const std::optional<QJsonObject>& from, const QString& key) {
              if (!from)
                  return;
              if (const auto value = JsonField::text(*from, key, logTag()))
                  field = *value;
          };
    const auto device = JsonField::object(json, QStringLiteral("device"), logTag());
    const auto service = JsonField::object(json, QStringLiteral("service"), logTag());
    assign(m_info.firmware, device, QStringLiteral("firmware"));
    assign(m_info.manufacturer, device, QStringLiteral("manufacturer"));
    assign(m_info.model, device, QStringLiteral("model"));
    assign(m_info.type, service, QStringLiteral("type"));
    assign(m_info.version, service, QStringLiteral("version"));
}

void BarcodeManager::onStatusReceived(const QJsonObject& json)
{
    // A report whose state cannot be read changes nothing.
    const auto service = JsonField::boolean(json, QStringLiteral("service"), logTag());
    if (!service)
        return;
    if (!*service) {
        setStatus(QStringLiteral("offline"));
        return;
    }
    const auto device = JsonField::object(json, QStringLiteral("device"), logTag());
    if (!device)
        return;
    const auto active = JsonField::boolean(*device, QStringLiteral("active"), logTag());
    if (!active)
        return;
    if (!*active) {
        setStatus(QStringLiteral("error"));
        return;
    }
    const auto enabled = JsonField::boolean(*device, QStringLiteral("enabled"), logTag());
    if (!enabled)
        return;
    setStatus(*enabled ? QStringLiteral("enabled") : QStringLiteral("disabled"));
}

void BarcodeManager::onBarcodeReceived(const QJsonObject& json)
{
    // Every scan is announced, also one without text: the scanner did read something.
    const auto data = JsonField::text(json, QStringLiteral("data"), logTag());
    Q_EMIT barcodeScanned(data.value_or(QString()));
}

void BarcodeManager::setStatus(const QString& status)
{
    if (status == m_status)
        return;
    qWarning().noquote().nospace() << logTag() << "Barcode status is : " << status;
    m_status = status;
    Q_EMIT statusChanged(status);
}

} // namespace manager
