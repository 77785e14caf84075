#include "Barcode.h"

#include "JsonField.h"
#include "UpdateProperty.h"

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
    readInfo(json, m_info);
}

void BarcodeManager::onStatusReceived(const QJsonObject& json)
{
    // A report whose state cannot be read changes nothing.
    QJsonObject device;
    const auto state = JsonField::deviceState(json, device, logTag());
    if (!state)
        return;
    if (*state != JsonField::Active) {
        setStatus(*state);
        return;
    }
    if (const auto enabled = JsonField::boolean(device, QStringLiteral("enabled"), logTag()))
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
    updateProperty(m_status, status, this, &BarcodeManager::statusChanged, QtWarningMsg, logTag(),
                   "Barcode status is : ");
}

} // namespace manager
