#include "SAM.h"

#include "UpdateProperty.h"

#include <QDebug>
#include <QLocale>

SAM::SAM(QObject* parent)
    : QObject(parent)
{ }

SAM::SAM(const QJsonObject& data, QObject* parent)
    : SAM(parent)
{
    fromJson(data);
}

SAM::~SAM() = default;

SAM& SAM::fromJson(const QJsonObject& json)
{
    setSlot(json.value(QStringLiteral("slot")).toInt());
    setEnabled(json.value(QStringLiteral("enabled")).toBool());
    setUnlocked(json.value(QStringLiteral("unlocked")).toBool());
    setAtr(json.value(QStringLiteral("atr")).toString());
    setBatch(json.value(QStringLiteral("batch")).toString());
    setMode(json.value(QStringLiteral("mode")).toString());
    setName(json.value(QStringLiteral("name")).toString());
    setProduction(QLocale::c().toDate(json.value(QStringLiteral("production")).toString(),
                                      QStringLiteral("yyyy-MM-dd")));
    setUid(json.value(QStringLiteral("uid")).toString());
    setVendor(json.value(QStringLiteral("vendor")).toString());
    setVersion(json.value(QStringLiteral("version")).toString());
    return *this;
}

void SAM::setSlot(int slot)
{
    updateProperty(m_slot, slot, this, &SAM::slotChanged);
}

void SAM::setEnabled(bool enabled)
{
    updateProperty(m_enabled, enabled, this, &SAM::enabledChanged);
}

void SAM::setUnlocked(bool unlocked)
{
    updateProperty(m_unlocked, unlocked, this, &SAM::unlockedChanged);
}

void SAM::setAtr(const QString& atr)
{
    updateProperty(m_atr, atr, this, &SAM::atrChanged);
}

void SAM::setBatch(const QString& batch)
{
    updateProperty(m_batch, batch, this, &SAM::batchChanged);
}

void SAM::setMode(const QString& mode)
{
    updateProperty(m_mode, mode, this, &SAM::modeChanged);
}

void SAM::setName(const QString& name)
{
    updateProperty(m_name, name, this, &SAM::nameChanged);
}

void SAM::setProduction(const QDate& production)
{
    updateProperty(m_production, production, this, &SAM::productionChanged);
}

void SAM::setUid(const QString& uid)
{
    updateProperty(m_uid, uid, this, &SAM::uidChanged);
}

void SAM::setVendor(const QString& vendor)
{
    updateProperty(m_vendor, vendor, this, &SAM::vendorChanged);
}

void SAM::setVersion(const QString& version)
{
    updateProperty(m_version, version, this, &SAM::versionChanged);
}

QVector<SAM*> SAM::listFromJson(const QJsonArray& sams, QObject* parent, const QString& logTag)
{
    if (sams.size() > MaxPerReader)
        qWarning().noquote().nospace() << logTag << "The reader reports " << sams.size()
                                       << " SAMs; only the first " << MaxPerReader << " are kept";
    QVector<SAM*> list;
    const int count = qMin(int(sams.size()), MaxPerReader);
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list.append(new SAM(sams.at(i).toObject(), parent));
    return list;
}
