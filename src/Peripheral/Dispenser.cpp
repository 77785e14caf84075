#include "Dispenser.h"

#include "MqttClient.h"

#include <QDebug>
#include <QJsonValue>

#include <climits>

namespace manager {

Dispenser::Dispenser(MqttClient& mqtt, const QString& baseTopic, QObject* parent)
    : HardwareClient(mqtt, baseTopic, QStringLiteral("[Dispenser] "), parent)
{
    // The service may pad its payloads with NULs; an empty one means "{}".
    setStopAtNul(true);
    setEmptyPayload(EmptyPayload::AsEmptyObject);

    route(QStringLiteral("/info"),
          [this](const QJsonObject& json, const QString&) { readInfo(json); });
    route(QStringLiteral("/status"),
          [this](const QJsonObject& json, const QString&) { onStatus(json); });
    route(QStringLiteral("/card/inserted"),
          [this](const QJsonObject&, const QString&) { Q_EMIT cardAccepted(); });
    route(QStringLiteral("/card/removed"),
          [this](const QJsonObject&, const QString&) { Q_EMIT cardRemoved(); });
    route(QStringLiteral("/card/disposed"),
          [this](const QJsonObject&, const QString&) { Q_EMIT cardDisposed(); });

    subscribeTo(QStringLiteral("/info"));
    subscribeTo(QStringLiteral("/status"));
    subscribeTo(QStringLiteral("/card/inserted"));
    subscribeTo(QStringLiteral("/card/removed"));
    subscribeTo(QStringLiteral("/card/disposed"));
}

Deferred<Dispenser::Result> Dispenser::accept()
{
    return executeRpc(QStringLiteral("/accept"));
}

Deferred<Dispenser::Result> Dispenser::issue()
{
    return executeRpc(QStringLiteral("/issue"));
}

Deferred<Dispenser::Result> Dispenser::dispose()
{
    return executeRpc(QStringLiteral("/dispose"));
}

Deferred<Dispenser::Result> Dispenser::eject()
{
    return executeRpc(QStringLiteral("/eject"));
}

Deferred<Dispenser::Result> Dispenser::collect()
{
    return executeRpc(QStringLiteral("/collect"));
}

Deferred<Dispenser::Result> Dispenser::enableAccept()
{
    return executeRpc(QStringLiteral("/accept/enable"));
}

Deferred<Dispenser::Result> Dispenser::disableAccept()
{
    return executeRpc(QStringLiteral("/accept/disable"));
}

Deferred<Dispenser::Result> Dispenser::waitCollect(int collectTimeoutSec)
{
    // Seconds to milliseconds without overflow; 0 (and anything below) means
    // no limit, as for the MQTT client's wait.
    const qint64 msec = qBound<qint64>(0, qint64(collectTimeoutSec) * 1000, INT_MAX);

    Deferred<Result> result;
    mqtt()
        .waitTopic(topic(QStringLiteral("/card/removed")), int(msec))
        .done([result](const QJsonValue&) mutable {
            result.resolve(Result {0, QString()});
        })
        .fail([result](const QJsonValue& error) mutable {
            result.reject(Result {-1, error.toString()});
        });
    return result;
}

bool Dispenser::setLEDs(uint8_t mask)
{
    const QJsonObject leds {
        {QStringLiteral("red"), (mask & Red) != 0},
        {QStringLiteral("green"), (mask & Green) != 0},
    };
    return publishCommand(QStringLiteral("/led/set"), leds);
}

void Dispenser::parseFailed(const QByteArray& payload, const QString& topic, const QJsonParseError&)
{
    qCritical().noquote().nospace()
        << logTag() << "ERROR: Failed to parse JSON message (topic=" << topic
        << ") :" << payloadForLog(payload) << " )";
}

Deferred<Dispenser::Result> Dispenser::executeRpc(const QString& subtopic)
{
    return call<Result>(
        subtopic, {}, RequestTimeoutMsec,
        [](const QJsonObject&) {
            return Result {0, QString()};
        },
        [](const QJsonObject& error) {
            return Result {error.value(QStringLiteral("code")).toInt(),
                           error.value(QStringLiteral("description")).toString()};
        },
        [](const QString& error) {
            return Result {-1, error};
        });
}

void Dispenser::onStatus(const QJsonObject& json)
{
    // A service that is down says nothing about the mechanics: keep the last
    // known sensor flags and only mark the device inactive.
    if (!json.value(QStringLiteral("service")).toBool()) {
        setFlag(m_active, false, &Dispenser::activeChanged, QtInfoMsg, "Active changed : ");
        return;
    }
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    const auto flag
        = [&device](const char* key) { return device.value(QLatin1String(key)).toBool(); };
    setFlag(m_active, flag("active"), &Dispenser::activeChanged, QtInfoMsg, "Active changed : ");
    setFlag(m_jammed, flag("isJammed"), &Dispenser::isJammedChanged, QtInfoMsg,
            "Jammed changed : ");
    setFlag(m_doorOpen, flag("isCartridgeDoorOpen"), &Dispenser::isDoorOpenChanged, QtInfoMsg,
            "Door state changed : ", "Open", "Closed");
    setFlag(m_cardInMouth, flag("cardInMouth"), &Dispenser::cardInMouthChanged, QtWarningMsg,
            "Card in Mouth changed ");
    setFlag(m_cardInRfid, flag("cardInRfid"), &Dispenser::cardInRfidChanged, QtWarningMsg,
            "Card in RFID changed ");
}

void Dispenser::setFlag(bool& field, bool value, void (Dispenser::*notify)(), QtMsgType level,
                        const char* text, const char* on, const char* off)
{
    if (field == value)
        return;
    (level == QtWarningMsg ? qWarning() : qInfo()).noquote().nospace()
        << logTag() << text << (value ? on : off);
    field = value;
    Q_EMIT(this->*notify)();
}

} // namespace manager
