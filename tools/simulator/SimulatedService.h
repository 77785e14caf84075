#pragma once

#include "ServiceEndpoint.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// A stand-in for one of the terminal's local device services, on its own broker
// connection. It answers requests on "<base><method>/request/<id>" with one JSON
// object on "<base><method>/response/<id>" after a per-method delay, publishes its
// info and status (retained, again on every (re)connection and on "/info/get" and
// "/status/get"), and can be switched offline: it then reports "service": false
// and answers nothing. Replies can be scripted per method; every request is
// recorded in arrival order.
class SimulatedService : public ServiceEndpoint
{
    Q_OBJECT

public:
    struct Request
    {
        QString method; // e.g. "/issue" or "/card/write"
        QString id;
        QJsonObject params;
        bool valid = true; // false when the payload was not a JSON object
    };

    ~SimulatedService() override;

    // Scripting: a reply set for a method is sent instead of the service's own
    // answer (and without its effect) until it is cleared.
    void setReply(const QString& method, const QJsonObject& reply);
    void clearReply(const QString& method);
    void clearReplies();
    // Delay before a method's answer (and effect), in milliseconds.
    void setDelay(const QString& method, int msec);
    void setDefaultDelay(int msec) { m_defaultDelay = qMax(0, msec); }
    int delay(const QString& method) const { return m_delays.value(method, m_defaultDelay); }

    const QList<Request>& requests() const { return m_requests; }
    QStringList requestedMethods() const;
    void clearRequests() { m_requests.clear(); }

    // Publishes the info and the status now (the status says "service": false
    // while offline).
    void publishInfo();
    void publishStatus();

Q_SIGNALS:
    // Something the service reports under "device" changed.
    void deviceChanged();
    void requestReceived(const QString& method, const QJsonObject& params);
    void replied(const QString& method, const QJsonObject& reply);

protected:
    using Method = std::function<QJsonObject(const QJsonObject& params)>;

    SimulatedService(const QString& baseTopic, const QJsonObject& info, QObject* parent);

    // Registers the service's own answer (and effect) for a method.
    void addMethod(const QString& method, Method handler);
    // Plain command topics (suffixes, wildcards allowed) the service listens to besides
    // its requests ("<base>/<method up to three levels>/request/<id>") and "/info/get"
    // and "/status/get"; they go to handlePublication().
    void addCommandTopics(const QStringList& suffixes) { m_commandTopics += suffixes; }
    // Info as most devices give it: {"device": device (when not empty), "service": {"version"}}.
    static QJsonObject deviceInfo(const QJsonObject& device, const QString& version);

    // A publication under the base, compact JSON, QoS 0, not retained. (The
    // status and info are retained; answers go out with QoS 1.)
    void publishEvent(const QString& suffix, const QJsonObject& payload = QJsonObject());
    // Another state topic under the base, retained (QoS 1), while online.
    void publishSetting(const QString& suffix, const QJsonObject& payload);

    // Stores a device value; a change is published and signalled (deviceUpdated()).
    template<typename T>
    bool updateDevice(T& field, const T& value)
    {
        if (field == value)
            return false;
        field = value;
        deviceUpdated();
        return true;
    }
    virtual void deviceUpdated();

    // The "device" part of the status.
    virtual QJsonObject deviceStatus() const = 0;
    // The service's way of refusing a request: {"completed": false, "error": {"code",
    // "description"}} unless the service says otherwise.
    virtual QJsonObject errorReply(int code, const QString& text) const;
    // A message on one of the command topics. payloadValid is false when the
    // payload was not a JSON object (an empty one counts as {}); json is then empty.
    virtual void handlePublication(const QString& suffix, const QJsonObject& json,
                                   bool payloadValid);

    static QJsonObject completed(const QJsonObject& extra = QJsonObject());

private:
    QStringList subscriptions() const override;
    void onMessage(const QString& topic, const QByteArray& payload) override;
    void announce() override;
    void onRequest(const QString& method, const QString& id, const QByteArray& payload);
    void answer(const Request& request);

    const QJsonObject m_info;
    QStringList m_commandTopics;
    int m_defaultDelay = 0;
    QHash<QString, Method> m_methods;
    QHash<QString, QJsonObject> m_replies;
    QHash<QString, int> m_delays;
    QList<Request> m_requests;
};
