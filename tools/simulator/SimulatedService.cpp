#include "SimulatedService.h"

#include <QDebug>
#include <QTimer>

namespace {
const char* const Tag_ = "[Simulator] ";
const QString RequestMark = QStringLiteral("/request/");
const QString ResponseMark = QStringLiteral("/response/");

enum GenericError {
    MalformedRequest = 100,
    UnknownMethod = 101,
};
} // namespace

SimulatedService::SimulatedService(const QString& baseTopic, const QJsonObject& info,
                                   QObject* parent)
    : ServiceEndpoint(baseTopic, QLatin1String(Tag_), parent)
    , m_info(info)
{ }

SimulatedService::~SimulatedService() = default;

void SimulatedService::setReply(const QString& method, const QJsonObject& reply)
{
    m_replies.insert(method, reply);
}

void SimulatedService::clearReply(const QString& method)
{
    m_replies.remove(method);
}

void SimulatedService::clearReplies()
{
    m_replies.clear();
}

void SimulatedService::setDelay(const QString& method, int msec)
{
    m_delays.insert(method, qMax(0, msec));
}

QStringList SimulatedService::requestedMethods() const
{
    QStringList methods;
    for (const Request& request : m_requests)
        methods.append(request.method);
    return methods;
}

void SimulatedService::publishInfo()
{
    if (isOnline())
        publish(topic(QStringLiteral("/info")), m_info, 0, true);
}

void SimulatedService::publishStatus()
{
    QJsonObject status {{QStringLiteral("service"), isOnline()}};
    if (isOnline())
        status.insert(QStringLiteral("device"), deviceStatus());
    publish(topic(QStringLiteral("/status")), status, 0, true);
}

void SimulatedService::announce()
{
    publishInfo();
    publishStatus();
}

void SimulatedService::addMethod(const QString& method, Method handler)
{
    m_methods.insert(method, std::move(handler));
}

void SimulatedService::publishEvent(const QString& suffix, const QJsonObject& payload)
{
    publish(topic(suffix), payload, 0, false);
}

void SimulatedService::publishSetting(const QString& suffix, const QJsonObject& payload)
{
    if (isOnline())
        publish(topic(suffix), payload, 1, true);
}

void SimulatedService::deviceUpdated()
{
    publishStatus();
    Q_EMIT deviceChanged();
}

QJsonObject SimulatedService::errorReply(int code, const QString& text) const
{
    return {{QStringLiteral("completed"), false},
            {QStringLiteral("error"),
             QJsonObject {{QStringLiteral("code"), code}, {QStringLiteral("description"), text}}}};
}

QJsonObject SimulatedService::deviceInfo(const QJsonObject& device, const QString& version)
{
    QJsonObject info {
        {QStringLiteral("service"), QJsonObject {{QStringLiteral("version"), version}}}};
    if (!device.isEmpty())
        info.insert(QStringLiteral("device"), device);
    return info;
}

void SimulatedService::handlePublication(const QString&, const QJsonObject&, bool) { }

QJsonObject SimulatedService::completed(const QJsonObject& extra)
{
    QJsonObject reply = extra;
    reply.insert(QStringLiteral("completed"), true);
    return reply;
}

QStringList SimulatedService::subscriptions() const
{
    QStringList filters {topic(QStringLiteral("/+/request/+")),
                         topic(QStringLiteral("/+/+/request/+")),
                         topic(QStringLiteral("/+/+/+/request/+")),
                         topic(QStringLiteral("/info/get")), topic(QStringLiteral("/status/get"))};
    for (const QString& suffix : m_commandTopics)
        filters.append(topic(suffix));
    return filters;
}

void SimulatedService::onMessage(const QString& name, const QByteArray& payload)
{
    if (!name.startsWith(baseTopic() + QLatin1Char('/')))
        return;
    const QString suffix = name.mid(baseTopic().size());

    const int mark = suffix.lastIndexOf(RequestMark);
    if (mark >= 0) {
        const QString method = suffix.left(mark);
        const QString id = suffix.mid(mark + RequestMark.size());
        if (method.isEmpty() || id.isEmpty() || id.contains(QLatin1Char('/'))
            || id.contains(QLatin1Char('+')) || id.contains(QLatin1Char('#'))) {
            qWarning().noquote().nospace()
                << Tag_ << "WARN: Ignoring request on malformed topic " << name;
            return;
        }
        onRequest(method, id, payload);
        return;
    }

    if (!isOnline())
        return;
    if (suffix == QLatin1String("/info/get")) {
        publishInfo();
        return;
    }
    if (suffix == QLatin1String("/status/get")) {
        publishStatus();
        return;
    }
    QJsonObject json;
    const bool valid = parseObject(payload, &json);
    handlePublication(suffix, json, valid);
}

void SimulatedService::onRequest(const QString& method, const QString& id,
                                 const QByteArray& payload)
{
    Request request;
    request.method = method;
    request.id = id;
    request.valid = parseObject(payload, &request.params);
    m_requests.append(request);
    Q_EMIT requestReceived(method, request.params);

    if (!isOnline())
        return;
    if (!request.valid) {
        qWarning().noquote().nospace() << Tag_ << "WARN: Malformed request on " << baseTopic()
                                       << method << " : " << QString::fromUtf8(payload.left(200));
    }
    // Like a device in motion: the answer comes when the movement is over.
    QTimer::singleShot(delay(method), this, [this, request] { answer(request); });
}

void SimulatedService::answer(const Request& request)
{
    // A service that went offline meanwhile never answers.
    if (!isOnline())
        return;

    QJsonObject reply;
    if (!request.valid) {
        reply = errorReply(MalformedRequest, QStringLiteral("Malformed request"));
    } else if (m_replies.contains(request.method)) {
        reply = m_replies.value(request.method);
    } else if (const auto method = m_methods.constFind(request.method);
               method != m_methods.constEnd()) {
        reply = method.value()(request.params);
    } else {
        reply = errorReply(UnknownMethod, QStringLiteral("Unknown method ") + request.method);
    }
    publish(topic(request.method + ResponseMark + request.id), reply, 1, false);
    Q_EMIT replied(request.method, reply);
}
