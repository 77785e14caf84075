#include "MqttConnection.h"

#include "MosquittoLibrary.h"
#include "MqttSubscription.h"

#include <QDebug>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>

namespace {

// Upper bound of packets read per wake-up, so that a flood cannot starve the event loop.
constexpr int MaxPacketsPerWakeup = 64;
// libmosquitto sends its pings and notices a silent broker from mosquitto_loop_misc().
constexpr int HousekeepingMillis = 1000;

void registerTypes()
{
    // For queued connections and signal spies; once per process.
    static const bool registered = [] {
        qRegisterMetaType<MqttConnection::ClientState>();
        qRegisterMetaType<MqttConnection::ClientError>();
        qRegisterMetaType<MqttConnection::ProtocolVersion>();
        qRegisterMetaType<MqttSubscription::SubscriptionState>();
        return true;
    }();
    Q_UNUSED(registered)
}

MqttConnection::ClientError errorOfLibrary(int rc)
{
    switch (rc) {
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_DUPLICATE_PROPERTY:
        return MqttConnection::ProtocolViolation;
    default:
        return MqttConnection::TransportInvalid;
    }
}

MqttConnection::ClientError errorOfConnack(int rc)
{
    if (rc >= MqttConnection::InvalidProtocolVersion && rc <= MqttConnection::NotAuthorized)
        return MqttConnection::ClientError(rc);
    return MqttConnection::UnknownError;
}

} // namespace

MqttConnection::MqttConnection(QObject* parent)
    : QObject(parent)
{
    registerTypes();
}

MqttConnection::~MqttConnection()
{
    if (m_mosq && m_state == Connected)
        m_lib->mosquitto_disconnect(m_mosq); // best effort; written at once on an idle socket
    m_events.clear();
    destroyInstance();
}

void MqttConnection::setHostname(const QString& hostname)
{
    if (m_hostname == hostname)
        return;
    m_hostname = hostname;
    emit hostnameChanged(hostname);
}

void MqttConnection::setPort(quint16 port)
{
    if (m_port == port)
        return;
    m_port = port;
    emit portChanged(port);
}

void MqttConnection::setUsername(const QString& username)
{
    if (m_username == username)
        return;
    m_username = username;
    emit usernameChanged(username);
}

void MqttConnection::setPassword(const QString& password)
{
    if (m_password == password)
        return;
    m_password = password;
    emit passwordChanged(password);
}

void MqttConnection::setClientId(const QString& clientId)
{
    if (m_clientId == clientId)
        return;
    m_clientId = clientId;
    emit clientIdChanged(clientId);
}

void MqttConnection::setCleanSession(bool cleanSession)
{
    if (m_cleanSession == cleanSession)
        return;
    m_cleanSession = cleanSession;
    emit cleanSessionChanged(cleanSession);
}

void MqttConnection::setKeepAlive(quint16 seconds)
{
    if (m_keepAlive == seconds)
        return;
    m_keepAlive = seconds;
    emit keepAliveChanged(seconds);
}

void MqttConnection::setProtocolVersion(ProtocolVersion version)
{
    if (version != MQTT_3_1 && version != MQTT_3_1_1) {
        qWarning().noquote().nospace()
            << "[MqttConnection] Unsupported protocol version " << int(version) << " ignored.";
        return;
    }
    if (m_protocolVersion == version)
        return;
    m_protocolVersion = version;
    emit protocolVersionChanged(version);
}

void MqttConnection::setWillTopic(const QString& topic)
{
    if (m_willTopic == topic)
        return;
    m_willTopic = topic;
    emit willTopicChanged(topic);
}

void MqttConnection::setWillMessage(const QByteArray& message)
{
    if (m_willMessage == message)
        return;
    m_willMessage = message;
    emit willMessageChanged(message);
}

void MqttConnection::setWillQoS(quint8 qos)
{
    if (m_willQoS == qos)
        return;
    m_willQoS = qos;
    emit willQoSChanged(qos);
}

void MqttConnection::setWillRetain(bool retain)
{
    if (m_willRetain == retain)
        return;
    m_willRetain = retain;
    emit willRetainChanged(retain);
}

