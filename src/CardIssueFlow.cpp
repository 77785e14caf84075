#include "CardIssueFlow.h"

#include "CardIssuer.h"
#include "Dispenser.h"
#include "KVRTv1Card.h"
#include "Logger.h"
#include "MqttConnection.h"
#include "TaggedLog.h"

#include <QPointer>
#include <QTimer>

namespace {
// Part of the GUI manager: its log lines and texts belong to the manager.
const QString Tag_ = QStringLiteral("[GUIManager] ");
// What a card issued here says about where it was issued.
const QString IssueLocationId = QStringLiteral("ovant-rnd");
constexpr int CollectTimeoutSec = 60;
} // namespace

CardIssueFlow::CardIssueFlow(manager::CardIssuer& issuer, manager::Dispenser& dispenser,
                             QObject* parent)
    : QObject(parent)
    , m_issuer(&issuer)
    , m_dispenser(&dispenser)
{
    // The passenger is asked to take the card as soon as it is in the mouth, not
    // once it has been taken.
    connect(m_dispenser, &manager::Dispenser::cardInMouthChanged, this, [this] {
        if (m_running && !m_cardPresented && m_dispenser->cardInMouth()) {
            m_cardPresented = true;
            Q_EMIT finished();
        }
    });
}

void CardIssueFlow::issue(const QString& deviceId)
{
    // The lines of this turn wait for its end: the card issuer's first request (the
    // dispenser's, or the reader's when a card is ready) leaves before them.
    const manager::Logger::Hold hold;
    tagged(qInfo(), Tag_) << "Card requested";
    // An issuer out of order would refuse the card anyway: the passenger is told
    // at once, and no device is asked.
    if (m_issuer->state() == manager::CardIssuer::Error) {
        tagged(qInfo(), Tag_) << "Card not issued : card issuer out of order ("
                              << m_issuer->reason() << ")";
        Q_EMIT started();
        reportFailure(m_issuer->reason());
        return;
    }
    m_running = true;
    m_cardPresented = false;

    KVRTv1Card::Ptr card(new KVRTv1Card);
    card->setCustomsId(1);
    card->setStatus(QStringLiteral("active"));
    card->incrUsageCounter(1);
    card->addUsageLog(QStringLiteral("entry"), deviceId, IssueLocationId);

    // The card issuer asks its first device and the screen follows, in the same turn of
    // the event loop: the card does not wait for the screen's bindings, and the broker
    // that carries the request gets the processor before them. The answer comes later,
    // and is handled once the passenger has been told.
    const auto issued = m_issuer->issueCard(card, CollectTimeoutSec);
    MqttConnection::yieldToBroker();
    Q_EMIT statusText(QStringLiteral(QT_TRANSLATE_NOOP("GUIManager", "Issuing card")));
    setFailed(false);
    Q_EMIT started();

    // Answers may come after this flow is gone, with the manager that owns it.
    QPointer<CardIssueFlow> self(this);
    issued
        .done([this, self](const manager::CardIssuer::Result& result) {
            if (!self)
                return;
            Q_EMIT statusText(QStringLiteral(QT_TRANSLATE_NOOP("GUIManager", "Card collected")));
            tagged(qInfo(), Tag_) << "Card issued successfully : "
                                  << (result.card ? result.card->uid() : QStringLiteral("<null>"));
            if (!m_cardPresented)
                Q_EMIT finished();
            QTimer::singleShot(NextCardDelayMsec, this, &CardIssueFlow::prepareNextCard);
        })
        .fail([this, self](const manager::CardIssuer::Result& result) {
            if (!self)
                return;
            m_running = false;
            reportFailure(result.error);
        });
}

void CardIssueFlow::reportFailure(const QString& error)
{
    // The passenger gets a general text; the detail is for the log.
    Q_EMIT statusText(QStringLiteral(QT_TRANSLATE_NOOP("GUIManager", "Card could not be issued")));
    tagged(qCritical(), Tag_) << "ERROR: Failed to issue card : " << error;
    // No card could be brought from the cartridge, or the issuer refuses until
    // someone attends to it: the passenger cannot help it by trying.
    Q_EMIT failure(error.startsWith(QLatin1String("Issue failed"))
                   || m_issuer->state() == manager::CardIssuer::Error);
    setFailed(true);
    Q_EMIT finished();
}

void CardIssueFlow::prepareNextCard()
{
    tagged(qInfo(), Tag_) << "Preparing next card";
    Q_EMIT statusText(QStringLiteral(QT_TRANSLATE_NOOP("GUIManager", "Preparing next card")));
    QPointer<CardIssueFlow> self(this);
    m_issuer->prepareCard()
        .done([this, self](const manager::CardIssuer::Result&) {
            if (!self)
                return;
            Q_EMIT statusText(
                QStringLiteral(QT_TRANSLATE_NOOP("GUIManager", "Ready to issue card")));
            end();
        })
        .fail([this, self](const manager::CardIssuer::Result& result) {
            if (!self)
                return;
            // The next issue prepares its card itself.
            tagged(qWarning(), Tag_) << "WARN: Failed to prepare next card : " << result.error;
            end();
        });
}

void CardIssueFlow::end()
{
    m_running = false;
    Q_EMIT ended();
}

void CardIssueFlow::setFailed(bool failed)
{
    if (failed == m_failed)
        return;
    m_failed = failed;
    Q_EMIT failedChanged();
}
