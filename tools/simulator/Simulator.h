#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace manager {
class MqttClient;
}
class BoardService;
class ClockService;
class DispenserService;
class InspectorService;
class NetworkService;
class RfidService;
class TerminalService;
class UpdateService;

// Plays the terminal's local services on the broker, all or a chosen few, each on
// its own connection, consistently with one another: the RFID reader sees the card
// the dispenser moves, the clock loses its synchronisation when the terminal reports
// NTP unsynchronised. Faults and user actions are commands (ControlCommands), run
// through execute() or received on the simulator's control topic.
class Simulator : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString host = QStringLiteral("localhost");
        quint16 port = 1883;
        // Names from serviceNames(); empty: all.
        QStringList services;
        // Time every dispenser movement takes.
        int motionDelay = 800;
        // Time the user takes to pick up an ejected card; negative: never by himself.
        int takeDelay = 3000;
        int cards = 100;
    };

    // "terminal", "board", "inspector", "network", "clock", "update", "dispenser", "rfid".
    static QStringList serviceNames();
    // A comma-separated list of names (or "all") as names; false with error for an
    // unknown name.
    static bool parseServices(const QString& list, QStringList* names, QString* error);

    explicit Simulator(const Options& options, QObject* parent = nullptr);
    ~Simulator() override;

    // Connects every service and the control topic to the broker.
    void start();
    // Every service reports itself offline, then the connections close; stopped()
    // follows once the last words have gone out.
    void stop();

    // Runs one control command and returns its answer.
    QJsonObject execute(const QJsonObject& command);

    const QStringList& services() const { return m_names; }
    bool plays(const QString& service) const { return m_names.contains(service); }

    // The services played (null when not).
    TerminalService* terminal() const { return m_terminal; }
    BoardService* board() const { return m_board; }
    InspectorService* inspector() const { return m_inspector; }
    NetworkService* network() const { return m_network; }
    ClockService* clock() const { return m_clock; }
    UpdateService* update() const { return m_update; }
    DispenserService* dispenser() const { return m_dispenser; }
    RfidService* rfid() const { return m_rfid; }

    // Whether every played service and the control topic are connected.
    bool isConnected() const;

Q_SIGNALS:
    void stopped();
    // A command ran (from any source), with its answer.
    void commandExecuted(const QJsonObject& command, const QJsonObject& reply);

private:
    struct Service
    {
        QString name;
        QPointer<QObject> object;
        std::function<void()> connect;
        std::function<void()> disconnect;
        std::function<bool()> connected;
    };

    // A service of the kind on the base topic, if it is played (null otherwise).
    template<typename T>
    T* add(const QString& name, const QString& baseTopic);
    void onControlMessage(const QByteArray& payload, const QByteArray& topic);
    QJsonObject run(const QString& name, const QJsonObject& command);
    QJsonObject statusReport() const;
    QString setOnline(const QString& service, bool online);

    Options m_options;
    QStringList m_names;
    QList<Service> m_services;
    std::unique_ptr<manager::MqttClient> m_control;

    TerminalService* m_terminal = nullptr;
    BoardService* m_board = nullptr;
    InspectorService* m_inspector = nullptr;
    NetworkService* m_network = nullptr;
    ClockService* m_clock = nullptr;
    UpdateService* m_update = nullptr;
    DispenserService* m_dispenser = nullptr;
    RfidService* m_rfid = nullptr;
};
