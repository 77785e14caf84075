#include "ValidatorBarcode.h"

#include "UpdateProperty.h"

ValidatorBarcode::ValidatorBarcode(QObject* parent)
    : QObject(parent)
{ }

ValidatorBarcode::~ValidatorBarcode() = default;

ValidatorBarcode& ValidatorBarcode::fromJson(const QJsonObject& json)
{
    const QString active = QStringLiteral("active");
    const QString enabled = QStringLiteral("enabled");
    const QString firmware = QStringLiteral("firmware");
    const QString manufacturer = QStringLiteral("manufacturer");
    const QString model = QStringLiteral("model");

    if (json.contains(active))
        setActive(json.value(active).toBool());
    if (json.contains(enabled))
        setEnabled(json.value(enabled).toBool());
    if (json.contains(firmware))
        setFirmware(json.value(firmware).toString());
    if (json.contains(manufacturer))
        setManufacturer(json.value(manufacturer).toString());
    if (json.contains(model))
        setModel(json.value(model).toString());
    return *this;
}

void ValidatorBarcode::setActive(bool active)
{
    updateProperty(m_active, active, this, &ValidatorBarcode::activeChanged);
}

void ValidatorBarcode::setEnabled(bool enabled)
{
    updateProperty(m_enabled, enabled, this, &ValidatorBarcode::enabledChanged);
}

void ValidatorBarcode::setFirmware(const QString& firmware)
{
    updateProperty(m_firmware, firmware, this, &ValidatorBarcode::firmwareChanged);
}

void ValidatorBarcode::setManufacturer(const QString& manufacturer)
{
    updateProperty(m_manufacturer, manufacturer, this, &ValidatorBarcode::manufacturerChanged);
}

void ValidatorBarcode::setModel(const QString& model)
{
    updateProperty(m_model, model, this, &ValidatorBarcode::modelChanged);
}