void MqttConnection::connectToHost()
{
    if (m_state != Disconnected) {
        qInfo().noquote().nospace()
            << "[MqttConnection] Already " << (m_state == Connected ? "connected" : "connecting")
            << ", connection request ignored.";
        return;
    }
    ++m_attempt;
    m_error = NoError; // a fresh attempt starts without error, as with the Qt client
    m_refusal = NoError;
    m_events.clear();
    destroyInstance();

    if (!m_lib)
        m_lib = MosquittoLibrary::instance();
    if (!m_lib) {
        failAttemptLater(TransportInvalid);
        setState(Connecting);
        return;
    }
    if (!createInstance()) {
        failAttemptLater(IdRejected);
        setState(Connecting);
        return;
    }
    // An address is used as it stands; a name is looked up aside (libmosquitto would
    // block the event loop on the resolver at every attempt).
    if (!QHostAddress(m_hostname).isNull()) {
        openSocket(m_hostname);
        return;
    }
    const quint64 attempt = m_attempt;
    QPointer<MqttConnection> self(this);
    setState(Connecting);
    if (!self || m_attempt != attempt || m_state != Connecting)
        return;
    // The context object drops a result that comes after this object is gone; the
    // attempt number one that comes after the attempt ended. A look-up is never
    // aborted: Qt 5 leaks the functor of an aborted one, and a stale answer is dropped.
    QHostInfo::lookupHost(m_hostname, this, [this, attempt](const QHostInfo& info) {
        if (attempt == m_attempt && m_state == Connecting && m_mosq)
            onHostFound(info);
    });
}

void MqttConnection::onHostFound(const QHostInfo& info)
{
    QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        qInfo().noquote().nospace()
            << "[MqttConnection] Looking up '" << m_hostname << "' failed: " << info.errorString();
        destroyInstance();
        finishDisconnected(TransportInvalid);
        return;
    }
    // Brokers commonly listen on IPv4 only ("localhost" may give ::1 first).
    std::stable_partition(addresses.begin(), addresses.end(), [](const QHostAddress& address) {
        return address.protocol() == QAbstractSocket::IPv4Protocol;
    });
    openSocket(addresses.constFirst().toString());
}

void MqttConnection::openSocket(const QString& address)
{
    // libmosquitto refuses keep-alive intervals of 1 to 4 seconds; use its shortest.
    const int keepAlive = m_keepAlive > 0 && m_keepAlive < 5 ? 5 : m_keepAlive;
    const int rc
        = m_lib->mosquitto_connect_async(m_mosq, address.toUtf8().constData(), m_port, keepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        qDebug().noquote().nospace() << "[MqttConnection] Connecting to " << m_hostname << ":"
                                     << m_port << " failed: " << m_lib->mosquitto_strerror(rc);
        destroyInstance();
        failAttemptLater(TransportInvalid);
        setState(Connecting);
        return;
    }

    const int fd = m_lib->mosquitto_socket(m_mosq);
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    // String-based: the signal is overloaded with a private tag.
    QObject::connect(m_readNotifier, SIGNAL(activated(QSocketDescriptor, QSocketNotifier::Type)),
                     this, SLOT(onReadable()));
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    QObject::connect(m_writeNotifier, SIGNAL(activated(QSocketDescriptor, QSocketNotifier::Type)),
                     this, SLOT(onWritable()));
    m_housekeeping = new QTimer(this);
    m_housekeeping->setInterval(HousekeepingMillis);
    QObject::connect(m_housekeeping, &QTimer::timeout, this, &MqttConnection::onHousekeeping);
    m_housekeeping->start();

    const quint64 attempt = m_attempt;
    QPointer<MqttConnection> self(this);
    setState(Connecting); // already so after a look-up
    if (self && m_attempt == attempt)
        updateWriteNotifier(); // CONNECT waits for the socket to connect
}

void MqttConnection::disconnectFromHost()
{
    switch (m_state) {
    case Disconnected:
        return;
    case Connecting:
        m_events.clear();
        destroyInstance();
        finishDisconnected(NoError);
        return;
    case Connected:
        // The DISCONNECT normally goes out at once and libmosquitto then reports the end;
        // otherwise the write notifier finishes it.
        if (m_lib->mosquitto_disconnect(m_mosq) != MOSQ_ERR_SUCCESS) {
            m_events.clear();
            destroyInstance();
            finishDisconnected(NoError);
            return;
        }
        afterLoop();
        return;
    }
}

