#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>

class MosquittoLibrary;
class MqttSubscription;
class QHostInfo;
class QSocketNotifier;
class QTimer;
struct mosquitto;

// One MQTT 3.1.1 client connection built on libmosquitto and driven by the Qt event loop
// of the thread that owns the object (socket notifiers and a housekeeping timer; no extra
// thread). Its states, errors and signals have the meaning of the Qt MQTT client's:
// - state: Disconnected -> Connecting -> Connected -> Disconnected; connected() and
//   disconnected() accompany stateChanged() (disconnected() also ends a failed attempt);
// - error: set when an attempt is refused (CONNACK return code) or the transport fails;
//   connectToHost() clears it silently, errorChanged() reports every new failure.
//
// Subscriptions are counted per topic filter: subscribing a filter that is already
// subscribed returns the same MqttSubscription and counts one more holder; unsubscribe()
// releases one hold and sends UNSUBSCRIBE only when the last one goes. The broker thus
// sees one subscription per filter, and every incoming message is delivered once to
// messageReceived() and once to each subscription object whose filter matches it.
// The connection owns the subscription objects. When the connection ends, every
// subscription ends too (Unsubscribed) and is deleted later; subscribing again after a
// reconnection is the caller's business.
//
// Parameters are read by connectToHost(); changing them affects the next attempt.
class MqttConnection : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString hostname READ hostname WRITE setHostname NOTIFY hostnameChanged)
    Q_PROPERTY(quint16 port READ port WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(QString username READ username WRITE setUsername NOTIFY usernameChanged)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
    Q_PROPERTY(QString clientId READ clientId WRITE setClientId NOTIFY clientIdChanged)
    Q_PROPERTY(bool cleanSession READ cleanSession WRITE setCleanSession NOTIFY cleanSessionChanged)
    Q_PROPERTY(quint16 keepAlive READ keepAlive WRITE setKeepAlive NOTIFY keepAliveChanged)
    Q_PROPERTY(ProtocolVersion protocolVersion READ protocolVersion WRITE setProtocolVersion NOTIFY
                   protocolVersionChanged)
    Q_PROPERTY(QString willTopic READ willTopic WRITE setWillTopic NOTIFY willTopicChanged)
    Q_PROPERTY(
        QByteArray willMessage READ willMessage WRITE setWillMessage NOTIFY willMessageChanged)
    Q_PROPERTY(quint8 willQoS READ willQoS WRITE setWillQoS NOTIFY willQoSChanged)
    Q_PROPERTY(bool willRetain READ willRetain WRITE setWillRetain NOTIFY willRetainChanged)
    Q_PROPERTY(ClientState state READ state NOTIFY stateChanged)
    Q_PROPERTY(ClientError error READ error NOTIFY errorChanged)

public:
    enum ClientState { Disconnected, Connecting, Connected };
    Q_ENUM(ClientState)

    // Same numbers as the Qt MQTT client's errors; 1 to 5 are the CONNACK return codes.
    enum ClientError {
        NoError = 0,
        InvalidProtocolVersion = 1,
        IdRejected = 2,
        ServerUnavailable = 3,
        BadUsernameOrPassword = 4,
        NotAuthorized = 5,
        TransportInvalid = 256,
        ProtocolViolation = 257,
        UnknownError = 258
    };
    Q_ENUM(ClientError)

    enum ProtocolVersion { MQTT_3_1 = 3, MQTT_3_1_1 = 4 };
    Q_ENUM(ProtocolVersion)

    explicit MqttConnection(QObject* parent = nullptr);
    // Ends a live connection with DISCONNECT (so the broker drops the will); emits nothing.
    ~MqttConnection() override;

    QString hostname() const { return m_hostname; }
    void setHostname(const QString& hostname);
    quint16 port() const { return m_port; }
    void setPort(quint16 port);
    QString username() const { return m_username; }
    void setUsername(const QString& username);
    QString password() const { return m_password; }
    void setPassword(const QString& password);
    // Empty: libmosquitto makes up a random id (which needs a clean session).
    QString clientId() const { return m_clientId; }
    void setClientId(const QString& clientId);
    bool cleanSession() const { return m_cleanSession; }
    void setCleanSession(bool cleanSession);
    // Seconds; 0 switches keep-alive off; 1 to 4 count as 5 (libmosquitto's minimum).
    quint16 keepAlive() const { return m_keepAlive; }
    void setKeepAlive(quint16 seconds);
    ProtocolVersion protocolVersion() const { return m_protocolVersion; }
    void setProtocolVersion(ProtocolVersion version);
    // Empty topic: no will.
    QString willTopic() const { return m_willTopic; }
    void setWillTopic(const QString& topic);
    QByteArray willMessage() const { return m_willMessage; }
    void setWillMessage(const QByteArray& message);
    quint8 willQoS() const { return m_willQoS; }
    void setWillQoS(quint8 qos);
    bool willRetain() const { return m_willRetain; }
    void setWillRetain(bool retain);

    ClientState state() const { return m_state; }
    ClientError error() const { return m_error; }

    // Null when not connected or when the filter or QoS is invalid.
    MqttSubscription* subscribe(const QString& topicFilter, quint8 qos = 0);
    // Releases one hold of the filter's subscription; false when it is not subscribed.
    bool unsubscribe(const QString& topicFilter);
    // Message id (0 for QoS 0), or -1 when not connected or the message is refused.
    int publish(const QString& topic, const QByteArray& message = QByteArray(), quint8 qos = 0,
                bool retain = false);
    // Right after publishing a message a passenger waits on. The broker, woken by it, may
    // be queued on this thread's processor, and the scheduler lets the running thread
    // finish its slice first: here, the screen's work for the same news. Costs a system
    // call when nothing waits.
    static void yieldToBroker();

    // Number of subscription objects alive in the table (leak checks).
    int subscriptionCount() const { return m_subscriptions.size(); }

public Q_SLOTS:
    // Ignored unless Disconnected.
    void connectToHost();
    // Clean end: DISCONNECT, so the broker discards the will.
    void disconnectFromHost();
    // Closes the transport without DISCONNECT, like a dropped line: the broker publishes
    // the will. Ends an attempt that hangs in Connecting.
    void closeTransport();

Q_SIGNALS:
    void hostnameChanged(const QString& hostname);
    void portChanged(quint16 port);
    void usernameChanged(const QString& username);
    void passwordChanged(const QString& password);
    void clientIdChanged(const QString& clientId);
    void cleanSessionChanged(bool cleanSession);
    void keepAliveChanged(quint16 keepAlive);
    void protocolVersionChanged(MqttConnection::ProtocolVersion version);
    void willTopicChanged(const QString& topic);
    void willMessageChanged(const QByteArray& message);
    void willQoSChanged(quint8 qos);
    void willRetainChanged(bool retain);

    void stateChanged(MqttConnection::ClientState state);
    void errorChanged(MqttConnection::ClientError error);
    void connected();
    void disconnected();
    void messageReceived(const QByteArray& message, const QString& topic);

private Q_SLOTS:
    void onReadable();
    void onWritable();

private:
    friend class MqttSubscription;

    // What libmosquitto reported from inside one of its calls. Its callbacks only record
    // these; they are acted on once the call has returned, so that no slot runs inside
    // libmosquitto and slots may use (or delete) this object freely.
    struct Event
    {
        enum Kind { Connack, Disconnect, Suback, Message };
        Kind kind;
        int code; // CONNACK return code, disconnect reason, SUBACK granted QoS
        int mid;
        QByteArray topic;
        QByteArray payload;
    };

    static void onConnectCallback(mosquitto*, void* self, int rc);
    static void onDisconnectCallback(mosquitto*, void* self, int rc);
    static void onSubscribeCallback(mosquitto*, void* self, int mid, int count, const int* granted);
    static void onMessageCallback(mosquitto*, void* self, const struct mosquitto_message* message);

    bool createInstance();
    void onHostFound(const QHostInfo& info);
    void openSocket(const QString& address);
    void destroyInstance();
    void onHousekeeping();
    void afterLoop();
    void processEvents();
    void handle(Event& event);
    void dispatch(const QByteArray& topic, const QByteArray& payload);
    void updateWriteNotifier();
    void failAttemptLater(ClientError error);
    void finishDisconnected(ClientError error);
    void release(MqttSubscription* subscription);
    void setState(ClientState state);
    void setError(ClientError error);

    QString m_hostname;
    quint16 m_port = 1883;
    QString m_username;
    QString m_password;
    QString m_clientId;
    bool m_cleanSession = true;
    quint16 m_keepAlive = 60;
    ProtocolVersion m_protocolVersion = MQTT_3_1_1;
    QString m_willTopic;
    QByteArray m_willMessage;
    quint8 m_willQoS = 0;
    bool m_willRetain = false;

    ClientState m_state = Disconnected;
    ClientError m_error = NoError;
    ClientError m_refusal = NoError; // CONNACK refusal of the current attempt
    quint64 m_attempt = 0; // invalidates posted failures of earlier attempts

    const MosquittoLibrary* m_lib = nullptr; // loaded by the first attempt
    mosquitto* m_mosq = nullptr;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer* m_housekeeping = nullptr;
    std::deque<Event> m_events;

    QHash<QString, MqttSubscription*> m_subscriptions;
    QHash<int, QPointer<MqttSubscription>> m_pendingSubacks;
};
