#include "CardIssuer.h"

#include "Dispenser.h"
#include "EnumName.h"
#include "RFID.h"

#include <QDebug>
#include <QPointer>

#include <utility>

namespace manager {

namespace {

using Result = CardIssuer::Result;
using Chain = Deferred<Result>;

const char* const Tag_ = "[CardIssuer] ";

QString uidOf(const Tag::Ptr& tag)
{
    return tag ? tag->uid() : QStringLiteral("<none>");
}

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

// A step's completion that resolves with no card.
auto resolvedEmpty()
{
    return [](Chain defer, const auto&) { defer.resolve(Result {{}, QString()}); };
}

// Settles `to` the way `from` is settled, with the same result.
void follow(Chain from, Chain to)
{
    from.done([to](const Result& result) mutable { to.resolve(result); })
        .fail([to](const Result& result) mutable { to.reject(result); });
}

// Runs `next` once `first` has resolved; a rejection of `first` passes through
// unchanged and `next` never runs. The failing step has logged already, so
// nothing here logs.
Chain andThen(Chain first, std::function<Chain()> next)
{
    Chain out;
    first.done([out, next](const Result&) { follow(next(), out); })
        .fail([out](const Result& result) mutable { out.reject(result); });
    return out;
}

// When `first` fails, runs `cleanup` and, once it is over whatever its outcome,
// fails with the result of `first`.
Chain cleanupOnFailure(Chain first, std::function<Chain()> cleanup)
{
    Chain out;
    first.done([out](const Result& result) mutable { out.resolve(result); })
        .fail([out, cleanup](const Result& result) {
            cleanup()
                .done([out, result](const Result&) mutable { out.reject(result); })
                .fail([out, result](const Result&) mutable { out.reject(result); });
        });
    return out;
}

} // namespace

CardIssuer::CardIssuer(RFID& rfid, Dispenser& dispenser, QObject* parent)
    : QObject(parent)
    , m_rfid(rfid)
    , m_dispenser(dispenser)
{
    connect(&m_rfid, &RFID::stateChanged, this, &CardIssuer::checkState);
    connect(&m_rfid, &RFID::cardFound, this, &CardIssuer::onCardFound);
    connect(&m_dispenser, &Dispenser::activeChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::isJammedChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::isDoorOpenChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::cardInMouthChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::cardInRfidChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::cardRemoved, this, &CardIssuer::onCardRemoved);
    connect(&m_dispenser, &Dispenser::cardDisposed, this, &CardIssuer::onCardDisposed);
}

QString CardIssuer::stateToStr(State state)
{
    static const char* const Names[] = {"Init", "Busy", "Ready", "Error"};
    return enumName(state, Names);
}

template<typename F>
auto CardIssuer::guarded(F f)
{
    QPointer<CardIssuer> self(this);
    return [self, f](auto&&... args) mutable {
        if (self)
            f(std::forward<decltype(args)>(args)...);
    };
}

// ---------------------------------------------------------------------------
// Composite operations

Deferred<Result> CardIssuer::prepareCard()
{
    if (m_state == Error) {
        Chain refused;
        refused.reject(Result {{}, m_reason});
        return refused;
    }
    QPointer<CardIssuer> self(this);
    return andThen(moveCardOnRfid(), [self]() -> Chain {
        if (!self)
            return Chain();
        // A card that cannot be read is disposed of.
        return cleanupOnFailure(self->readCardUid(), [self]() -> Chain {
            if (!self)
                return Chain();
            return self->dispose();
        });
    });
}

Deferred<Result> CardIssuer::issueCard(Card::Ptr card, int collectTimeoutSec)
{
    if (!card) {
        Chain refused;
        reject(refused, QStringLiteral("No card content to issue"));
        return refused;
    }
    if (m_card) {
        qInfo().noquote().nospace() << Tag_ << "Card present. Issuing.";
        return createAndEject(card, collectTimeoutSec);
    }
    qWarning().noquote().nospace() << Tag_ << "WARN: Card not present. Preparing.";
    QPointer<CardIssuer> self(this);
    return andThen(prepareCard(), [self, card, collectTimeoutSec]() -> Chain {
        if (!self)
            return Chain();
        return self->createAndEject(card, collectTimeoutSec);
    });
}

Deferred<Result> CardIssuer::createAndEject(Card::Ptr card, int collectTimeoutSec)
{
    QPointer<CardIssuer> self(this);
    // A card that cannot be written is disposed of.
    const Chain written = cleanupOnFailure(createCard(card), [self]() -> Chain {
        if (!self)
            return Chain();
        return self->dispose();
    });
    // A card that cannot be ejected stays where it is.
    const Chain ejected = andThen(written, [self]() -> Chain {
        if (!self)
            return Chain();
        return self->eject();
    });
    // A card that is not taken is pulled back in.
    return andThen(ejected, [self, collectTimeoutSec]() -> Chain {
        if (!self)
            return Chain();
        return cleanupOnFailure(self->waitCollect(collectTimeoutSec), [self]() -> Chain {
            if (!self)
                return Chain();
            return self->retract();
        });
    });
}

// ---------------------------------------------------------------------------
// Steps

template<typename R, typename OnDone>
void CardIssuer::step(Deferred<R> request, Chain defer, const QString& failure, OnDone onDone)
{
    request.done(guarded([defer, onDone](const R& result) mutable { onDone(defer, result); }))
        .fail(guarded([this, defer, failure](const R& result) mutable {
            reject(defer, failure + result.error);
        }));
}

Deferred<Result> CardIssuer::moveCardOnRfid()
{
    qInfo().noquote().nospace() << Tag_ << "Moving card on RFID";
    Chain defer;
    if (m_dispenser.cardInRfid()) {
        qWarning().noquote().nospace() << Tag_ << "WARN: Card alaready present. Skipping.";
        resolve(defer, {});
    } else if (m_dispenser.cardInMouth()) {
        qWarning().noquote().nospace() << Tag_ << "WARN: Card in mouth. Retracting.";
        step(m_dispenser.accept(), defer, QStringLiteral("Accept failed : "), resolvedEmpty());
    } else {
        step(m_dispenser.issue(), defer, QStringLiteral("Issue failed : "), resolvedEmpty());
    }
    return defer;
}

Deferred<Result> CardIssuer::readCardUid()
{
    qInfo().noquote().nospace() << Tag_ << "Reading card UID";
    Chain defer;

    if (m_rfid.state() == RFID::CardFound) {
        const Tag::Ptr tag = m_rfid.activeCard();
        qInfo().noquote().nospace() << Tag_ << "Card already present : " << uidOf(tag);
        finishWithRfOff(defer, tag);
        return defer;
    }

    step(m_rfid.enable(false), defer, QStringLiteral("RFID enable failed : "),
         [this](Chain defer, const RFID::Result&) {
             qInfo().noquote().nospace() << Tag_ << "RFID enabled.";
             step(m_rfid.waitCardFound(3000), defer, QStringLiteral("Failed to find card : "),
                  [this](Chain defer, const RFID::Result& found) {
                      qInfo().noquote().nospace() << Tag_ << "Card found : " << uidOf(found.card);
                      setCurrCard(found.card);
                      finishWithRfOff(defer, found.card);
                  });
         });
    return defer;
}

Deferred<Result> CardIssuer::createCard(Card::Ptr card)
{
    qInfo().noquote().nospace() << Tag_ << "Creating card : " << card->name();
    Chain defer;

    step(m_rfid.enable(false), defer, QStringLiteral("RFID enable failed : "),
         [this, card](Chain defer, const RFID::Result&) {
             qInfo().noquote().nospace() << Tag_ << "RFID enabled.";
             step(m_rfid.waitCardFound(5000), defer, QStringLiteral("Card search failed : "),
                  [this, card](Chain defer, const RFID::Result& found) {
                      qInfo().noquote().nospace() << Tag_ << "Card found : " << uidOf(found.card);
                      step(m_rfid.createCard(card->name()), defer,
                           QStringLiteral("Create card failed : "),
                           [this, card](Chain defer, const RFID::Result& created) {
                               qInfo().noquote().nospace()
                                   << Tag_ << "Writing card : " << uidOf(created.card);
                               step(m_rfid.writeCard(card), defer,
                                    QStringLiteral("Write card failed : "),
                                    [this](Chain defer, const RFID::Result& written) {
                                        qInfo().noquote().nospace()
                                            << Tag_ << "Card written successfully : "
                                            << uidOf(written.card);
                                        setCurrCard(written.card);
                                        resetFailCount();
                                        finishWithRfOff(defer, written.card);
                                    });
                           });
                  });
         });
    return defer;
}

void CardIssuer::finishWithRfOff(Chain& defer, Tag::Ptr card)
{
    // The card has been read or written by now: a field that will not switch off
    // spoils neither, so the step succeeds with that card either way. Whatever
    // is wrong with the reader shows in its published state.
    m_rfid.disable()
        .done(guarded([this, defer, card](const RFID::Result&) mutable {
            resolve(defer, card);
            qInfo().noquote().nospace() << Tag_ << "RFID disabled";
        }))
        .fail(guarded([this, defer, card](const RFID::Result& result) mutable {
            qWarning().noquote().nospace()
                << Tag_ << "WARN: RFID disable failed : " << result.error;
            resolve(defer, card);
        }));
}

Deferred<Result> CardIssuer::eject()
{
    qInfo().noquote().nospace() << Tag_ << "Ejecting card";
    Chain defer;
    step(m_dispenser.eject(), defer, QStringLiteral("Failed to eject card : "),
         [this](Chain defer, const Dispenser::Result&) {
             qInfo().noquote().nospace() << Tag_ << "Card ejected successfully";
             resolve(defer, m_card);
         });
    return defer;
}

Deferred<Result> CardIssuer::retract()
{
    qInfo().noquote().nospace() << Tag_ << "Retracting card : " << uidOf(m_card);
    Chain defer;
    step(m_dispenser.accept(), defer, QStringLiteral("Accept failed : "), resolvedEmpty());
    return defer;
}

Deferred<Result> CardIssuer::dispose()
{
    qInfo().noquote().nospace() << Tag_ << "Disposing card : " << uidOf(m_card);
    Chain defer;
    incrFailCount();
    step(m_dispenser.dispose(), defer, QStringLiteral("Dispose failed : "), resolvedEmpty());
    return defer;
}

Deferred<Result> CardIssuer::waitCollect(int collectTimeoutSec)
{
    qInfo().noquote().nospace() << Tag_
                                << "Waiting for card to be collected (timeout=" << collectTimeoutSec
                                << " sec)";
    Chain defer;
    m_dispenser.waitCollect(collectTimeoutSec)
        .done(guarded([this, defer](const Dispenser::Result&) mutable {
            qInfo().noquote().nospace() << Tag_ << "Card collected successfully";
            resolve(defer, {});
        }))
        .fail(guarded([this, defer](const Dispenser::Result&) mutable {
            reject(defer, QStringLiteral("Card was not collected"));
        }));
    return defer;
}

void CardIssuer::resolve(Chain& defer, Tag::Ptr card)
{
    defer.resolve(Result {card, QString()});
}

void CardIssuer::reject(Chain& defer, const QString& message)
{
    qCritical().noquote().nospace() << Tag_ << "ERROR: " << message;
    defer.reject(Result {{}, message});
}

// ---------------------------------------------------------------------------
// State

void CardIssuer::checkState()
{
    const RFID::State reader = m_rfid.state();
    qDebug().noquote().nospace() << Tag_ << "checkState() :"
                                 << " Dispenser(" << boolText(m_dispenser.active()) << ")"
                                 << " RFID(" << RFID::stateToStr(reader) << ")"
                                 << " cardInRfid(" << boolText(m_dispenser.cardInRfid()) << ")"
                                 << " cardInMouth(" << boolText(m_dispenser.cardInMouth()) << ")";

    if (reader == RFID::Error) {
        setState(Error, QStringLiteral("RFID error"));
    } else if (reader == RFID::Update) {
        setState(Init, QStringLiteral("RFID updating"));
    } else if (m_dispenser.isDoorOpen()) {
        // Opening the cartridge door is the operator's way to clear the failures.
        setState(Error, QStringLiteral("Cartridge door open"));
        resetFailCount();
    } else if (!m_dispenser.active()) {
        setState(Error, QStringLiteral("Dispenser error"));
        resetFailCount();
    } else if (m_dispenser.isJammed()) {
        setState(Error, QStringLiteral("Dispenser jammed"));
    } else if (m_failCount > MaxFailures) {
        setState(Error, QStringLiteral("Too many failures"));
    } else if (reader == RFID::CardFound || m_dispenser.cardInRfid()) {
        setState(Busy, QStringLiteral("Card on RFID"));
    } else if (m_dispenser.cardInMouth()) {
        setState(Busy, QStringLiteral("Card in Mouth"));
    } else {
        setState(Ready, QString());
    }

    // The current card follows the reader: the tag in the field while there is
    // one, nothing once the field is off.
    const RFID::State now = m_rfid.state();
    if (now == RFID::CardFound && !m_card)
        setCurrCard(m_rfid.activeCard());
    else if (now == RFID::Idle && m_card)
        setCurrCard({});
}

void CardIssuer::setState(State state, const QString& reason)
{
    if (m_state == state && m_reason == reason)
        return;
    qInfo().noquote().nospace() << Tag_
                                << QStringLiteral("State changed : (%1) %2 %3")
                                       .arg(int(state))
                                       .arg(stateToStr(state),
                                            reason.isEmpty()
                                                ? QString()
                                                : QStringLiteral("(reason=") + reason + ")");
    m_state = state;
    m_reason = reason;
    Q_EMIT stateChanged();
}

void CardIssuer::setCurrCard(Tag::Ptr card)
{
    if (m_card == card)
        return;
    m_card = card;
}

void CardIssuer::onCardFound(Tag::Ptr card)
{
    setCurrCard(card);
}

void CardIssuer::onCardDisposed()
{
    const Tag::Ptr card = m_card;
    Q_EMIT cardDisposed(card);
    setCurrCard({});
}

void CardIssuer::onCardRemoved()
{
    const Tag::Ptr card = m_card;
    Q_EMIT cardCollected(card);
    setCurrCard({});
}

void CardIssuer::incrFailCount()
{
    if (m_failCount > MaxFailures)
        return;
    ++m_failCount;
    qInfo().noquote().nospace() << Tag_ << "Incremented fail counter : " << m_failCount;
    checkState();
}

void CardIssuer::resetFailCount()
{
    if (m_failCount == 0)
        return;
    m_failCount = 0;
    qInfo().noquote().nospace() << Tag_ << "Reset fail counter : " << m_failCount;
    checkState();
}

} // namespace manager
