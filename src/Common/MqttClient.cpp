#include "MqttClient.h"

#include "MqttSubscription.h"
#include "SecretMask.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <climits>

namespace manager {

namespace {

QDebug debugLog()
{
    return qDebug().noquote().nospace() << "[MqttClient] ";
}

QDebug infoLog()
{
    return qInfo().noquote().nospace() << "[MqttClient] ";
}

QDebug warningLog()
{
    return qWarning().noquote().nospace() << "[MqttClient] ";
}

// Messages and publications are frequent: skip formatting their debug lines when nobody
// reads them.
bool debugEnabled()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

QString compactJson(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

struct MqttClient::Wait
{
    Deferred<QJsonValue> result;
    QPointer<MqttSubscription> subscription;
    QPointer<QTimer> timer;
    QMetaObject::Connection onMessage;
    QMetaObject::Connection onState;
    std::atomic_bool done {false};
};

MqttClient::MqttClient(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<MqttConnection::ClientState>("ClientState");
    qRegisterMetaType<MqttConnection::ClientError>("ClientError");
}

MqttClient::~MqttClient() = default;

void MqttClient::setHostname(const QString& hostname)
{
    m_hostname = hostname;
}

void MqttClient::setPort(quint32 port)
{
    m_port = port;
}

void MqttClient::setUsername(const QString& username)
{
    m_username = username;
}

void MqttClient::setPassword(const QString& password)
{
    m_password = password;
}

void MqttClient::setRetryMillis(quint32 millis)
{
    m_retryMillis = int(qMin<quint32>(millis, INT_MAX));
}

void MqttClient::setEncrypted(bool encrypted)
{
    m_encrypted = encrypted;
}

void MqttClient::setCleanSession(bool cleanSession)
{
    m_cleanSession = cleanSession;
}

void MqttClient::setClientId(const QString& clientId)
{
    m_clientId = clientId;
}

void MqttClient::setKeepAlive(quint8 seconds)
{
    m_keepAlive = seconds;
}

void MqttClient::setWillMessage(const QByteArray& message)
{
    m_willMessage = message;
}

void MqttClient::setWillQoS(quint8 qos)
{
    m_willQos = qos;
}

void MqttClient::setWillRetain(bool retain)
{
    m_willRetain = retain;
}

void MqttClient::setWillTopic(const QString& topic)
{
    m_willTopic = topic;
}

bool MqttClient::isConnected() const
{
    return m_client && m_client->state() == MqttConnection::Connected;
}

int MqttClient::subscriptionCount() const
{
    return m_client ? m_client->subscriptionCount() : 0;
}

void MqttClient::connect()
{
    // New parameters may fail differently, or in the same way: either is reported again.
    if (!m_retrying) {
        m_failures = 0;
        m_failure = MqttConnection::NoError;
    }
    // The retries of a failing connection are not news.
    (m_failures > 0 ? debugLog() : infoLog()) << "Connecting to host";
    m_autoReconnect = true;

    if (!m_connectionTimer) {
        m_connectionTimer = new QTimer(this);
        QObject::connect(m_connectionTimer, &QTimer::timeout, this, &MqttClient::onTimeout);
        m_reconnectTimer = new QTimer(this);
        m_reconnectTimer->setSingleShot(true);
        QObject::connect(m_reconnectTimer, &QTimer::timeout, this, &MqttClient::onReconnect);
    }
    debugLog() << "Applying client configuration:";
    debugLog() << "Retry interval millis: " << m_retryMillis;
    m_connectionTimer->setInterval(m_retryMillis);

    if (!m_client) {
        m_client = new MqttConnection(this);
        // The remembered subscriptions are made before anyone hears of the connection,
        // so that the answers to what clients request on connected() are not missed.
        QObject::connect(m_client, &MqttConnection::connected, this, &MqttClient::onConnected);
        QObject::connect(m_client, &MqttConnection::connected, this, &MqttClient::connected);
        QObject::connect(m_client, &MqttConnection::disconnected, this, &MqttClient::disconnected);
        QObject::connect(m_client, &MqttConnection::disconnected, this,
                         &MqttClient::onDisconnected);
        QObject::connect(m_client, &MqttConnection::errorChanged, this, &MqttClient::onError);
        QObject::connect(m_client, &MqttConnection::stateChanged, this,
                         &MqttClient::onStateChanged);
        QObject::connect(m_client, &MqttConnection::messageReceived, this, &MqttClient::onReceived);
    }
    debugLog() << "Applying client configuration:";
    debugLog() << "Hostname: " << m_hostname;
    debugLog() << "Port    : " << m_port;
    debugLog() << "Username: " << m_username;
    debugLog() << "CleanSession: " << boolText(m_cleanSession);
    debugLog() << "Client Id   : " << m_clientId;
    debugLog() << "Keepalive   : " << int(m_keepAlive);
    debugLog() << "Will Message: " << SecretMask::text(m_willMessage);
    debugLog() << "Will QoS    : " << int(m_willQos);
    debugLog() << "Will Retain : " << boolText(m_willRetain);
    debugLog() << "Will Topic  : " << m_willTopic;

    // A port beyond 16 bits must not wrap round to some other port: use 0, which no broker
    // listens on, so that the attempt fails visibly and is retried with the next connect().
    quint16 port = quint16(m_port);
    if (m_port > 0xFFFF) {
        warningLog() << "Invalid port: " << m_port;
        port = 0;
    }
    m_client->setHostname(m_hostname);
    m_client->setPort(port);
    m_client->setUsername(m_username);
    m_client->setPassword(m_password);
    m_client->setCleanSession(m_cleanSession);
    m_client->setClientId(m_clientId);
    m_client->setKeepAlive(m_keepAlive);
    m_client->setWillMessage(m_willMessage);
    m_client->setWillQoS(m_willQos);
    m_client->setWillRetain(m_willRetain);
    m_client->setWillTopic(m_willTopic);

    if (m_encrypted && !m_retrying)
        warningLog() << "Encryption not yet supported";

    m_client->connectToHost();
}

void MqttClient::disconnect()
{
    infoLog() << "Disconnecting from host";
    m_autoReconnect = false;
    if (m_reconnectTimer)
        m_reconnectTimer->stop();
    if (m_client)
        m_client->disconnectFromHost();
}

void MqttClient::subscribe(const QString& topic, quint8 qos)
{
    m_subsTopics.append(qMakePair(topic, qos));
    if (isConnected())
        subscribeNow(topic, qos);
}

void MqttClient::subscribeNow(const QString& topic, quint8 qos)
{
    infoLog() << "Subscribing to '" << topic << "' with QoS = " << int(qos);
    MqttSubscription* subscription = m_client->subscribe(topic, qos);
    if (!subscription) {
        emit error(QStringLiteral("Subscription to ") + topic + QStringLiteral(" failed."));
        return;
    }
    // A refusal by the broker (SUBACK failure) is the same failure, only later.
    QObject::connect(subscription, &MqttSubscription::stateChanged, this,
                     &MqttClient::onSubscriptionStateChanged, Qt::UniqueConnection);
}

void MqttClient::onSubscriptionStateChanged()
{
    auto* subscription = qobject_cast<MqttSubscription*>(sender());
    if (subscription && subscription->state() == MqttSubscription::Error)
        emit error(QStringLiteral("Subscription to ") + subscription->topic()
                   + QStringLiteral(" failed."));
}

bool MqttClient::publish(const QByteArray& data, const QString& topic, quint8 qos, bool retain)
{
    if (!isConnected())
        return false;
    if (debugEnabled())
        debugLog() << "Publishing to topic '" << topic << "' with Qos = " << int(qos)
                   << " and Retain = " << boolText(retain) << ":\n"
                   << SecretMask::text(data);
    if (m_client->publish(topic, data, qos, retain) == -1) {
        emit error(QStringLiteral("Publish to ") + topic + QStringLiteral(" failed."));
        return false;
    }
    return true;
}

Deferred<QJsonValue> MqttClient::waitTopic(const QString& topic, int msec)
{
    return startWait(topic, msec)->result;
}

std::shared_ptr<MqttClient::Wait> MqttClient::startWait(const QString& topic, int msec)
{
    auto wait = std::make_shared<Wait>();
    if (!isConnected()) {
        wait->done = true;
        wait->result.reject(QJsonValue(QStringLiteral("Not connected")));
        return wait;
    }
    // Through the counted subscription of the connection: ending the wait releases only its
    // own hold, and a filter that a device client subscribed too is delivered only once.
    MqttSubscription* subscription = m_client->subscribe(topic, 1);
    if (!subscription) {
        wait->done = true;
        wait->result.reject(QJsonValue(QStringLiteral("Subscription failed")));
        return wait;
    }
    ++m_pendingWaits;
    wait->subscription = subscription;

    // The connections hold the wait; finishWait() cuts them, so nothing outlives the wait.
    wait->onMessage = QObject::connect(
        subscription, &MqttSubscription::messageReceived, this,
        [this, wait](const QByteArray& message) {
            // The payload is taken as text, which ends at a NUL byte; no text means "{}".
            const int nul = message.indexOf('\0');
            QByteArray text = nul < 0 ? message : message.left(nul);
            if (text.isEmpty())
                text = QByteArrayLiteral("{}");
            QJsonParseError parseError;
            const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
            if (parseError.error != QJsonParseError::NoError || !document.isObject())
                finishWait(wait, false, QJsonValue(QStringLiteral("Invalid response")));
            else
                finishWait(wait, true, document.object());
        });
    wait->onState = QObject::connect(
        subscription, &MqttSubscription::stateChanged, this,
        [this, wait](MqttSubscription::SubscriptionState state) {
            if (state == MqttSubscription::Error)
                finishWait(wait, false, QJsonValue(QStringLiteral("Subscription failed")));
            else if (state == MqttSubscription::Unsubscribed) // the connection ended
                finishWait(wait, false, QJsonValue(QStringLiteral("Not connected")));
        });
    if (msec > 0) {
        auto* timer = new QTimer(this);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, this, [this, wait] {
            finishWait(wait, false, QJsonValue(QStringLiteral("Timeout")));
        });
        wait->timer = timer;
        timer->start(msec);
    }
    return wait;
}

void MqttClient::finishWait(const std::shared_ptr<Wait>& wait, bool resolved,
                            const QJsonValue& value)
{
    // Settles exactly once, whichever of message, time-out or connection loss comes first.
    if (wait->done.exchange(true))
        return;
    QObject::disconnect(wait->onMessage);
    QObject::disconnect(wait->onState);
    if (wait->timer) {
        wait->timer->stop();
        wait->timer->deleteLater();
    }
    if (wait->subscription)
        wait->subscription->unsubscribe(); // our hold only; no-op once the subscription ended
    --m_pendingWaits;
    if (resolved)
        wait->result.resolve(value);
    else
        wait->result.reject(value);
}

Deferred<QJsonValue> MqttClient::executeRpc(const QString& topic, const QString& rpcId,
                                            const QJsonObject& request, int msec)
{
    Deferred<QJsonValue> d;
    const QString requestTopic = topic + QStringLiteral("/request/") + rpcId;
    const QString responseTopic = topic + QStringLiteral("/response/") + rpcId;
    const QByteArray requestText = QJsonDocument(request).toJson(QJsonDocument::Compact);

    // Subscribed before the request goes out, so that a fast answer is not missed.
    const std::shared_ptr<Wait> wait = startWait(responseTopic, msec);
    wait->result.fail([d](const QJsonValue& value) mutable {
        qCritical().noquote().nospace() << "[MqttClient] [RPC] ERROR : " << value.toString();
        d.reject(value);
    });
    wait->result.done([d, responseTopic](const QJsonValue& value) mutable {
        if (debugEnabled()) {
            debugLog() << "[RPC] Received : " << responseTopic;
            debugLog() << "[RPC] Data     : " << compactJson(SecretMask::json(value.toObject()));
        }
        d.resolve(value);
    });
    // No request whose answer nobody waits for: the service would act on it while the
    // caller already got a failure.
    if (wait->done)
        return d;

    if (debugEnabled()) {
        debugLog() << "[RPC] Sending : " << requestTopic;
        debugLog() << "[RPC] Data    : " << SecretMask::text(requestText);
    }
    if (m_client->publish(requestTopic, requestText, 1, false) == -1)
        finishWait(wait, false, QJsonValue(QStringLiteral("Publish failed")));
    return d;
}

void MqttClient::onConnected()
{
    infoLog() << "Connected to broker " << m_hostname;
    if (m_failures > 1)
        infoLog() << "Connected after " << m_failures << " failed attempts";
    m_failures = 0;
    m_failure = MqttConnection::NoError;
    m_wasConnected = true;
    // Copy: a slot run by a subscription may subscribe further topics.
    const QVector<QPair<QString, quint8>> topics = m_subsTopics;
    for (const auto& entry : topics) {
        if (!isConnected())
            return;
        subscribeNow(entry.first, entry.second);
    }
}

void MqttClient::onDisconnected()
{
    // An attempt that failed was reported by its error already.
    (m_wasConnected ? infoLog() : debugLog()) << "Disconnected from broker " << m_hostname;
    m_wasConnected = false;
}

void MqttClient::onStateChanged(MqttConnection::ClientState state)
{
    switch (state) {
    case MqttConnection::Connecting:
        debugLog() << "State is Connecting.";
        m_connectionTimer->start();
        break;
    case MqttConnection::Connected:
        debugLog() << "State is Connected.";
        m_connectionTimer->stop();
        break;
    case MqttConnection::Disconnected:
        debugLog() << "State is Disconnected.";
        m_connectionTimer->stop();
        if (m_autoReconnect)
            m_reconnectTimer->start(m_retryMillis);
        break;
    }
}

void MqttClient::onTimeout()
{
    // The attempt hangs: cutting the transport ends it in Disconnected, which schedules the
    // next one.
    if (m_client && m_client->state() == MqttConnection::Connecting)
        m_client->closeTransport();
}

void MqttClient::onReconnect()
{
    if (m_autoReconnect && m_client && m_client->state() == MqttConnection::Disconnected) {
        m_retrying = true;
        connect();
        m_retrying = false;
    }
}

void MqttClient::onReceived(const QByteArray& message, const QString& topic)
{
    if (debugEnabled())
        debugLog() << "Received on topic: " << topic << "\n" << SecretMask::text(message);
    emit received(message, topic.toUtf8());
}

void MqttClient::onError(MqttConnection::ClientError code)
{
    if (code == MqttConnection::NoError)
        return;
    if (code == m_failure && m_failures > 0) {
        ++m_failures;
        // 2, 4, 8, ... attempts: a handful of lines a day however long it lasts.
        if ((m_failures & (m_failures - 1)) == 0)
            warningLog() << "Still not connected: the last " << m_failures
                         << " attempts failed with the same error; retrying every " << m_retryMillis
                         << " ms";
        else
            debugLog() << "Attempt " << m_failures << " failed with the same error";
        return;
    }
    m_failure = code;
    m_failures = 1;
    reportError(code);
    if (code == MqttConnection::BadUsernameOrPassword || code == MqttConnection::NotAuthorized)
        warningLog() << "The broker refused user '" << m_username << "' "
                     << (m_password.isEmpty() ? "without a password" : "with the password given")
                     << ": check mqtt/username and mqtt/password. Retrying every " << m_retryMillis
                     << " ms; further failures are only counted.";
    emit error(QStringLiteral("Mqtt client error"));
}

void MqttClient::reportError(MqttConnection::ClientError code)
{
    switch (code) {
    case MqttConnection::NoError:
        return;
    case MqttConnection::InvalidProtocolVersion:
        warningLog() << "Invalid protocol version: " << int(m_client->protocolVersion()) << ". "
                     << "Broker does not accept a connection using the "
                     << "specified protocol version.";
        break;
    case MqttConnection::IdRejected:
        warningLog() << "Id rejected: " << m_client->clientId() << ". "
                     << "The client ID is malformed. This might be related to "
                     << "its length.";
        break;
    case MqttConnection::ServerUnavailable:
        warningLog() << "Server unavailable: " << m_client->hostname() << ":" << m_client->port()
                     << ". "
                     << "The network connection has been established, but the "
                     << "service is unavailable on the broker side.";
        break;
    case MqttConnection::BadUsernameOrPassword:
        warningLog() << "Bad username or password. The data in the username or "
                     << "password is malformed.";
        break;
    case MqttConnection::NotAuthorized:
        warningLog() << "Not authorized: " << m_client->clientId() << ". "
                     << "The client is not authorized to connect.";
        break;
    case MqttConnection::TransportInvalid:
        warningLog() << "Transport invalid: "
                     << "The underlying transport caused an error. For "
                     << "example, the connection might have been interrupted "
                     << "unexpectedly.";
        break;
    case MqttConnection::ProtocolViolation:
        warningLog() << "Protocol violation:"
                     << "The client encountered a protocol violation, and "
                     << "therefore closed the connection.";
        break;
    default:
        warningLog() << "Unknown error.";
        break;
    }
}

} // namespace manager
