#include "RFID.h"

#include "EnumName.h"
#include "KVRTv1Card.h"
#include "MqttClient.h"
#include "SAM.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonValue>
#include <QPointer>

namespace manager {

namespace {
QString uidOf(const Tag::Ptr& tag)
{
    return tag ? tag->uid() : QStringLiteral("<none>");
}
} // namespace

RFID::RFID(MqttClient& mqtt, const QString& baseTopic, QObject* parent)
    : HardwareClient(mqtt, baseTopic, QStringLiteral("[RFID] "), parent)
{
    // Every message of this service carries a JSON object; an empty one is an error.
    setEmptyPayload(EmptyPayload::AsParseError);

    route(QStringLiteral("/info"),
          [this](const QJsonObject& json, const QString&) { onInfo(json); });
    route(QStringLiteral("/status"),
          [this](const QJsonObject& json, const QString&) { onStatus(json); });
    route(QStringLiteral("/card/found"),
          [this](const QJsonObject& json, const QString&) { onCardFound(json); });
    route(QStringLiteral("/card/removed"),
          [this](const QJsonObject&, const QString&) { onCardRemoved(); });
    route(QStringLiteral("/card/autoread"),
          [this](const QJsonObject& json, const QString&) { onAutoread(json); });

    subscribeTo(QStringLiteral("/#"));
}

QString RFID::stateToStr(State state)
{
    static const char* const Names[]
        = {"Init", "Idle", "Searching", "CardFound", "Updating", "Error"};
    return enumName(state, Names);
}

Card::Ptr RFID::cardFactory(const QJsonObject& json)
{
    if (json.value(QStringLiteral("template")).toString() == KVRTv1Card::Name)
        return KVRTv1Card::fromJson(json);
    return {};
}

Deferred<RFID::Result> RFID::enable(bool autoread)
{
    return executeRpc(QStringLiteral("/enable"), {{QStringLiteral("autoread"), autoread}},
                      RequestTimeoutMsec);
}

Deferred<RFID::Result> RFID::disable()
{
    return executeRpc(QStringLiteral("/disable"), {}, RequestTimeoutMsec);
}

Deferred<RFID::Result> RFID::createCard(const QString& name)
{
    return executeRpc(QStringLiteral("/card/create"), {{QStringLiteral("template"), name}},
                      RequestTimeoutMsec);
}

Deferred<RFID::Result> RFID::readCard(const QString& name, int usageLogs)
{
    const QJsonObject params {
        {QStringLiteral("template"), name},
        {QStringLiteral("usageLogs"), usageLogs},
        {QStringLiteral("topupLogs"), 0},
    };
    return executeRpc(QStringLiteral("/card/read"), params, RequestTimeoutMsec);
}

Deferred<RFID::Result> RFID::writeCard(Card::Ptr card)
{
    if (!card) {
        Deferred<Result> result;
        result.reject(Result {{}, QStringLiteral("No card to write")});
        return result;
    }
    // The card object, except that the content is always an object, never null.
    const QJsonObject params {
        {QStringLiteral("uid"), card->uid()},
        {QStringLiteral("type"), int(card->type())},
        {QStringLiteral("template"), card->name()},
        {QStringLiteral("data"), card->data()},
    };
    return executeRpc(QStringLiteral("/card/write"), params, RequestTimeoutMsec);
}

Deferred<RFID::Result> RFID::waitCardFound(int msec)
{
    Deferred<Result> result;
    switch (m_state) {
    case CardFound:
        result.resolve(Result {m_activeTag, QString()});
        break;
    case Searching:
        mqtt()
            .waitTopic(topic(QStringLiteral("/card/found")), msec)
            .done([result](const QJsonValue& value) mutable {
                result.resolve(Result {Tag::fromJson(value.toObject()), QString()});
            })
            .fail([result](const QJsonValue& error) mutable {
                result.reject(Result {{}, error.toString()});
            });
        break;
    default:
        result.reject(Result {{}, QStringLiteral("RF is disabled")});
        break;
    }
    return result;
}

bool RFID::beepValid()
{
    return publishEmpty(QStringLiteral("/beep/valid"));
}

bool RFID::beepInvalid()
{
    return publishEmpty(QStringLiteral("/beep/invalid"));
}

void RFID::setSAMs(const QJsonArray& sams)
{
    for (SAM* sam : qAsConst(m_sams))
        sam->deleteLater();
    m_sams = SAM::listFromJson(sams, this, logTag()).toList();
}

void RFID::handleMessage(const QByteArray& payload, const QString& topic)
{
    // Under base + "/#" come also the empty commands that switch the reader and
    // make it beep, this client's own among them.
    static const QStringList Commands {QStringLiteral("/enable"), QStringLiteral("/disable"),
                                       QStringLiteral("/beep/valid"),
                                       QStringLiteral("/beep/invalid")};
    for (const QString& suffix : Commands) {
        if (topic == this->topic(suffix))
            return;
    }
    DeviceClient::handleMessage(payload, topic);
}

void RFID::parseFailed(const QByteArray& payload, const QString&, const QJsonParseError&)
{
    qCritical().noquote().nospace()
        << logTag() << "Failed to parse JSON message: " << payloadForLog(payload);
}

Deferred<RFID::Result> RFID::executeRpc(const QString& subtopic, const QJsonObject& request,
                                        int timeout)
{
    // A reply may outlive this client (the MQTT client lives on); it then only
    // settles the result.
    QPointer<RFID> self(this);
    return call<Result>(
        subtopic, request, timeout,
        [self](const QJsonObject& reply) {
            // Whatever the service reports in the field replaces the active tag,
            // also when it reports nothing.
            const Tag::Ptr card = cardFactory(reply.value(QStringLiteral("data")).toObject());
            if (self)
                self->setActiveCard(card);
            return Result {card, QString()};
        },
        [](const QJsonObject& error) {
            return Result {{}, error.value(QStringLiteral("what")).toString()};
        },
        [](const QString& error) {
            return Result {{}, error};
        });
}

void RFID::onInfo(const QJsonObject& json)
{
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    setUid(device.value(QStringLiteral("uid")).toString());
    readInfo(json);
}

void RFID::onStatus(const QJsonObject& json)
{
    if (!json.value(QStringLiteral("service")).toBool()) {
        setState(Error);
        setError(QStringLiteral("Service is offline"));
        return;
    }
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    setState(State(device.value(QStringLiteral("state")).toInt()));
    setError(device.value(QStringLiteral("error")).toString());
    if (m_state == Idle && m_activeTag) {
        qWarning().noquote().nospace() << logTag() << "WARN: RF disabled. Clearing active card";
        setActiveCard({});
    }
}

void RFID::onCardFound(const QJsonObject& json)
{
    setActiveCard(Tag::fromJson(json));
    Q_EMIT cardFound(m_activeTag);
}

void RFID::onCardRemoved()
{
    Q_EMIT cardRemoved(m_activeTag);
    setActiveCard({});
}

void RFID::onAutoread(const QJsonObject& json)
{
    if (json.contains(QStringLiteral("error"))) {
        Q_EMIT cardAutoreadFailed(json.value(QStringLiteral("error"))
                                      .toObject()
                                      .value(QStringLiteral("what"))
                                      .toString());
        return;
    }
    const Card::Ptr card = cardFactory(json);
    setActiveCard(card);
    Q_EMIT cardAutoread(card);
}

void RFID::setUid(const QString& value)
{
    updateProperty(m_uid, value, this, &RFID::uidChanged);
}

void RFID::setError(const QString& value)
{
    updateProperty(m_error, value, this, &RFID::errorChanged);
}

void RFID::setState(State state)
{
    if (m_state == state)
        return;
    qInfo().noquote().nospace() << logTag() << "State changed : " << stateToStr(state);
    m_state = state;
    Q_EMIT stateChanged();
}

void RFID::setActiveCard(Tag::Ptr tag)
{
    if (m_activeTag == tag)
        return;
    qInfo().noquote().nospace() << logTag() << "Active tag changed : old=" << uidOf(m_activeTag)
                                << " new=" << uidOf(tag);
    m_activeTag = tag;
    Q_EMIT activeCardChanged();
}

} // namespace manager
