#pragma once

#include "SimulatedService.h"

#include <QStringList>
#include <QTimer>

// Stand-in for the card dispenser service: a cartridge with a finite number of
// blank cards, a transport that moves one card at a time between the cartridge,
// the RFID position, the mouth and the reject bin, and the user who takes an
// ejected card after a while (or never, or when told to).
//
// Methods: "/issue", "/accept", "/dispose", "/eject", "/collect",
// "/accept/enable", "/accept/disable"; each answers after its motion delay with
// {"completed": true} or {"completed": false, "error": {"code", "description"}}.
// Events: "/card/inserted" (a card taken back in from the mouth), "/card/removed"
// (the user took the card from the mouth), "/card/disposed" (a card went into the
// reject bin). An event follows the status that shows its outcome, so that
// whoever reacts to it finds the device state already up to date.
class DispenserService : public SimulatedService
{
    Q_OBJECT
    Q_PROPERTY(
        int cardsInCartridge READ cardsInCartridge WRITE setCardsInCartridge NOTIFY deviceChanged)
    Q_PROPERTY(bool active READ isActive WRITE setActive NOTIFY deviceChanged)
    Q_PROPERTY(bool jammed READ isJammed WRITE setJammed NOTIFY deviceChanged)
    Q_PROPERTY(bool doorOpen READ isDoorOpen WRITE setDoorOpen NOTIFY deviceChanged)
    Q_PROPERTY(bool cardAtRfid READ cardAtRfid NOTIFY deviceChanged)
    Q_PROPERTY(bool cardInMouth READ cardInMouth NOTIFY deviceChanged)
    Q_PROPERTY(int takeDelay READ takeDelay WRITE setTakeDelay NOTIFY deviceChanged)

public:
    enum ErrorCode {
        NotActive = 1,
        DoorOpen = 2,
        Jammed = 3,
        CartridgeEmpty = 4,
        NoCardAtRfid = 5,
        NoCardInMouth = 6,
        RfidOccupied = 7,
        MouthOccupied = 8,
    };
    Q_ENUM(ErrorCode)

    // A take delay below 0 means the user never takes the card by himself.
    static constexpr int NeverTaken = -1;

    explicit DispenserService(const QString& baseTopic = QStringLiteral("ovant/dispenser"),
                              QObject* parent = nullptr);

    int cardsInCartridge() const { return m_cartridge; }
    // 0 is the empty-cartridge fault.
    void setCardsInCartridge(int cards) { updateDevice(m_cartridge, qMax(0, cards)); }
    bool isActive() const { return m_active; }
    void setActive(bool active) { updateDevice(m_active, active); }
    bool isJammed() const { return m_jammed; }
    void setJammed(bool jammed) { updateDevice(m_jammed, jammed); }
    bool isDoorOpen() const { return m_doorOpen; }
    void setDoorOpen(bool open) { updateDevice(m_doorOpen, open); }

    bool cardAtRfid() const { return !m_rfidCard.isEmpty(); }
    const QString& cardAtRfidUid() const { return m_rfidCard; }
    bool cardInMouth() const { return !m_mouthCard.isEmpty(); }
    const QString& cardInMouthUid() const { return m_mouthCard; }
    bool acceptEnabled() const { return m_acceptEnabled; }

    // Motion delay of every movement (see also setDelay() per method).
    void setMotionDelay(int msec) { setDefaultDelay(msec); }
    // Time the user takes to pick up an ejected card; NeverTaken: only takeCard().
    int takeDelay() const { return m_takeDelay; }
    void setTakeDelay(int msec);

    // The user takes the card from the mouth. False when there is none.
    bool takeCard();
    // The user pushes a card into the mouth (accepted only while acceptance is
    // enabled and the mouth is free). An empty uid gets a new one.
    bool insertCard(const QString& uid = QString());
    // Puts a card at the RFID position directly (as if left there before).
    bool placeCardAtRfid(const QString& uid = QString());

    // The lamps as last set through "/led/set".
    const QJsonObject& leds() const { return m_leds; }

    int issuedCount() const { return m_issued; }
    int disposedCount() const { return m_disposed; }
    int takenCount() const { return m_taken; }
    // The cards the user took from the mouth, oldest first.
    const QStringList& takenUids() const { return m_takenUids; }

Q_SIGNALS:
    // A card reached or left the RFID position: what an RFID reader there sees.
    void cardArrivedAtRfid(const QString& uid);
    void cardLeftRfid(const QString& uid);

protected:
    QJsonObject deviceStatus() const override;
    void handlePublication(const QString& suffix, const QJsonObject& json,
                           bool payloadValid) override;

private:
    // The movements, once movementFault() has let them go.
    QJsonObject issue();
    QJsonObject accept();
    QJsonObject dispose();
    QJsonObject eject();
    QJsonObject collect();
    QJsonObject setAccept(bool enabled);

    // The refusal of a movement by a device that cannot move, or an empty object.
    QJsonObject movementFault() const;
    QString newUid();
    void setRfidCard(const QString& uid);

    int m_cartridge = 100;
    bool m_active = true;
    bool m_jammed = false;
    bool m_doorOpen = false;
    bool m_acceptEnabled = false;
    QString m_rfidCard;
    QString m_mouthCard;
    int m_takeDelay = 0;
    QTimer m_takeTimer;
    QJsonObject m_leds;
    int m_serial = 0;
    int m_issued = 0;
    int m_disposed = 0;
    int m_taken = 0;
    QStringList m_takenUids;
};