void MqttConnection::closeTransport()
{
    if (m_state == Disconnected)
        return;
    // mosquitto_destroy() closes the socket without sending DISCONNECT.
    m_events.clear();
    destroyInstance();
    finishDisconnected(TransportInvalid);
}

MqttSubscription* MqttConnection::subscribe(const QString& topicFilter, quint8 qos)
{
    if (m_state != Connected || qos > 2)
        return nullptr;
    const QByteArray filter = topicFilter.toUtf8();
    if (filter.isEmpty()
        || m_lib->mosquitto_sub_topic_check(filter.constData()) != MOSQ_ERR_SUCCESS)
        return nullptr;

    MqttSubscription* subscription = m_subscriptions.value(topicFilter);
    if (subscription) {
        // A higher QoS or a retry after a refusal needs a new SUBSCRIBE; the broker replaces
        // its subscription of the filter.
        if (qos > subscription->qos() || subscription->state() == MqttSubscription::Error) {
            const quint8 wanted = qMax(qos, subscription->qos());
            int mid = 0;
            if (m_lib->mosquitto_subscribe(m_mosq, &mid, filter.constData(), wanted)
                != MOSQ_ERR_SUCCESS)
                return nullptr;
            m_pendingSubacks.insert(mid, subscription);
            subscription->setQos(wanted);
            subscription->setState(MqttSubscription::SubscriptionPending);
            updateWriteNotifier();
        }
        ++subscription->m_holders;
        return subscription;
    }

    int mid = 0;
    if (m_lib->mosquitto_subscribe(m_mosq, &mid, filter.constData(), qos) != MOSQ_ERR_SUCCESS)
        return nullptr;
    subscription = new MqttSubscription(topicFilter, qos, this);
    m_subscriptions.insert(topicFilter, subscription);
    m_pendingSubacks.insert(mid, subscription);
    updateWriteNotifier();
    return subscription;
}

bool MqttConnection::unsubscribe(const QString& topicFilter)
{
    MqttSubscription* subscription = m_subscriptions.value(topicFilter);
    if (!subscription)
        return false;
    release(subscription);
    return true;
}

void MqttConnection::release(MqttSubscription* subscription)
{
    if (m_subscriptions.value(subscription->topic()) != subscription)
        return; // ended already
    if (--subscription->m_holders > 0)
        return;
    m_subscriptions.remove(subscription->topic());
    if (m_mosq && m_state == Connected) {
        m_lib->mosquitto_unsubscribe(m_mosq, nullptr, subscription->m_topicUtf8.constData());
        updateWriteNotifier();
    }
    subscription->deleteLater();
    subscription->setState(MqttSubscription::Unsubscribed);
}

int MqttConnection::publish(const QString& topic, const QByteArray& message, quint8 qos,
                            bool retain)
{
    if (m_state != Connected || qos > 2)
        return -1;
    const QByteArray name = topic.toUtf8();
    if (name.isEmpty() || m_lib->mosquitto_pub_topic_check(name.constData()) != MOSQ_ERR_SUCCESS)
        return -1;
    int mid = 0;
    const int rc = m_lib->mosquitto_publish(m_mosq, &mid, name.constData(), message.size(),
                                            message.constData(), qos, retain);
    updateWriteNotifier();
    if (rc != MOSQ_ERR_SUCCESS)
        return -1;
    return qos == 0 ? 0 : mid;
}

void MqttConnection::yieldToBroker()
{
    QThread::yieldCurrentThread();
}

