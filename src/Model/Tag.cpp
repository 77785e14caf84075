#include "Tag.h"

#include <QHash>

// Signals of the device clients carry tags; register the names they are declared with.
static void registerTagMetaTypes()
{
    qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
}
Q_CONSTRUCTOR_FUNCTION(registerTagMetaTypes)

Tag::Tag(const QString& uid, Tag::Type type)
    : m_uid(uid)
    , m_type(type)
{ }

Tag::~Tag() = default;

QJsonObject Tag::toJson() const
{
    return QJsonObject {{QStringLiteral("uid"), m_uid},
                        {QStringLiteral("type"), static_cast<int>(m_type)}};
}

void Tag::setUid(const QString& uid)
{
    m_uid = uid;
}

void Tag::setType(Tag::Type type)
{
    m_type = type;
}

Tag::Ptr Tag::fromJson(const QJsonObject& json)
{
    return Tag::Ptr::create(json.value(QStringLiteral("uid")).toString(),
                            static_cast<Tag::Type>(json.value(QStringLiteral("type")).toInt()));
}

QString Tag::typeToStr(Tag::Type type)
{
    // Exact lookup: combinations of bits are not a technology of their own.
    static const QHash<int, QString> names {
        {None, QStringLiteral("Unknown")},
        {ISO14443_4A, QStringLiteral("ISO14443-4A")},
        {ISO14443_4B, QStringLiteral("ISO14443-4B")},
        {MIFARE_Classic_1K, QStringLiteral("MIFARE Classic 1K")},
        {MIFARE_Classic_4K, QStringLiteral("MIFARE Classic 4K")},
        {MIFARE_Plus_2K, QStringLiteral("MIFARE Plus 2K")},
        {MIFARE_Plus_4K, QStringLiteral("MIFARE Plus 4K")},
        {MIFARE_Ultralight, QStringLiteral("MIFARE Ultralight")},
        {MIFARE_Mini, QStringLiteral("MIFARE Mini")},
        {MIFARE_DESFire, QStringLiteral("MIFARE DESFire")},
        {EMV, QStringLiteral("EMV")},
        {Other, QStringLiteral("Other")},
    };
    return names.value(static_cast<int>(type), QStringLiteral("Unknown"));
}
