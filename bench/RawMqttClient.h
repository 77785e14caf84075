#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;
struct mosquitto;

// A bare libmosquitto client driven by the event loop of its thread (a socket notifier
// and a one-second timer for keep-alive), with no more than a program needs to connect,
// subscribe, publish and receive: how an anchor speaks MQTT, for comparison with the
// terminal's own client on the same library.
class RawMqttClient : public QObject
{
    Q_OBJECT

public:
    explicit RawMqttClient(QObject* parent = nullptr);
    ~RawMqttClient() override;

    // Opens the connection (a blocking TCP connect: the broker is local) and sends
    // CONNECT; connected() follows the broker's answer. False when it cannot start.
    bool connectToBroker(const QString& host, quint16 port);
    void subscribe(const QString& filter);
    void publish(const QString& topic, const QByteArray& payload, int qos = 0);

Q_SIGNALS:
    void connected();
    void subscribed();
    void received(const QString& topic, const QByteArray& payload);

private:
    void pump();

    mosquitto* m_mosquitto = nullptr;
    // Within a read: what the callbacks publish goes out once the read is over.
    bool m_reading = false;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_misc;
};
