// kvrt-simulator: plays the terminal's local device services on an MQTT broker, or
// sends one control command to a running simulator ("send").

#include "ControlCommands.h"
#include "MqttClient.h"
#include "SignalWatcher.h"
#include "Simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitFailed = 1;
constexpr int ExitNoAnswer = 3;

bool g_verbose = false;

// What the simulator does goes to standard output, one time-stamped line each. The
// connection chatter of the many MQTT clients is left out unless asked for.
void writeMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (!g_verbose
        && (type == QtDebugMsg
            || (type == QtInfoMsg
                && (text.startsWith(QLatin1String("[MqttClient] "))
                    || text.startsWith(QLatin1String("[RPC] "))))))
        return;
    const char* level = "";
    switch (type) {
    case QtDebugMsg:
        level = "debug ";
        break;
    case QtWarningMsg:
        level = "warning ";
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        level = "error ";
        break;
    default:
        break;
    }
    const QByteArray line = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")).toUtf8()
        + ' ' + level + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

void printError(const QString& text)
{
    std::fprintf(stderr, "kvrt-simulator: %s\n", qPrintable(text));
}

bool readNumber(const QString& text, int min, int* out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min)
        return false;
    *out = value;
    return true;
}

// Publishes one command as a request and prints the answer.
int send(QCoreApplication& app, const QString& host, quint16 port, const QJsonObject& command,
         int timeoutMs)
{
    manager::MqttClient client;
    client.setHostname(host);
    client.setPort(port);
    const QString id = QStringLiteral("cli%1").arg(QCoreApplication::applicationPid());
    client.setClientId(QStringLiteral("kvrt-sim-send-") + id);
    int exitCode = ExitNoAnswer;
    bool sent = false;

    QObject::connect(&client, &manager::MqttClient::connected, &app, [&] {
        if (sent)
            return;
        sent = true;
        client.executeRpc(ControlCommands::ControlTopic, id, command, timeoutMs)
            .done([&](const QJsonValue& value) {
                const QJsonObject reply = value.toObject();
                if (reply.value(QStringLiteral("ok")).toBool()) {
                    std::printf("%s\n",
                                qPrintable(reply.value(QStringLiteral("message")).toString()));
                    exitCode = 0;
                } else {
                    printError(reply.value(QStringLiteral("error")).toString());
                    exitCode = ExitFailed;
                }
                app.quit();
            })
            .fail([&](const QJsonValue& error) {
                printError(QStringLiteral("no answer from a simulator on %1:%2 (%3)")
                               .arg(host)
                               .arg(port)
                               .arg(error.toString()));
                app.quit();
            });
    });
    // The broker itself may be missing: the client would retry for ever.
    QTimer::singleShot(timeoutMs, &app, [&] {
        if (!sent) {
            printError(QStringLiteral("no MQTT broker answered on %1:%2").arg(host).arg(port));
            app.quit();
        }
    });
    client.connect();
    app.exec();
    client.disconnect();
    return exitCode;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvrt-simulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the terminal's local device services on an MQTT broker.\n"
                       "With \"send\", sends one control command to a running simulator.\n\n"
                       "Commands:\n")
        + ControlCommands::usage());
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption hostOption({QStringLiteral("H"), QStringLiteral("host")},
                                        QStringLiteral("MQTT broker host (default localhost)."),
                                        QStringLiteral("host"), QStringLiteral("localhost"));
    const QCommandLineOption portOption({QStringLiteral("P"), QStringLiteral("port")},
                                        QStringLiteral("MQTT broker port (default 1883)."),
                                        QStringLiteral("port"), QStringLiteral("1883"));
    const QCommandLineOption servicesOption(
        QStringLiteral("services"),
        QStringLiteral("Services to play, comma-separated (default all): %1.")
            .arg(Simulator::serviceNames().join(QStringLiteral(", "))),
        QStringLiteral("list"), QStringLiteral("all"));
    const QCommandLineOption motionOption(
        QStringLiteral("motion-delay"),
        QStringLiteral("Time of each dispenser movement (default 800)."), QStringLiteral("ms"),
        QStringLiteral("800"));
    const QCommandLineOption takeOption(
        QStringLiteral("take-delay"),
        QStringLiteral("Time the user takes to pick up an ejected card, or \"never\" "
                       "(then only the take-card command takes it; default 3000)."),
        QStringLiteral("ms|never"), QStringLiteral("3000"));
    const QCommandLineOption cardsOption(
        QStringLiteral("cards"), QStringLiteral("Blank cards in the cartridge (default 100)."),
        QStringLiteral("N"), QStringLiteral("100"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("With send: how long to wait for the answer (default 5000)."),
        QStringLiteral("ms"), QStringLiteral("5000"));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("Also log the broker connections and every MQTT message."));
    parser.addOptions({hostOption, portOption, servicesOption, motionOption, takeOption,
                       cardsOption, timeoutOption, verboseOption});
    parser.addPositionalArgument(
        QStringLiteral("send"),
        QStringLiteral("send <command> [arguments]: send one command and exit."),
        QStringLiteral("[send <command> [arguments]]"));
    parser.process(app);

    g_verbose = parser.isSet(verboseOption);
    qInstallMessageHandler(writeMessage);
    if (!g_verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    Simulator::Options options;
    options.host = parser.value(hostOption);
    int port = 0;
    if (!readNumber(parser.value(portOption), 1, &port) || port > 65535) {
        printError(QStringLiteral("--port takes a port number (1 to 65535)"));
        return ExitUsage;
    }
    options.port = quint16(port);

    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty()) {
        if (positional.first() != QLatin1String("send")) {
            printError(
                QStringLiteral("unknown argument '%1' (see --help)").arg(positional.first()));
            return ExitUsage;
        }
        QString error;
        const QJsonObject command = ControlCommands::fromArguments(positional.mid(1), &error);
        int timeout = 0;
        if (command.isEmpty()) {
            printError(error + QStringLiteral("\n\nCommands:\n") + ControlCommands::usage());
            return ExitUsage;
        }
        if (!readNumber(parser.value(timeoutOption), 1, &timeout)) {
            printError(QStringLiteral("--timeout takes a number of milliseconds"));
            return ExitUsage;
        }
        // A one-shot command line talks only when something goes wrong.
        QLoggingCategory::setFilterRules(parser.isSet(verboseOption)
                                             ? QString()
                                             : QStringLiteral("*.info=false\n*.debug=false"));
        return send(app, options.host, options.port, command, timeout);
    }

    QString error;
    if (!Simulator::parseServices(parser.value(servicesOption), &options.services, &error)) {
        printError(QStringLiteral("--services: ") + error);
        return ExitUsage;
    }
    if (!readNumber(parser.value(motionOption), 0, &options.motionDelay)) {
        printError(QStringLiteral("--motion-delay takes a number of milliseconds"));
        return ExitUsage;
    }
    if (parser.value(takeOption) == QLatin1String("never")) {
        options.takeDelay = -1;
    } else if (!readNumber(parser.value(takeOption), 0, &options.takeDelay)) {
        printError(QStringLiteral("--take-delay takes a number of milliseconds or \"never\""));
        return ExitUsage;
    }
    if (!readNumber(parser.value(cardsOption), 0, &options.cards)) {
        printError(QStringLiteral("--cards takes a number of cards"));
        return ExitUsage;
    }

    Simulator simulator(options);
    SignalWatcher watcher({SIGINT, SIGTERM});
    QObject::connect(
        &watcher, &SignalWatcher::signalReceived, &simulator, [&simulator](int number) {
            qInfo().noquote().nospace()
                << "[Simulator] " << (number == SIGINT ? "SIGINT" : "SIGTERM") << " received";
            simulator.stop();
        });
    QObject::connect(&simulator, &Simulator::stopped, &app, &QCoreApplication::quit);
    simulator.start();
    qInfo().noquote().nospace() << "[Simulator] Control topic " << ControlCommands::ControlTopic
                                << " (answers on " << ControlCommands::ReplyTopic << ")";
    const int code = app.exec();
    qInfo().noquote().nospace() << "[Simulator] Stopped";
    return code;
}
