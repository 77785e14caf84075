#pragma once

#include "Card.h"
#include "HardwareClient.h"
#include "Tag.h"

#include <QJsonArray>
#include <QList>
#include <QMetaType>
#include <QString>

class SAM;

namespace manager {

// Client of the RFID reader service: mirrors the reader's published state, keeps
// the tag currently in the field as the active tag, relays the card events and
// offers the requests that switch the field and create, read and write cards.
class RFID : public HardwareClient
{
    Q_OBJECT
    Q_PROPERTY(QString uid READ uid NOTIFY uidChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString stateName READ stateName NOTIFY stateChanged)
    Q_PROPERTY(bool active READ active NOTIFY stateChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(Tag::Ptr activeCard READ activeCard NOTIFY activeCardChanged)

public:
    // The underlying type is fixed so that any number the service reports can be
    // held (and named "Unknown").
    enum State : int {
        Init = 0, // nothing known yet
        Idle = 1, // service up, RF field off
        Searching = 2, // RF field on, no card in the field
        CardFound = 3, // a card is in the field
        Update = 4, // reader firmware is being updated
        Error = 5, // service offline or reader in error
    };
    Q_ENUM(State)

    // Outcome of every operation: the tag or card produced (null when none) and
    // an empty error on success; a null card and the reason on failure.
    struct Result
    {
        Tag::Ptr card;
        QString error;
    };

    static constexpr int RequestTimeoutMsec = 3000;

    RFID(MqttClient& mqtt, const QString& baseTopic, QObject* parent = nullptr);

    const QString& uid() const { return m_uid; }
    const QString& error() const { return m_error; }
    State state() const { return m_state; }
    QString stateName() const { return stateToStr(m_state); }
    // True while the service is up and the reader usable.
    bool active() const { return m_state == Idle || m_state == Searching || m_state == CardFound; }
    const QList<SAM*>& sams() const { return m_sams; }
    Tag::Ptr activeCard() const { return m_activeTag; }

    static QString stateToStr(State state);
    // The card of the template named in the object, or null for an unknown template.
    static Card::Ptr cardFactory(const QJsonObject& json);

    Deferred<Result> enable(bool autoread);
    Deferred<Result> disable();
    Deferred<Result> createCard(const QString& name);
    Deferred<Result> readCard(const QString& name, int usageLogs);
    Deferred<Result> writeCard(Card::Ptr card);

    // The tag in the field: at once when one is there, else the next one found
    // within msec (0: no limit) while the field is on.
    Deferred<Result> waitCardFound(int msec);

    bool beepValid();
    bool beepInvalid();

    void setSAMs(const QJsonArray& sams);

Q_SIGNALS:
    void uidChanged();
    void stateChanged();
    void errorChanged();
    void activeCardChanged();
    void cardFound(Tag::Ptr tag);
    void cardRemoved(Tag::Ptr tag);
    void cardAutoread(Card::Ptr card);
    void cardAutoreadFailed(QString error);
    void updateProgress(int percent, int minutes, int seconds);

protected:
    void handleMessage(const QByteArray& payload, const QString& topic) override;
    void parseFailed(const QByteArray& payload, const QString& topic,
                     const QJsonParseError& error) override;

private:
    Deferred<Result> executeRpc(const QString& subtopic, const QJsonObject& request, int timeout);

    void onInfo(const QJsonObject& json);
    void onStatus(const QJsonObject& json);
    void onCardFound(const QJsonObject& json);
    void onCardRemoved();
    void onAutoread(const QJsonObject& json);

    void setUid(const QString& value);
    void setError(const QString& value);
    void setState(State state);
    void setActiveCard(Tag::Ptr tag);

    QString m_uid;
    State m_state = Init;
    QString m_error;
    QList<SAM*> m_sams;
    Tag::Ptr m_activeTag;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::RFID::Result)
