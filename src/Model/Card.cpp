#include "Card.h"

static void registerCardMetaTypes()
{
    qRegisterMetaType<Card::Ptr>("Card::Ptr");
}
Q_CONSTRUCTOR_FUNCTION(registerCardMetaTypes)

Card::Card(const QString& uid, Tag::Type type)
    : Tag(uid, type)
{ }

Card::~Card() = default;

QJsonObject Card::toJson() const
{
    QJsonObject json = Tag::toJson();
    json.insert(QStringLiteral("template"), m_name);
    const QJsonObject content = data();
    json.insert(QStringLiteral("data"),
                content.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(content));
    return json;
}

void Card::setName(const QString& name)
{
    m_name = name;
}
