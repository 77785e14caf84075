#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QVariantMap>

// The read-only view of one ticket validation reported by the terminal service. Every value is
// computed from the transaction object on demand, so the refusal text follows the current language.
class Transaction : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool valid READ valid CONSTANT)
    Q_PROPERTY(Type type READ type CONSTANT)
    Q_PROPERTY(int denyReasonId READ denyReasonId CONSTANT)
    Q_PROPERTY(QString denyReason READ denyReason CONSTANT)
    Q_PROPERTY(QString ticketId READ ticketId CONSTANT)
    Q_PROPERTY(QString fareProduct READ fareProduct CONSTANT)
    Q_PROPERTY(QString passengerType READ passengerType CONSTANT)
    Q_PROPERTY(QVariantMap details READ details CONSTANT)
    Q_PROPERTY(QVariantMap ticket READ ticket CONSTANT)

public:
    // Fixed underlying type: the service may report any number.
    enum Type : int {
        Barcode = 0,
        CardEPurse = 2,
        CardStoredJourneys = 5,
        CardPeriodPass = 8,
        CardEMV = 10,
        CardTransfer = 12,
        CardPassengerTypeUpdate = 13,
        CardTransferEPurse = 14,
        CardCappingEPurse = 15,
        CardCappingStoredJourneys = 16
    };
    Q_ENUM(Type)

    explicit Transaction(QObject* parent = nullptr);
    explicit Transaction(const QJsonObject& data, QObject* parent = nullptr);
    ~Transaction() override;

    bool valid() const;
    Type type() const;
    int denyReasonId() const;
    QString denyReason() const;
    QString ticketId() const;
    QString fareProduct() const;
    QString passengerType() const;
    QVariantMap details() const;
    QVariantMap ticket() const;

    // The transaction object as received; copy it to keep a transaction beyond a signal.
    const QJsonObject& data() const { return m_data; }

    // What QML shows: valid, type, denyReason, denyReasonId, fareProduct, passengeType, details.
    Q_INVOKABLE QVariantMap toMap() const;

    static QVariantMap defaultDetails();

private:
    static QDateTime convertTimestamp(const QString& text);

    QJsonObject m_data;
};