bool MqttConnection::createInstance()
{
    const QByteArray id = m_clientId.toUtf8();
    m_mosq = m_lib->mosquitto_new(id.isEmpty() ? nullptr : id.constData(), m_cleanSession, this);
    if (!m_mosq) {
        qWarning().noquote().nospace()
            << "[MqttConnection] Client id '" << m_clientId
            << "' not usable with clean session = " << (m_cleanSession ? "true" : "false") << ".";
        return false;
    }
    m_lib->mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION,
                                m_protocolVersion == MQTT_3_1 ? MQTT_PROTOCOL_V31
                                                              : MQTT_PROTOCOL_V311);
    // Requests are small packets sent back to back (SUBSCRIBE, then PUBLISH): with Nagle's
    // algorithm the second one would wait for the peer's delayed acknowledgement.
    m_lib->mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    m_lib->mosquitto_connect_callback_set(m_mosq, &MqttConnection::onConnectCallback);
    m_lib->mosquitto_disconnect_callback_set(m_mosq, &MqttConnection::onDisconnectCallback);
    m_lib->mosquitto_subscribe_callback_set(m_mosq, &MqttConnection::onSubscribeCallback);
    m_lib->mosquitto_message_callback_set(m_mosq, &MqttConnection::onMessageCallback);

    if (!m_username.isEmpty() || !m_password.isEmpty()) {
        const QByteArray user = m_username.toUtf8();
        const QByteArray password = m_password.toUtf8();
        m_lib->mosquitto_username_pw_set(m_mosq, user.constData(),
                                         m_password.isEmpty() ? nullptr : password.constData());
    }
    if (!m_willTopic.isEmpty()) {
        const QByteArray topic = m_willTopic.toUtf8();
        const int rc
            = m_lib->mosquitto_will_set(m_mosq, topic.constData(), m_willMessage.size(),
                                        m_willMessage.constData(), m_willQoS, m_willRetain);
        if (rc != MOSQ_ERR_SUCCESS)
            qWarning().noquote().nospace()
                << "[MqttConnection] Will on topic '" << m_willTopic << "' refused ("
                << m_lib->mosquitto_strerror(rc) << "); connecting without a will.";
    }
    return true;
}

