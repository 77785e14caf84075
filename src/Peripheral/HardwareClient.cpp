#include "HardwareClient.h"

#include "UpdateProperty.h"

#include <QJsonValue>

namespace manager {

void HardwareClient::readInfo(const QJsonObject& json)
{
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    const auto text
        = [&device](const char* key) { return device.value(QLatin1String(key)).toString(); };
    updateProperty(m_firmware, text("firmware"), this, &HardwareClient::firmwareChanged);
    updateProperty(m_manufacturer, text("manufacturer"), this,
                   &HardwareClient::manufacturerChanged);
    updateProperty(m_model, text("model"), this, &HardwareClient::modelChanged);
    updateProperty(m_software,
                   json.value(QStringLiteral("service"))
                       .toObject()
                       .value(QStringLiteral("version"))
                       .toString(),
                   this, &HardwareClient::softwareChanged);
}

} // namespace manager
