#include "DispenserService.h"

#include <QJsonValue>

DispenserService::DispenserService(const QString& baseTopic, QObject* parent)
    : SimulatedService(
        baseTopic,
        deviceInfo({{QStringLiteral("manufacturer"), QStringLiteral("KVRT Simulation")},
                    {QStringLiteral("model"), QStringLiteral("Simulated dispenser")},
                    {QStringLiteral("firmware"), QStringLiteral("1.0")}},
                   QStringLiteral("1.0.0")),
        parent)
{
    m_leds = QJsonObject {{QStringLiteral("red"), false}, {QStringLiteral("green"), false}};
    m_takeTimer.setSingleShot(true);
    connect(&m_takeTimer, &QTimer::timeout, this, [this] { takeCard(); });

    addCommandTopics({QStringLiteral("/led/set")});
    // A device that cannot move refuses every movement alike.
    const auto movement = [this](QJsonObject (DispenserService::*move)()) {
        return [this, move](const QJsonObject&) {
            const QJsonObject fault = movementFault();
            return fault.isEmpty() ? (this->*move)() : fault;
        };
    };
    addMethod(QStringLiteral("/issue"), movement(&DispenserService::issue));
    addMethod(QStringLiteral("/accept"), movement(&DispenserService::accept));
    addMethod(QStringLiteral("/dispose"), movement(&DispenserService::dispose));
    addMethod(QStringLiteral("/eject"), movement(&DispenserService::eject));
    addMethod(QStringLiteral("/collect"), movement(&DispenserService::collect));
    addMethod(QStringLiteral("/accept/enable"),
              [this](const QJsonObject&) { return setAccept(true); });
    addMethod(QStringLiteral("/accept/disable"),
              [this](const QJsonObject&) { return setAccept(false); });
}

void DispenserService::setTakeDelay(int msec)
{
    msec = qMax(NeverTaken, msec);
    if (m_takeDelay == msec)
        return;
    m_takeDelay = msec;
    if (msec == NeverTaken)
        m_takeTimer.stop();
    Q_EMIT deviceChanged();
}

bool DispenserService::takeCard()
{
    if (!cardInMouth())
        return false;
    m_takeTimer.stop();
    m_takenUids.append(m_mouthCard);
    m_mouthCard.clear();
    ++m_taken;
    deviceUpdated();
    publishEvent(QStringLiteral("/card/removed"));
    return true;
}

bool DispenserService::insertCard(const QString& uid)
{
    if (!m_acceptEnabled || cardInMouth())
        return false;
    m_mouthCard = uid.isEmpty() ? newUid() : uid;
    deviceUpdated();
    return true;
}

bool DispenserService::placeCardAtRfid(const QString& uid)
{
    if (cardAtRfid())
        return false;
    setRfidCard(uid.isEmpty() ? newUid() : uid);
    deviceUpdated();
    return true;
}

QJsonObject DispenserService::deviceStatus() const
{
    return QJsonObject {
        {QStringLiteral("active"), m_active},
        {QStringLiteral("isJammed"), m_jammed},
        {QStringLiteral("isCartridgeDoorOpen"), m_doorOpen},
        {QStringLiteral("cardInMouth"), cardInMouth()},
        {QStringLiteral("cardInRfid"), cardAtRfid()},
        {QStringLiteral("cardsInCartridge"), m_cartridge},
        {QStringLiteral("acceptEnabled"), m_acceptEnabled},
    };
}

void DispenserService::handlePublication(const QString& suffix, const QJsonObject& json,
                                         bool payloadValid)
{
    if (suffix != QLatin1String("/led/set"))
        return;
    if (!payloadValid)
        return;
    // Lamps not named keep their state.
    for (const QString& lamp : {QStringLiteral("red"), QStringLiteral("green")}) {
        if (json.value(lamp).isBool())
            m_leds.insert(lamp, json.value(lamp).toBool());
    }
    Q_EMIT deviceChanged();
}

QJsonObject DispenserService::issue()
{
    if (cardAtRfid())
        return errorReply(RfidOccupied, QStringLiteral("Card already at RFID position"));
    if (m_cartridge <= 0)
        return errorReply(CartridgeEmpty, QStringLiteral("Cartridge empty"));
    --m_cartridge;
    ++m_issued;
    setRfidCard(newUid());
    deviceUpdated();
    return completed();
}

QJsonObject DispenserService::accept()
{
    if (!cardInMouth())
        return errorReply(NoCardInMouth, QStringLiteral("No card in mouth"));
    if (cardAtRfid())
        return errorReply(RfidOccupied, QStringLiteral("Card already at RFID position"));
    m_takeTimer.stop();
    const QString uid = m_mouthCard;
    m_mouthCard.clear();
    setRfidCard(uid);
    deviceUpdated();
    publishEvent(QStringLiteral("/card/inserted"));
    return completed();
}

QJsonObject DispenserService::dispose()
{
    if (!cardAtRfid())
        return errorReply(NoCardAtRfid, QStringLiteral("No card at RFID position"));
    setRfidCard(QString());
    ++m_disposed;
    deviceUpdated();
    publishEvent(QStringLiteral("/card/disposed"));
    return completed();
}

QJsonObject DispenserService::eject()
{
    if (!cardAtRfid())
        return errorReply(NoCardAtRfid, QStringLiteral("No card at RFID position"));
    if (cardInMouth())
        return errorReply(MouthOccupied, QStringLiteral("Card already in mouth"));
    m_mouthCard = m_rfidCard;
    setRfidCard(QString());
    deviceUpdated();
    // The user reaches for the card only once it is out, after this answer.
    if (m_takeDelay != NeverTaken)
        m_takeTimer.start(m_takeDelay);
    return completed();
}

QJsonObject DispenserService::collect()
{
    if (!cardInMouth())
        return errorReply(NoCardInMouth, QStringLiteral("No card in mouth"));
    m_takeTimer.stop();
    m_mouthCard.clear();
    ++m_disposed;
    deviceUpdated();
    publishEvent(QStringLiteral("/card/disposed"));
    return completed();
}

QJsonObject DispenserService::setAccept(bool enabled)
{
    if (!m_active)
        return errorReply(NotActive, QStringLiteral("Device not active"));
    if (m_acceptEnabled != enabled) {
        m_acceptEnabled = enabled;
        deviceUpdated();
    }
    return completed();
}

QJsonObject DispenserService::movementFault() const
{
    if (!m_active)
        return errorReply(NotActive, QStringLiteral("Device not active"));
    if (m_doorOpen)
        return errorReply(DoorOpen, QStringLiteral("Cartridge door open"));
    if (m_jammed)
        return errorReply(Jammed, QStringLiteral("Dispenser jammed"));
    return QJsonObject();
}

QString DispenserService::newUid()
{
    // Seven-byte UIDs as DESFire cards have them, distinct per dispenser.
    return QStringLiteral("04%1%2")
        .arg(quintptr(this) & 0xffffff, 6, 16, QLatin1Char('0'))
        .arg(++m_serial, 6, 16, QLatin1Char('0'))
        .toUpper();
}

void DispenserService::setRfidCard(const QString& uid)
{
    if (m_rfidCard == uid)
        return;
    const QString old = m_rfidCard;
    m_rfidCard = uid;
    if (!old.isEmpty())
        Q_EMIT cardLeftRfid(old);
    if (!uid.isEmpty())
        Q_EMIT cardArrivedAtRfid(uid);
}
