#pragma once

#include <QObject>
#include <QString>

namespace manager {
class CardIssuer;
class Dispenser;
} // namespace manager

// The issue of one card at an entry gate, from the passenger's touch until the next
// card waits at the reader, told in the passenger's terms: the status line, the start
// and end of the passenger's part, and whether it failed.
class CardIssueFlow : public QObject
{
    Q_OBJECT

public:
    // Pause between a collected card and the preparation of the next one.
    static constexpr int NextCardDelayMsec = 2000;

    CardIssueFlow(manager::CardIssuer& issuer, manager::Dispenser& dispenser,
                  QObject* parent = nullptr);

    // From issue() until the next card is prepared, or until the issue failed.
    bool running() const { return m_running; }
    // The last issue failed; cleared when the next one starts.
    bool failed() const { return m_failed; }

    // Issues a card with this device's entry record. An issuer out of order fails it at
    // once, without asking a device.
    void issue(const QString& deviceId);

Q_SIGNALS:
    // The passenger's status line, as its English source text.
    void statusText(const QString& source);
    void started();
    // A failure, before finished(): needsAssistance when trying again cannot help.
    void failure(bool needsAssistance);
    void failedChanged();
    // The passenger's part is over: the card is in the mouth, or the issue failed.
    void finished();
    // Collected, and the next card prepared or not: the gate can take a new touch.
    void ended();

private:
    void reportFailure(const QString& error);
    void prepareNextCard();
    void end();
    void setFailed(bool failed);

    manager::CardIssuer* m_issuer;
    manager::Dispenser* m_dispenser;
    bool m_running = false;
    // The card has reached the mouth: the passenger was already asked to take it.
    bool m_cardPresented = false;
    bool m_failed = false;
};
