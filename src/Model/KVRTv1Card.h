#pragma once

#include "Card.h"

#include <QDateTime>
#include <QList>

// The content the entry gate writes onto every card it issues, template "KVRTv1".
// A card read from the reader carries the card's own log (usageLogs()); a card composed here
// carries only the entries added with addUsageLog(), which are the ones written to the card.
class KVRTv1Card : public Card
{
public:
    using Ptr = QSharedPointer<KVRTv1Card>;

    struct _Usage
    {
        QString type;
        QString deviceId;
        QString locationId;
        QDateTime timestamp; // local time
        int usageCounter = 0;

        QJsonObject toJson() const;
        _Usage& fromJson(const QJsonObject& json);
    };
    using Usage = _Usage;

    static const QString Name;

    KVRTv1Card();
    ~KVRTv1Card() override;

    QJsonObject data() const override;
    // Replaces the content with the one of a card object's "data".
    void setData(const QJsonObject& json) override;

    const QString& status() const { return m_status; }
    int customsId() const { return m_customsId; }
    int usageCounter() const { return m_usageCounter; }
    const QList<Usage>& usageLogs() const { return m_usageLog; }
    // The last entry read from the card, or null. Valid until the card's content is reloaded.
    const Usage* lastUsage() const;

    void setStatus(const QString& status);
    void setCustomsId(int customsId);
    void incrUsageCounter(int value);

    void addUsageLog(const Usage& entry);
    // Records a use now, with the card's usage counter as it stands.
    void addUsageLog(const QString& type, const QString& deviceId, const QString& locationId);

    // Reads a whole card object ("uid", "type", "template", "data"); never returns null.
    static KVRTv1Card::Ptr fromJson(const QJsonObject& json);

private:
    QString m_status = QStringLiteral("available");
    int m_customsId = 0;
    int m_usageCounter = 0;
    QList<Usage> m_usageLog;
    QList<Usage> m_newUsageLog;
};

Q_DECLARE_METATYPE(KVRTv1Card::Ptr)
