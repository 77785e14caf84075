#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

// A contactless tag as the RFID reader service reports it: its UID and technology.
// A plain value class, shared through Tag::Ptr.
class Tag
{
public:
    using Ptr = QSharedPointer<Tag>;

    // The underlying type is fixed so that any number the reader reports can be held.
    enum Type : int {
        None = 0,
        ISO14443_4A = 1,
        ISO14443_4B = 2,
        MIFARE_Classic_1K = 4,
        MIFARE_Classic_4K = 8,
        MIFARE_Plus_2K = 16,
        MIFARE_Plus_4K = 32,
        MIFARE_Ultralight = 64,
        MIFARE_Mini = 128,
        MIFARE_DESFire = 256,
        EMV = 512,
        Other = 32768
    };

    Tag() = default;
    Tag(const QString& uid, Tag::Type type);
    virtual ~Tag();

    virtual QJsonObject toJson() const;

    const QString& uid() const { return m_uid; }
    Tag::Type type() const { return m_type; }
    void setUid(const QString& uid);
    void setType(Tag::Type type);

    // Never returns null: a malformed object gives a tag with empty UID and type None.
    static Tag::Ptr fromJson(const QJsonObject& json);
    static QString typeToStr(Tag::Type type);

protected:
    QString m_uid;
    Tag::Type m_type = None;
};

Q_DECLARE_METATYPE(Tag::Ptr)
