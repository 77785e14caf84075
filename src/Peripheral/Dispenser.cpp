#include "Dispenser.h"

#include "MqttClient.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonValue>

#include <climits>

namespace manager {

namespace {
const char* boolText(bool value)
{
    return value ? "true" : "false";
}
} // namespace

Dispenser::Dispenser(MqttClient& mqtt, const QString& baseTopic, QObject* parent)
    : DeviceClient(mqtt, baseTopic, QStringLiteral("[Dispenser] "), parent)
{
    // The service may pad its payloads with NULs; an empty one means "{}".
    setStopAtNul(true);
    setEmptyPayload(EmptyPayload::AsEmptyObject);

    route(QStringLiteral("/info"),
          [this](const QJsonObject& json, const QString&) { onInfo(json); });
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
    return executeRpc(QStringLiteral("/accept"), {}, RequestTimeoutMsec);
}

Deferred<Dispenser::Result> Dispenser::issue()
{
    return executeRpc(QStringLiteral("/issue"), {}, RequestTimeoutMsec);
}

Deferred<Dispenser::Result> Dispenser::dispose()
{
    return executeRpc(QStringLiteral("/dispose"), {}, RequestTimeoutMsec);
}

Deferred<Dispenser::Result> Dispenser::eject()
{
    return executeRpc(QStringLiteral("/eject"), {}, RequestTimeoutMsec);
}

Deferred<Dispenser::Result> Dispenser::collect()
{
    return executeRpc(QStringLiteral("/collect"), {}, RequestTimeoutMsec);
}

Deferred<Dispenser::Result> Dispenser::enableAccept()
{
    return executeRpc(QStringLiteral("/accept/enable"), {}, RequestTimeoutMsec);
}

Deferred<Dispenser::Result> Dispenser::disableAccept()
{
    return executeRpc(QStringLiteral("/accept/disable"), {}, RequestTimeoutMsec);
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

Deferred<Dispenser::Result> Dispenser::executeRpc(const QString& subtopic,
                                                  const QJsonObject& request, int timeout)
{
    Deferred<Result> result;
    this->request(subtopic, request, timeout)
        .done([result](const QJsonValue& value) mutable {
            const QJsonObject reply = value.toObject();
            if (reply.value(QStringLiteral("completed")).toBool()) {
                result.resolve(Result {0, QString()});
                return;
            }
            const QJsonObject error = reply.value(QStringLiteral("error")).toObject();
            result.reject(Result {error.value(QStringLiteral("code")).toInt(),
                                  error.value(QStringLiteral("description")).toString()});
        })
        .fail([result](const QJsonValue& error) mutable {
            result.reject(Result {-1, error.toString()});
        });
    return result;
}

void Dispenser::onInfo(const QJsonObject& json)
{
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    setFirmware(device.value(QStringLiteral("firmware")).toString());
    setManufacturer(device.value(QStringLiteral("manufacturer")).toString());
    setModel(device.value(QStringLiteral("model")).toString());
    setSoftware(json.value(QStringLiteral("service"))
                    .toObject()
                    .value(QStringLiteral("version"))
                    .toString());
}

void Dispenser::onStatus(const QJsonObject& json)
{
    // A service that is down says nothing about the mechanics: keep the last
    // known sensor flags and only mark the device inactive.
    if (!json.value(QStringLiteral("service")).toBool()) {
        setActive(false);
        return;
    }
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    setActive(device.value(QStringLiteral("active")).toBool());
    setIsJammed(device.value(QStringLiteral("isJammed")).toBool());
    setIsDoorOpen(device.value(QStringLiteral("isCartridgeDoorOpen")).toBool());
    setCardInMouth(device.value(QStringLiteral("cardInMouth")).toBool());
    setCardInRfid(device.value(QStringLiteral("cardInRfid")).toBool());
}

void Dispenser::setManufacturer(const QString& value)
{
    updateProperty(m_manufacturer, value, this, &Dispenser::manufacturerChanged);
}

void Dispenser::setModel(const QString& value)
{
    updateProperty(m_model, value, this, &Dispenser::modelChanged);
}

void Dispenser::setFirmware(const QString& value)
{
    updateProperty(m_firmware, value, this, &Dispenser::firmwareChanged);
}

void Dispenser::setSoftware(const QString& value)
{
    updateProperty(m_software, value, this, &Dispenser::softwareChanged);
}

void Dispenser::setCartridge(const QString& value)
{
    updateProperty(m_cartridge, value, this, &Dispenser::cartridgeChanged);
}

void Dispenser::setActive(bool value)
{
    if (m_active == value)
        return;
    qInfo().noquote().nospace() << logTag() << "Active changed : " << boolText(value);
    m_active = value;
    Q_EMIT activeChanged();
}

void Dispenser::setIsJammed(bool value)
{
    if (m_jammed == value)
        return;
    qInfo().noquote().nospace() << logTag() << "Jammed changed : " << boolText(value);
    m_jammed = value;
    Q_EMIT isJammedChanged();
}

void Dispenser::setIsDoorOpen(bool value)
{
    if (m_doorOpen == value)
        return;
    qInfo().noquote().nospace() << logTag()
                                << "Door state changed : " << (value ? "Open" : "Closed");
    m_doorOpen = value;
    Q_EMIT isDoorOpenChanged();
}

void Dispenser::setCardInMouth(bool value)
{
    if (m_cardInMouth == value)
        return;
    qWarning().noquote().nospace() << logTag() << "Card in Mouth changed " << boolText(value);
    m_cardInMouth = value;
    Q_EMIT cardInMouthChanged();
}

void Dispenser::setCardInRfid(bool value)
{
    if (m_cardInRfid == value)
        return;
    qWarning().noquote().nospace() << logTag() << "Card in RFID changed " << boolText(value);
    m_cardInRfid = value;
    Q_EMIT cardInRfidChanged();
}

} // namespace manager
