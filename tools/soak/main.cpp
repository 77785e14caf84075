// kvrt-soak: a long run of the whole terminal under injected faults (see Soak.h).

#include "Soak.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {
// The soak prints its own report; the MQTT client's chatter would drown it.
void quiet(QtMsgType, const QMessageLogContext&, const QString&) { }
} // namespace

int main(int argc, char* argv[])
{
    qInstallMessageHandler(quiet);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvrt-soak"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Issues cards at a simulated entry gate for a long time, with faults "
                       "injected at random (seeded), and checks the terminal at the end."));
    parser.addHelpOption();
    const QCommandLineOption cards("cards", "Cards to issue (default 1000).", "N", "1000");
    const QCommandLineOption seed("seed", "Seed of the fault sequence (default 1).", "S", "1");
    const QCommandLineOption terminal("terminal", "The terminal program.", "path");
    const QCommandLineOption simulator("simulator", "The kvrt-simulator program.", "path");
    const QCommandLineOption workDir("work-dir", "Where configuration and logs go.", "dir",
                                     QDir::currentPath() + QStringLiteral("/soak-run"));
    const QCommandLineOption motion("motion-delay", "Time of each dispenser movement (default 50).",
                                    "ms", "50");
    const QCommandLineOption faults(
        "fault-percent", "Share of cards preceded by a fault (default 8).", "percent", "8");
    const QCommandLineOption restart(
        "restart-every", "Broker restart every N cards (default 100; 0: never).", "N", "100");
    parser.addOptions({cards, seed, terminal, simulator, workDir, motion, faults, restart});
    parser.process(app);

    Soak::Options options;
    bool ok[6];
    options.cards = parser.value(cards).toInt(&ok[0]);
    options.seed = parser.value(seed).toUInt(&ok[1]);
    options.motionDelay = parser.value(motion).toInt(&ok[2]);
    options.faultPercent = parser.value(faults).toInt(&ok[3]);
    options.brokerRestartEvery = parser.value(restart).toInt(&ok[4]);
    ok[5] = parser.isSet(terminal) && parser.isSet(simulator);
    if (!(ok[0] && ok[1] && ok[2] && ok[3] && ok[4] && ok[5]) || options.cards < 1
        || options.motionDelay < 0 || options.faultPercent < 0 || options.faultPercent > 100
        || options.brokerRestartEvery < 0) {
        std::fprintf(stderr,
                     "kvrt-soak: bad arguments (see --help); --terminal and "
                     "--simulator are needed\n");
        return 2;
    }
    options.terminal = parser.value(terminal);
    options.simulator = parser.value(simulator);
    options.workDir = QDir(parser.value(workDir)).absolutePath();

    Soak soak(options);
    return soak.run();
}
