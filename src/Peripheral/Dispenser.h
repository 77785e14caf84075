#pragma once

#include "HardwareClient.h"

#include <QMetaType>
#include <QString>

#include <cstdint>

namespace manager {

// Client of the card dispenser service: mirrors the published device state,
// relays the card events and offers one request per card movement. It never
// moves a card by itself; the card issuer decides the sequence.
class Dispenser : public HardwareClient
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool isJammed READ isJammed NOTIFY isJammedChanged)
    Q_PROPERTY(bool isDoorOpen READ isDoorOpen NOTIFY isDoorOpenChanged)
    Q_PROPERTY(bool cardInMouth READ cardInMouth NOTIFY cardInMouthChanged)
    Q_PROPERTY(bool cardInRfid READ cardInRfid NOTIFY cardInRfidChanged)
    Q_PROPERTY(QString cartridge READ cartridge NOTIFY cartridgeChanged)

public:
    // Outcome of every operation: code 0 and no error on success, the service's
    // code and description on a refusal, -1 and the transport's text otherwise.
    struct Result
    {
        int code = 0;
        QString error;
    };

    // Lamps of setLEDs(), combined as a bit mask.
    enum { Off = 0, Green = 1, Red = 2 };

    static constexpr int RequestTimeoutMsec = 20000;

    Dispenser(MqttClient& mqtt, const QString& baseTopic, QObject* parent = nullptr);

    const QString& cartridge() const { return m_cartridge; }
    bool active() const { return m_active; }
    bool isJammed() const { return m_jammed; }
    bool isDoorOpen() const { return m_doorOpen; }
    bool cardInMouth() const { return m_cardInMouth; }
    bool cardInRfid() const { return m_cardInRfid; }

    // Card movements, one request each.
    Deferred<Result> accept();
    Deferred<Result> issue();
    Deferred<Result> dispose();
    Deferred<Result> eject();
    Deferred<Result> collect();
    Deferred<Result> enableAccept();
    Deferred<Result> disableAccept();

    // Waits for the next card-removed event; 0 waits without limit.
    Deferred<Result> waitCollect(int collectTimeoutSec);

    // Fire-and-forget: switches the lamps of the mask on, the others off.
    bool setLEDs(uint8_t mask);

Q_SIGNALS:
    void activeChanged();
    void isJammedChanged();
    void isDoorOpenChanged();
    void cardInMouthChanged();
    void cardInRfidChanged();
    void cartridgeChanged();
    void sensorsChanged();
    void cardAccepted();
    void cardRemoved();
    void cardDisposed();

protected:
    void parseFailed(const QByteArray& payload, const QString& topic,
                     const QJsonParseError& error) override;

private:
    Deferred<Result> executeRpc(const QString& subtopic);

    void onStatus(const QJsonObject& json);

    // Stores a sensor flag; on a change logs the text and the flag's word at the
    // level given and notifies.
    void setFlag(bool& field, bool value, void (Dispenser::*notify)(), QtMsgType level,
                 const char* text, const char* on = "true", const char* off = "false");

    bool m_active = false;
    bool m_jammed = false;
    bool m_doorOpen = false;
    bool m_cardInMouth = false;
    bool m_cardInRfid = false;
    QString m_cartridge;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::Dispenser::Result)
