#pragma once

#include "Card.h"
#include "Deferred.h"
#include "Tag.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>

namespace manager {

class Dispenser;
class RFID;

// Turns the dispenser and the RFID reader into one card-issuing machine: keeps an
// overall state derived from both devices and from the number of failed cards,
// and runs the issuing sequence as chains of asynchronous steps. A chain stops at
// its first failing step, whose error becomes the chain's result.
class CardIssuer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString stateName READ stateName NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)

public:
    enum State : int {
        Init = 0,
        Busy = 1,
        Ready = 2,
        Error = 3,
    };
    Q_ENUM(State)

    // Outcome of every step: the card the step ended with (null where it has
    // none) and an empty error on success; a null card and the message on failure.
    struct Result
    {
        Tag::Ptr card;
        QString error;
    };

    // Failed cards tolerated before the issuer refuses to prepare another one.
    static constexpr int MaxFailures = 3;

    CardIssuer(RFID& rfid, Dispenser& dispenser, QObject* parent = nullptr);

    State state() const { return m_state; }
    QString stateName() const { return stateToStr(m_state); }
    const QString& reason() const { return m_reason; }
    Tag::Ptr currCard() const { return m_card; }
    // Cards disposed of since the counter was last reset.
    int failCount() const { return m_failCount; }

    static QString stateToStr(State state);

    // Brings a card onto the RFID position and reads its UID.
    Deferred<Result> prepareCard();
    // Writes the content onto a card, ejects it and waits for it to be taken.
    Deferred<Result> issueCard(Card::Ptr card, int collectTimeoutSec);

Q_SIGNALS:
    void stateChanged();
    void cardDisposed(Tag::Ptr card);
    void cardCollected(Tag::Ptr card);

private:
    using Chain = Deferred<Result>;

    Chain moveCardOnRfid();
    Chain readCardUid();
    Chain createCard(Card::Ptr card);
    Chain eject();
    Chain retract();
    Chain dispose();
    Chain waitCollect(int collectTimeoutSec);
    Chain createAndEject(Card::Ptr card, int collectTimeoutSec);

    // Runs onDone(defer, result) when the device request succeeds; otherwise
    // rejects defer with the failure text followed by the device's error.
    template<typename R, typename OnDone>
    void step(Deferred<R> request, Chain defer, const QString& failure, OnDone onDone);

    // Switches the RF field off at the end of a step that read or wrote `card`.
    void finishWithRfOff(Chain& defer, Tag::Ptr card);

    void resolve(Chain& defer, Tag::Ptr card);
    void reject(Chain& defer, const QString& message);

    // Wraps a callback so that it does nothing once this issuer is gone.
    template<typename F>
    auto guarded(F f);

    void checkState();
    void setState(State state, const QString& reason);
    void setCurrCard(Tag::Ptr card);
    void onCardFound(Tag::Ptr card);
    void onCardDisposed();
    void onCardRemoved();
    void incrFailCount();
    void resetFailCount();

    RFID& m_rfid;
    Dispenser& m_dispenser;
    State m_state = Init;
    QString m_reason;
    Tag::Ptr m_card;
    int m_failCount = 0;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::CardIssuer::Result)
