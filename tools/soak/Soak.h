#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <random>

namespace manager {
class MqttClient;
}

// A long run of the whole terminal at an entry gate: a real broker, the simulator
// program and the terminal program on a virtual display, each its own process. Cards
// are asked for by a tap on the screen (xdotool), the user takes them through the
// simulator's control commands, and faults are injected at random but reproducibly
// (seeded): broker restarts, a jammed dispenser, an open cartridge door, a failing
// write, services going offline, bursts of garbage on every topic. At the end it
// checks that the terminal still issues cards, that every card taken holds what the
// terminal wrote, that nothing piled up in the terminal (its census on SIGUSR1) and
// that its memory stayed flat.
class Soak : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        int cards = 1000;
        quint32 seed = 1;
        QString terminal; // the terminal program
        QString simulator; // kvrt-simulator
        QString workDir; // configuration and logs
        int motionDelay = 50;
        int faultPercent = 8;
        int brokerRestartEvery = 100;
        QString deviceId = QStringLiteral("K00000042");
    };

    explicit Soak(const Options& options, QObject* parent = nullptr);
    ~Soak() override;

    // The whole run; the process exit code (0: every goal met).
    int run();

private:
    enum class Outcome { Issued, Failed, Refused, NoReaction, Lost };
    struct Census
    {
        QMap<QString, qint64> counts;
        bool valid = false;
    };

    // Processes.
    bool startBroker();
    void stopBroker();
    bool startDisplay();
    bool startSimulator();
    bool startTerminal();
    void stopProcess(QProcess& process, int timeoutMs);
    bool terminalRunning() const;

    // Drive and observe.
    bool connectObserver();
    QJsonObject control(const QJsonObject& command, int timeoutMs = 10000);
    QJsonObject control(const QString& name, const QJsonValue& value = QJsonValue(),
                        const QString& key = QStringLiteral("value"));
    bool tap();
    Outcome attemptIssue(int timeoutMs = 90000);
    // Tries until a card is issued; false when none could be within the time.
    bool issueOne(int timeoutMs = 240000);
    void waitIdle();
    void injectFault(int card);
    void garbageBurst();
    Census census();
    qint64 rssKb() const;
    bool waitFor(const std::function<bool()>& condition, int timeoutMs);
    void pause(int msec);
    void onTerminalOutput();
    void handleLine(const QString& line);
    void onMessage(const QByteArray& payload, const QByteArray& topic);
    // What the terminal wrote on a card must be a fresh entry card of this device.
    QString contentProblem(const QJsonObject& written) const;
    void log(const QString& text) const;

    Options m_options;
    std::mt19937 m_random;
    QElapsedTimer m_clock;
    quint16 m_port = 0;
    QProcess m_broker;
    QProcess m_display;
    QProcess m_simulatorProcess;
    QProcess m_terminalProcess;
    QString m_displayName;
    std::unique_ptr<manager::MqttClient> m_mqtt;
    int m_rpcId = 0;

    // From the terminal's log.
    QByteArray m_pending;
    QString m_lastScreen;
    QString m_lastRefusal;
    QString m_lastFailure;
    QString m_censusLine;
    int m_requested = 0;
    int m_refused = 0;
    int m_issued = 0;
    int m_failed = 0;
    int m_ejected = 0;
    int m_prepared = 0;
    int m_prepareEnded = 0;
    bool m_preparing = false;
    int m_issuerErrors = 0;
    QString m_lastIssuerError;
    int m_garbageHarm = 0;

    // From the broker: the card objects the terminal asked the reader to write, by uid,
    // and one topic of each kind seen, for the garbage bursts.
    QHash<QString, QJsonObject> m_written;
    QHash<QString, QJsonObject> m_writeRequests; // by request id, until answered
    QMap<QString, QString> m_topics;

    QMap<QString, int> m_faults;
    int m_attempts = 0;
};
