#include "ValidatorRfid.h"

#include "UpdateProperty.h"

#include <QHash>
#include <QJsonArray>

ValidatorRfid::ValidatorRfid(QObject* parent)
    : QObject(parent)
{ }

ValidatorRfid::~ValidatorRfid() = default;

QString ValidatorRfid::stateToStr(int state)
{
    static const QHash<int, QString> names {
        {0, QStringLiteral("Init")},      {1, QStringLiteral("Idle")},
        {2, QStringLiteral("Searching")}, {3, QStringLiteral("CardFound")},
        {4, QStringLiteral("Updating")},  {5, QStringLiteral("Error")},
    };
    return names.value(state, QStringLiteral("Unknown"));
}

ValidatorRfid& ValidatorRfid::fromJson(const QJsonObject& json)
{
    if (json.contains(QStringLiteral("firmware"))) {
        setFirmware(json.value(QStringLiteral("firmware")).toString());
        setModel(json.value(QStringLiteral("model")).toString());
        setManufacturer(json.value(QStringLiteral("manufacturer")).toString());
        setDeviceUid(json.value(QStringLiteral("uid")).toString());
    }

    if (json.contains(QStringLiteral("state"))) {
        setActive(json.value(QStringLiteral("active")).toBool());
        setError(json.value(QStringLiteral("error")).toString());
        // A state that is not a whole number is no state the reader knows.
        setState(stateToStr(json.value(QStringLiteral("state")).toInt(-1)));

        QVector<bool> cardSlots;
        const QJsonArray slotArray = json.value(QStringLiteral("slots")).toArray();
        cardSlots.reserve(slotArray.size());
        for (const QJsonValue& slot : slotArray)
            cardSlots.append(slot.toBool());
        setSlots(cardSlots);

        setSams(json.value(QStringLiteral("sams")).toArray());
    }
    return *this;
}

bool ValidatorRfid::enabled() const
{
    return m_state == QLatin1String("Searching") || m_state == QLatin1String("CardFound");
}

SAM* ValidatorRfid::sam() const
{
    return m_sams.isEmpty() ? nullptr : m_sams.constFirst();
}

void ValidatorRfid::setActive(bool active)
{
    updateProperty(m_active, active, this, &ValidatorRfid::activeChanged);
}

void ValidatorRfid::setError(const QString& error)
{
    updateProperty(m_error, error, this, &ValidatorRfid::errorChanged);
}

void ValidatorRfid::setState(const QString& state)
{
    const bool wasEnabled = enabled();
    if (updateProperty(m_state, state, this, &ValidatorRfid::stateChanged)
        && enabled() != wasEnabled)
        Q_EMIT enabledChanged();
}

void ValidatorRfid::setSlots(const QVector<bool>& cardSlots)
{
    const int oldCount = m_slots.size();
    m_slots = cardSlots;
    if (m_slots.size() != oldCount)
        Q_EMIT numberOfSlotsChanged();
}

void ValidatorRfid::setSams(const QJsonArray& sams)
{
    // QML may still hold the old objects until it re-reads sam: delete them later, not now.
    for (SAM* sam : qAsConst(m_sams))
        sam->deleteLater();
    m_sams = SAM::listFromJson(sams, this, QStringLiteral("[ValidatorRfid] "));
    Q_EMIT samChanged();
}

void ValidatorRfid::setFirmware(const QString& firmware)
{
    updateProperty(m_firmware, firmware, this, &ValidatorRfid::firmwareChanged);
}

void ValidatorRfid::setManufacturer(const QString& manufacturer)
{
    updateProperty(m_manufacturer, manufacturer, this, &ValidatorRfid::manufacturerChanged);
}

void ValidatorRfid::setModel(const QString& model)
{
    updateProperty(m_model, model, this, &ValidatorRfid::modelChanged);
}

void ValidatorRfid::setDeviceUid(const QString& deviceUid)
{
    updateProperty(m_deviceUid, deviceUid, this, &ValidatorRfid::deviceUidChanged);
}