void MqttConnection::destroyInstance()
{
    // The notifiers go first: their descriptor is closed with the instance. They are
    // deleted later because this may run inside one of their own signals.
    for (QSocketNotifier* notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    if (m_housekeeping) {
        m_housekeeping->stop();
        m_housekeeping->deleteLater();
        m_housekeeping = nullptr;
    }
    if (m_mosq) {
        m_lib->mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
}

void MqttConnection::onReadable()
{
    if (!m_mosq)
        return;
    for (int i = 0; i < MaxPacketsPerWakeup; ++i) {
        errno = 0;
        const int rc = m_lib->mosquitto_loop_read(m_mosq, 1);
        // Stop once the socket is drained (the library leaves EAGAIN behind) or gone.
        if (rc != MOSQ_ERR_SUCCESS || errno == EAGAIN || errno == EWOULDBLOCK
            || m_lib->mosquitto_socket(m_mosq) < 0)
            break;
    }
    afterLoop();
}

void MqttConnection::onWritable()
{
    if (!m_mosq)
        return;
    m_lib->mosquitto_loop_write(m_mosq, 1);
    afterLoop();
}

void MqttConnection::onHousekeeping()
{
    if (!m_mosq)
        return;
    m_lib->mosquitto_loop_misc(m_mosq);
    afterLoop();
}

void MqttConnection::afterLoop()
{
    QPointer<MqttConnection> self(this);
    processEvents();
    if (!self || !m_mosq)
        return;
    if (m_lib->mosquitto_socket(m_mosq) < 0) {
        // The library closed the socket without telling (should not happen): same as a loss.
        if (m_state != Disconnected) {
            m_events.clear();
            destroyInstance();
            finishDisconnected(TransportInvalid);
        }
        return;
    }
    updateWriteNotifier();
}

void MqttConnection::processEvents()
{
    // Re-entrant: a slot may call back into this object; nested calls keep the order.
    QPointer<MqttConnection> self(this);
    while (self && !m_events.empty()) {
        Event event = std::move(m_events.front());
        m_events.pop_front();
        handle(event);
    }
}

void MqttConnection::handle(Event& event)
{
    switch (event.kind) {
    case Event::Connack:
        if (event.code == 0) {
            if (m_state == Connecting)
                setState(Connected);
        } else {
            m_refusal = errorOfConnack(event.code);
        }
        return;
    case Event::Disconnect: {
        if (m_state == Disconnected)
            return;
        ClientError error = m_refusal;
        if (error == NoError && event.code != MOSQ_ERR_SUCCESS)
            error = errorOfLibrary(event.code);
        m_events.clear(); // nothing of a closed connection is delivered any more
        destroyInstance();
        finishDisconnected(error);
        return;
    }
    case Event::Suback: {
        QPointer<MqttSubscription> subscription = m_pendingSubacks.take(event.mid);
        if (!subscription || subscription->state() == MqttSubscription::Unsubscribed)
            return;
        if (event.code > 2) {
            subscription->setState(MqttSubscription::Error);
        } else {
            subscription->setQos(quint8(event.code));
            if (subscription)
                subscription->setState(MqttSubscription::Subscribed);
        }
        return;
    }
    case Event::Message:
        dispatch(event.topic, event.payload);
        return;
    }
}

void MqttConnection::dispatch(const QByteArray& topic, const QByteArray& payload)
{
    // Collect first: slots may subscribe or unsubscribe while we deliver.
    QVarLengthArray<QPointer<MqttSubscription>, 8> targets;
    for (MqttSubscription* subscription : qAsConst(m_subscriptions)) {
        bool matches = false;
        if (m_lib->mosquitto_topic_matches_sub(subscription->m_topicUtf8.constData(),
                                               topic.constData(), &matches)
                == MOSQ_ERR_SUCCESS
            && matches)
            targets.append(subscription);
    }

    QPointer<MqttConnection> self(this);
    const QString name = QString::fromUtf8(topic);
    emit messageReceived(payload, name);
    for (const QPointer<MqttSubscription>& subscription : targets) {
        if (!self)
            return;
        if (subscription && subscription->state() != MqttSubscription::Unsubscribed)
            emit subscription->messageReceived(payload, name);
    }
}

void MqttConnection::updateWriteNotifier()
{
    if (m_writeNotifier && m_mosq)
        m_writeNotifier->setEnabled(m_lib->mosquitto_want_write(m_mosq));
}

void MqttConnection::failAttemptLater(ClientError error)
{
    // Reported from the event loop, as a socket error would be, never inside connectToHost().
    const quint64 attempt = m_attempt;
    QTimer::singleShot(0, this, [this, attempt, error] {
        if (attempt == m_attempt && m_state == Connecting)
            finishDisconnected(error);
    });
}

void MqttConnection::finishDisconnected(ClientError error)
{
    ++m_attempt;
    m_refusal = NoError;
    const QHash<QString, MqttSubscription*> ended = std::exchange(m_subscriptions, {});
    m_pendingSubacks.clear();

    QPointer<MqttConnection> self(this);
    setState(Disconnected);
    if (!self)
        return;
    if (error != NoError)
        setError(error);
    for (MqttSubscription* subscription : ended) {
        if (!self)
            return;
        subscription->m_holders = 0;
        subscription->deleteLater();
        subscription->setState(MqttSubscription::Unsubscribed);
    }
}

void MqttConnection::setState(ClientState state)
{
    if (m_state == state)
        return;
    m_state = state;
    QPointer<MqttConnection> self(this);
    emit stateChanged(state);
    if (!self || m_state != state)
        return;
    if (state == Connected)
        emit connected();
    else if (state == Disconnected)
        emit disconnected();
}

void MqttConnection::setError(ClientError error)
{
    if (m_error == error)
        return;
    m_error = error;
    emit errorChanged(error);
}

void MqttConnection::onConnectCallback(mosquitto*, void* self, int rc)
{
    static_cast<MqttConnection*>(self)->m_events.push_back({Event::Connack, rc, 0, {}, {}});
}

void MqttConnection::onDisconnectCallback(mosquitto*, void* self, int rc)
{
    static_cast<MqttConnection*>(self)->m_events.push_back({Event::Disconnect, rc, 0, {}, {}});
}

void MqttConnection::onSubscribeCallback(mosquitto*, void* self, int mid, int count,
                                         const int* granted)
{
    // One filter per SUBSCRIBE; 0x80 is the broker's refusal.
    const int qos = count > 0 ? granted[0] : 0x80;
    static_cast<MqttConnection*>(self)->m_events.push_back({Event::Suback, qos, mid, {}, {}});
}

void MqttConnection::onMessageCallback(mosquitto*, void* self, const mosquitto_message* message)
{
    static_cast<MqttConnection*>(self)->m_events.push_back(
        {Event::Message, message->qos, message->mid, QByteArray(message->topic),
         QByteArray(static_cast<const char*>(message->payload), message->payloadlen)});
}
