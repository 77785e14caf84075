#pragma once

#include "SimulatedService.h"

#include <QHash>
#include <QPointer>
#include <QTimer>

class DispenserService;

// Stand-in for the RFID reader service at the dispenser's card path. The reader
// sees the card at the RFID position (told by placeCard()/removeCard(), or by a
// linked DispenserService) once its field is on, and keeps the content written to
// each card by UID.
//
// Methods: "/enable" {"autoread"}, "/disable", "/card/create" {"template"},
// "/card/write" (a card object), "/card/read" {"template", "usageLogs"}; each
// answers {"completed": true[, "data": card object]} or
// {"completed": false, "error": {"what"}}. Plain publications on "/enable" and
// "/disable" switch the field too. Events: "/card/found" (tag object),
// "/card/removed", "/card/autoread" (card object or {"error": {"what"}}).
class RfidService : public SimulatedService
{
    Q_OBJECT
    Q_PROPERTY(int state READ state NOTIFY deviceChanged)
    Q_PROPERTY(bool fieldOn READ fieldOn NOTIFY deviceChanged)
    Q_PROPERTY(bool autoread READ autoread NOTIFY deviceChanged)
    Q_PROPERTY(QString cardUid READ cardUid NOTIFY deviceChanged)
    Q_PROPERTY(QString fault READ fault WRITE setFault NOTIFY deviceChanged)
    Q_PROPERTY(bool updating READ isUpdating WRITE setUpdating NOTIFY deviceChanged)

public:
    // The reader states as the service reports them.
    enum State {
        Init = 0,
        Idle = 1,
        Searching = 2,
        CardFound = 3,
        Update = 4,
        Error = 5,
    };
    Q_ENUM(State)

    // The one template this reader knows how to lay out on a card.
    static const QString KnownTemplate;

    explicit RfidService(const QString& baseTopic = QStringLiteral("ovant/rfid"),
                         QObject* parent = nullptr);

    // Follows the cards that the dispenser moves to and away from the RFID position.
    void linkDispenser(DispenserService* dispenser);

    // A card enters or leaves the reader's position.
    void placeCard(const QString& uid, int type = DefaultTagType);
    void removeCard();

    int state() const;
    bool fieldOn() const { return m_fieldOn; }
    bool autoread() const { return m_autoread; }
    bool hasCard() const { return !m_cardUid.isEmpty(); }
    const QString& cardUid() const { return m_cardUid; }
    // Time between the field meeting a card and the card being reported found.
    void setDetectDelay(int msec) { m_detectDelay = qMax(0, msec); }

    // Content stored on a card (a card object without "uid"/"type"), or empty.
    QJsonObject cardContent(const QString& uid) const { return m_content.value(uid); }
    void setCardContent(const QString& uid, const QJsonObject& card);

    // Faults: the next write fails with this text; the reader reports an error
    // (empty text: none); the reader's firmware is being updated.
    void failNextWrite(const QString& what = QStringLiteral("Write failed"));
    const QString& fault() const { return m_fault; }
    void setFault(const QString& what) { updateDevice(m_fault, what); }
    bool isUpdating() const { return m_updating; }
    void setUpdating(bool updating) { updateDevice(m_updating, updating); }

    int beepsValid() const { return m_beepsValid; }
    int beepsInvalid() const { return m_beepsInvalid; }

    static constexpr int DefaultTagType = 256; // MIFARE DESFire

protected:
    QJsonObject deviceStatus() const override;
    QJsonObject errorReply(int code, const QString& text) const override;
    void handlePublication(const QString& suffix, const QJsonObject& json,
                           bool payloadValid) override;

private:
    QJsonObject enable(const QJsonObject& params);
    QJsonObject disable();
    QJsonObject createCard(const QJsonObject& params);
    QJsonObject writeCard(const QJsonObject& params);
    QJsonObject readCard(const QJsonObject& params);

    void switchField(bool on, bool autoread);
    void detect();
    // The refusal of a card operation without a card in the field, or empty.
    QJsonObject cardFault() const;
    QJsonObject cardObject(int usageLogs = -1) const;
    QJsonObject tagObject() const;
    // Only real changes are published, as a device reports its state.
    void deviceUpdated() override;

    QPointer<DispenserService> m_dispenser;
    bool m_fieldOn = false;
    bool m_autoread = false;
    bool m_found = false;
    QString m_cardUid;
    int m_cardType = DefaultTagType;
    int m_detectDelay = 0;
    QTimer m_detectTimer;
    QHash<QString, QJsonObject> m_content;
    QString m_failWrite;
    QString m_fault;
    bool m_updating = false;
    QJsonObject m_lastStatus;
    int m_beepsValid = 0;
    int m_beepsInvalid = 0;
};
