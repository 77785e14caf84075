#include "KVRTv1Card.h"

#include <QJsonArray>
#include <QLocale>

#include <limits>

namespace {
// Local time, no zone: what the card format stores.
const QString TimestampFormat = QStringLiteral("yyyy-MM-dd'T'hh:mm:ss");
} // namespace

const QString KVRTv1Card::Name = QStringLiteral("KVRTv1");

QJsonObject KVRTv1Card::_Usage::toJson() const
{
    return QJsonObject {
        {QStringLiteral("timestamp"), QLocale::c().toString(timestamp, TimestampFormat)},
        {QStringLiteral("type"), type},
        {QStringLiteral("usageCounter"), usageCounter},
        {QStringLiteral("deviceId"), deviceId},
        {QStringLiteral("locationId"), locationId},
    };
}

KVRTv1Card::_Usage& KVRTv1Card::_Usage::fromJson(const QJsonObject& json)
{
    timestamp = QLocale::c().toDateTime(json.value(QStringLiteral("timestamp")).toString(),
                                        TimestampFormat);
    type = json.value(QStringLiteral("type")).toString();
    deviceId = json.value(QStringLiteral("deviceId")).toString();
    locationId = json.value(QStringLiteral("locationId")).toString();
    usageCounter = json.value(QStringLiteral("usageCounter")).toInt();
    return *this;
}

KVRTv1Card::KVRTv1Card()
{
    m_name = Name;
}

KVRTv1Card::~KVRTv1Card() = default;

QJsonObject KVRTv1Card::data() const
{
    QJsonArray log;
    for (const Usage& entry : m_newUsageLog)
        log.append(entry.toJson());

    const QJsonObject info {{QStringLiteral("version"), 0},
                            {QStringLiteral("customsId"), m_customsId},
                            {QStringLiteral("status"), m_status}};
    return QJsonObject {{QStringLiteral("info"), info},
                        {QStringLiteral("usageCounter"), m_usageCounter},
                        {QStringLiteral("usageLog"), log}};
}

void KVRTv1Card::setData(const QJsonObject& json)
{
    const QJsonObject info = json.value(QStringLiteral("info")).toObject();
    m_customsId = info.value(QStringLiteral("customsId")).toInt();
    m_status = info.value(QStringLiteral("status")).toString();
    m_usageCounter = json.value(QStringLiteral("usageCounter")).toInt();

    // The read log mirrors the content loaded last; loading again must not mix two logs.
    m_usageLog.clear();
    const QJsonArray log = json.value(QStringLiteral("usageLog")).toArray();
    m_usageLog.reserve(log.size());
    for (const QJsonValue& element : log)
        m_usageLog.append(Usage().fromJson(element.toObject()));
}

const KVRTv1Card::Usage* KVRTv1Card::lastUsage() const
{
    return m_usageLog.isEmpty() ? nullptr : &m_usageLog.constLast();
}

void KVRTv1Card::setStatus(const QString& status)
{
    m_status = status;
}

void KVRTv1Card::setCustomsId(int customsId)
{
    m_customsId = customsId;
}

void KVRTv1Card::incrUsageCounter(int value)
{
    // A counter read from a damaged card may already sit at the limit: saturate, never wrap.
    if (__builtin_add_overflow(m_usageCounter, value, &m_usageCounter))
        m_usageCounter
            = value > 0 ? std::numeric_limits<int>::max() : std::numeric_limits<int>::min();
}

void KVRTv1Card::addUsageLog(const Usage& entry)
{
    m_newUsageLog.append(entry);
}

void KVRTv1Card::addUsageLog(const QString& type, const QString& deviceId,
                             const QString& locationId)
{
    Usage entry;
    entry.type = type;
    entry.deviceId = deviceId;
    entry.locationId = locationId;
    entry.timestamp = QDateTime::currentDateTime();
    entry.usageCounter = m_usageCounter;
    m_newUsageLog.append(entry);
}

KVRTv1Card::Ptr KVRTv1Card::fromJson(const QJsonObject& json)
{
    auto card = KVRTv1Card::Ptr::create();
    card->setUid(json.value(QStringLiteral("uid")).toString());
    card->setName(json.value(QStringLiteral("template")).toString());
    card->setType(static_cast<Tag::Type>(json.value(QStringLiteral("type")).toInt()));
    card->setData(json.value(QStringLiteral("data")).toObject());
    return card;
}
