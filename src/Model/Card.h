#pragma once

#include "Tag.h"

// A tag that carries structured content of a named template.
class Card : public Tag
{
public:
    using Ptr = QSharedPointer<Card>;

    Card() = default;
    Card(const QString& uid, Tag::Type type);
    ~Card() override;

    // The tag object plus "template" and "data" (null when the content is empty).
    QJsonObject toJson() const override;
    virtual QJsonObject data() const = 0;
    virtual void setData(const QJsonObject& json) = 0;

    const QString& name() const { return m_name; }
    void setName(const QString& name);

protected:
    QString m_name;
};

Q_DECLARE_METATYPE(Card::Ptr)
