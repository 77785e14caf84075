// Stalls of the terminal's GUI thread: the longest time its event loop does not turn while
// the terminal works, next to the same measure on the same terminal at rest.
//
// The real GUIManager with its QML scene runs in a child process (this program re-run with
// --gui) on a virtual display with Qt Quick's software renderer, which renders on the GUI
// thread as on the device, against a real broker and the device-service simulator, with a
// full event log (1001 entries). A StallProbe measures the GUI thread. The outside world
// (simulator commands, remote configuration, taps through the X server) is played from
// threads of their own, so that the bench adds nothing to the loop but the probe's events
// and a look at the scene every 10 ms.
//
// Scenarios:
// - 50 ignition switches (off, on, ...) in 2 s, through the simulator's board;
// - 20 remote /config/set in 2 s;
// - a card issue, from the tap on the gate page to the collection of the card;
// - opening the event-log page from the settings menu (the technician logged in before);
// - a diagnostics cycle: the self-test page opened, two rounds of checks, FINISH (the
//   report saved, its QR code shown), the popup closed and the page gone.
// Each runs on the normal disk, and again on a slow one where every fsync and fdatasync of
// the terminal waits 200 ms (kvrt-slowdisk preloaded), as on an SD card.
//
// Anchor: the same probe on the same terminal at rest on the screen the scenario ends on
// (the gate page, the event-log page, the settings menu), right after it: the same process
// with the same scene, connections, timers and probe, in the same state of the machine,
// over a window as long as the scenario's (the longest wait of a longer window is longer;
// up to 20 s). At rest the terminal renders nothing: its loop then waits for nothing but
// the machine, a few hundredths of a millisecond, and any screen change at all would be "a
// stall" next to it. So the anchor is that screen at rest showing frames: the whole window
// repainted every 16 ms, the least the loop pays to show that screen with a renderer on
// this thread, and nothing else. Its quiet figure (nothing rendered) is printed too, as
// "rest".
//
// Goal: in every scenario and on both disks, longest stall <= 16 ms (one frame) and
// <= 3x the idle anchor's. Each scenario runs several rounds: the figures are the medians
// of the rounds, the worst round in brackets.
//
// Usage: bench_stall [rounds (default 3)] [scenario names, comma-separated (default all)]
//                    [disks: normal, slow or both (default)]

#include "BenchSupport.h"
#include "Board.h"
#include "ChildProcess.h"
#include "Config.h"
#include "GUIManager.h"
#include "Logger.h"
#include "SceneGraphBackend.h"
#include "StallProbe.h"
#include "TapInjector.h"
#include "TerminalRig.h"
#include "Version.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

using bench::median;

namespace {

constexpr double FrameGoalMs = 16;
constexpr double IdleGoal = 3;
constexpr int SyncDelayMs = 200;
constexpr qint64 MaxAnchorMs = 20000;
constexpr int EventLogSize = 1001;
const QString SettingsPin = QStringLiteral("4826"); // the default
const QString ControlTopic = QStringLiteral("ovant/simulator/control");
const QString ConfigSetTopic = QStringLiteral("ovant/ui/config/set");

struct ScenarioName
{
    const char* key;
    const char* title;
};
const ScenarioName Scenarios[] = {
    {"ignition", "50 ignition switches in 2 s"}, {"config", "20 remote /config/set in 2 s"},
    {"card", "card issue, tap to collection"},   {"eventlog", "opening the event-log page"},
    {"diagnostics", "diagnostics cycle"},
};

// ---------------------------------------------------------------------------------------
// The child: the terminal's GUI thread under the probe

// Lines of the terminal's log that tell what happened, counted from any thread; every
// message goes on to the terminal's own logger.
namespace logwatch {
std::atomic<int> cardsCollected {0};
std::atomic<int> issuerReady {0};
QtMessageHandler previous = nullptr;

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("Card issued successfully")))
        ++cardsCollected;
    else if (message.contains(QLatin1String("[CardIssuer] State changed : (2) Ready")))
        ++issuerReady;
    if (previous)
        previous(type, context, message);
}
} // namespace logwatch

// Runs the event loop until done() holds (looked at every 10 ms) or the time is up.
bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    look.start(10);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The outside world of a scenario, on a thread of its own: simulator commands and
// remote requests over a libmosquitto connection with its own network thread, and taps
// through the X server.
class Driver
{
public:
    Driver(const QString& host, quint16 port)
    {
        mosquitto_lib_init();
        m_mosquitto = mosquitto_new(nullptr, true, nullptr);
        m_connected = m_mosquitto
            && mosquitto_connect(m_mosquitto, host.toUtf8().constData(), port, 60)
                == MOSQ_ERR_SUCCESS
            && mosquitto_loop_start(m_mosquitto) == MOSQ_ERR_SUCCESS;
    }
    ~Driver()
    {
        join();
        if (m_connected) {
            mosquitto_disconnect(m_mosquitto);
            mosquitto_loop_stop(m_mosquitto, false);
        }
        mosquitto_destroy(m_mosquitto);
    }
    bool isConnected() const { return m_connected; }

    void run(std::function<void(Driver&)> script)
    {
        join();
        m_finished = false;
        m_thread = std::thread([this, script] {
            script(*this);
            m_finished = true;
        });
    }
    bool finished() const { return m_finished; }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    void publish(const QString& topic, const QJsonObject& json)
    {
        const QByteArray payload = QJsonDocument(json).toJson(QJsonDocument::Compact);
        mosquitto_publish(m_mosquitto, nullptr, topic.toUtf8().constData(), payload.size(),
                          payload.constData(), 0, false);
    }
    // A finger on the screen for 50 ms.
    static bool tap(const QPoint& at)
    {
        TapInjector injector;
        if (!injector.press(at.x(), at.y())) {
            std::fprintf(stderr, "tap: %s\n", qPrintable(injector.error()));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return injector.release();
    }

private:
    mosquitto* m_mosquitto = nullptr;
    bool m_connected = false;
    std::atomic<bool> m_finished {true};
    std::thread m_thread;
};

// Every `periodMs` from now on, count times, calls step(i) on the driver's thread.
void paced(Driver& driver, int count, int periodMs, const std::function<void(Driver&, int)>& step)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i * periodMs));
        step(driver, i);
    }
}

class Terminal
{
public:
    Terminal(GUIManager& manager, Config& config, Driver& driver)
        : m_manager(manager)
        , m_config(config)
        , m_driver(driver)
        , m_window(qobject_cast<QQuickWindow*>(manager.parent()))
    { }

    QQuickWindow* window() const { return m_window; }
    QString shown() const { return m_window->property("currentScreen").toString(); }
    bool gatePageShown() const { return shown() == QLatin1String("EntryGate"); }
    manager::Board* board() const { return qobject_cast<manager::Board*>(contextObject("board")); }
    QObject* contextObject(const char* name) const
    {
        return qvariant_cast<QObject*>(
            qmlEngine(m_window)->rootContext()->contextProperty(QLatin1String(name)));
    }

    // The visible item of that name (the first found), or null.
    QQuickItem* item(const QString& name) const
    {
        QList<QQuickItem*> items {m_window->contentItem()};
        for (int i = 0; i < items.size(); ++i) {
            QQuickItem* candidate = items.at(i);
            if (!candidate->isVisible())
                continue;
            if (candidate->objectName() == name)
                return candidate;
            items += candidate->childItems();
        }
        return nullptr;
    }
    // Where an item's centre is on the screen.
    QPoint screenPoint(QQuickItem* item) const
    {
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        return m_window->mapToGlobal(centre.toPoint());
    }
    QString gatePhase() const
    {
        return QMetaEnum::fromType<GatePassage::Phase>().valueToKey(m_manager.passage()->phase());
    }
    // Taps the visible item of that name; false if there is none.
    bool tap(const QString& name)
    {
        QQuickItem* target = item(name);
        if (!target)
            return false;
        const QPoint at = screenPoint(target);
        m_driver.run([at](Driver&) { Driver::tap(at); });
        return true;
    }
    bool atRest() const
    {
        return gatePageShown() && m_manager.passage()->shownPhase() == GatePassage::Initial
            && board() && board()->ignition();
    }
    bool waitForRest()
    {
        return waitFor([this] { return atRest(); }, 60000);
    }

    bool openSettings()
    {
        m_manager.settingsLoginRequest(SettingsPin);
        m_manager.setMaintenanceScreen();
        return waitFor(
            [this] {
                return shown() == QLatin1String("Settings")
                    && item(QStringLiteral("menu_EventLog")) != nullptr;
            },
            20000);
    }
    void leaveSettings() { m_manager.settingsLogoutRequest(); }
    QQuickItem* stack() const { return item(QStringLiteral("settingsStack")); }
    bool stackSettled(int depth) const
    {
        QQuickItem* view = stack();
        return view && view->property("depth").toInt() == depth && !view->property("busy").toBool();
    }

    GUIManager& manager() { return m_manager; }
    Config& config() { return m_config; }
    Driver& driver() { return m_driver; }

private:
    GUIManager& m_manager;
    Config& m_config;
    Driver& m_driver;
    QQuickWindow* m_window;
};

// One scenario: made ready (not measured), run under the probe, then brought back to rest.
struct Scenario
{
    std::function<bool()> prepare;
    // Returns false when the scenario did not happen as it should; note says how it went.
    std::function<bool(QString* note)> run;
    std::function<void()> finish;
    // Until the terminal has nothing left to do on the screen the scenario ends on.
    std::function<void()> settle = [] {};
};

Scenario ignitionScenario(Terminal& terminal)
{
    return {[] { return true; },
            [&terminal](QString* note) {
                manager::Board* board = terminal.board();
                int changes = 0;
                QElapsedTimer sinceChange;
                sinceChange.start();
                const QMetaObject::Connection counting
                    = QObject::connect(board, &manager::Board::ignitionChanged, [&] {
                          ++changes;
                          sinceChange.start();
                      });
                terminal.driver().run([](Driver& driver) {
                    paced(driver, 50, 40, [](Driver& d, int i) {
                        d.publish(ControlTopic,
                                  {{"command", "ignition"}, {"value", i % 2 ? "on" : "off"}});
                    });
                });
                // Done once the last switch (on) is in and nothing has changed for a while.
                const bool done = waitFor(
                    [&] {
                        return terminal.driver().finished() && board->ignition()
                            && sinceChange.elapsed() > 1000;
                    },
                    120000);
                pause(300);
                QObject::disconnect(counting);
                *note = QStringLiteral("%1 switches seen").arg(changes);
                return done && board->ignition();
            },
            [] {}};
}

Scenario configScenario(Terminal& terminal)
{
    return {[] { return true; },
            [&terminal](QString* note) {
                int changes = 0;
                const QMetaObject::Connection counting = QObject::connect(
                    &terminal.config(), &Config::configChanged, [&] { ++changes; });
                terminal.driver().run([](Driver& driver) {
                    paced(driver, 20, 100, [](Driver& d, int i) {
                        d.publish(ConfigSetTopic,
                                  {{"gui", QJsonObject {{"displayOffMin", 4 + i % 2}}}});
                    });
                });
                const bool done = waitFor([&] { return changes >= 20; }, 120000);
                pause(300);
                QObject::disconnect(counting);
                *note = QStringLiteral("%1 changes applied").arg(changes);
                return done;
            },
            [] {}};
}

Scenario cardScenario(Terminal& terminal)
{
    return {[&terminal] { return logwatch::issuerReady > 0; },
            [&terminal](QString* note) {
                const int before = logwatch::cardsCollected;
                if (!terminal.tap(QStringLiteral("gateTouch"))) {
                    *note = QStringLiteral("no gate page to tap");
                    return false;
                }
                const bool done = waitFor([&] { return logwatch::cardsCollected > before; }, 60000);
                pause(300);
                *note = done ? QStringLiteral("card collected") : QStringLiteral("no card");
                return done;
            },
            [] {},
            // The next card is prepared.
            [&terminal] { terminal.waitForRest(); }};
}

Scenario eventLogScenario(Terminal& terminal)
{
    return {[&terminal] { return terminal.openSettings(); },
            [&terminal](QString* note) {
                if (!terminal.tap(QStringLiteral("menu_EventLog"))) {
                    *note = QStringLiteral("no menu");
                    return false;
                }
                const bool done = waitFor(
                    [&] {
                        QQuickItem* list = terminal.item(QStringLiteral("eventList"));
                        return terminal.stackSettled(2) && list
                            && list->property("count").toInt() > 0;
                    },
                    30000);
                pause(500);
                QQuickItem* list = terminal.item(QStringLiteral("eventList"));
                *note = QStringLiteral("%1 events listed")
                            .arg(list ? list->property("count").toInt() : 0);
                return done;
            },
            [&terminal] { terminal.leaveSettings(); }};
}

Scenario diagnosticsScenario(Terminal& terminal)
{
    return {[&terminal] { return terminal.openSettings(); },
            [&terminal](QString* note) {
                // Declared in the page, the popup is one of its children.
                const auto popupOpen = [&terminal] {
                    QObject* page = terminal.stack()->property("currentItem").value<QObject*>();
                    QObject* popup
                        = page ? page->findChild<QObject*>(QStringLiteral("reportPopup")) : nullptr;
                    return popup && popup->property("visible").toBool();
                };
                const bool opened = terminal.tap(QStringLiteral("menu_Diagnostics"))
                    && waitFor(
                                        [&] {
                                            return terminal.stackSettled(2)
                                                && terminal.item(QStringLiteral("test_FINISH"));
                                        },
                                        30000);
                if (!opened) {
                    *note = QStringLiteral("the page did not open");
                    return false;
                }
                pause(2200); // two rounds of checks
                // FINISH is at the bottom: the technician scrolls there first.
                if (QQuickItem* page
                    = terminal.stack()->property("currentItem").value<QQuickItem*>())
                    page->setProperty("contentY",
                                      page->property("contentHeight").toDouble() - page->height());
                pause(300);
                const bool reported
                    = terminal.tap(QStringLiteral("test_FINISH")) && waitFor(popupOpen, 30000);
                if (!reported) {
                    *note = QStringLiteral("no report");
                    return false;
                }
                pause(500);
                // The report's popup closes on a tap anywhere, and the page with it.
                const QPoint centre = terminal.window()->mapToGlobal(QPoint(512, 300));
                terminal.driver().run([centre](Driver&) { Driver::tap(centre); });
                const bool closed = waitFor([&] { return terminal.stackSettled(1); }, 30000);
                pause(500);
                *note = closed ? QStringLiteral("report saved") : QStringLiteral("page stayed");
                return closed;
            },
            [&terminal] { terminal.leaveSettings(); }};
}

// The terminal at rest showing frames and doing nothing else: its whole window repainted
// every 16 ms, as for any change of screen.
void repaintFor(QQuickWindow* window, int ms)
{
    QQuickItem* root = window->contentItem()->parentItem() ? window->contentItem()->parentItem()
                                                           : window->contentItem();
    QTimer frames;
    bool dim = false;
    QObject::connect(&frames, &QTimer::timeout, [&] {
        dim = !dim;
        root->setOpacity(dim ? 0.999 : 1.0);
    });
    frames.start(16);
    pause(ms);
    frames.stop();
    root->setOpacity(1.0);
}

// Whether the slow disk is loaded into this process.
bool slowDiskLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("kvrt-slowdisk");
}

int runGui(int argc, char** argv)
{
    const QString directory = QString::fromLocal8Bit(argv[2]);
    const int rounds = QByteArray(argv[3]).toInt();
    const QStringList wanted = QString::fromLocal8Bit(argv[4]).split(QLatin1Char(','));

    // As main() does.
    qputenv("QT_IM_MODULE", QByteArrayLiteral("freevirtualkeyboard"));
    QGuiApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QString::fromLatin1(kvrt::ApplicationName));
    QGuiApplication::setApplicationVersion(QString::fromLatin1(kvrt::ApplicationVersion));
    QGuiApplication::setOrganizationName(QString::fromLatin1(kvrt::OrganizationName));
    QFontDatabase::addApplicationFont(QStringLiteral(":/qml/fonts/DejaVuSans.ttf"));
    QGuiApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    SceneGraphBackend::choose();

    Config config(QDir(directory).filePath(QStringLiteral("gui.conf")), GUIManager::Defaults);
    GUIManager manager(config, directory);
    manager.load();
    logwatch::previous = qInstallMessageHandler(logwatch::handler);
    if (!manager.parent() || !manager.parent()->inherits("QQuickWindow")) {
        std::printf("error no window\n");
        return 1;
    }
    Driver driver(config.get(QStringLiteral("mqtt/host")).toString(),
                  quint16(config.get(QStringLiteral("mqtt/port")).toInt()));
    if (!driver.isConnected()) {
        std::printf("error the driver cannot connect\n");
        return 1;
    }
    Terminal terminal(manager, config, driver);
    if (!waitFor([&] { return terminal.atRest() && logwatch::issuerReady > 0; }, 60000)) {
        std::printf("error the terminal did not come to rest on its gate page (%s, %s)\n",
                    qPrintable(terminal.shown()), qPrintable(terminal.gatePhase()));
        return 1;
    }
    pause(2000);

    StallProbe probe;
    const std::map<QString, std::function<Scenario(Terminal&)>> makers {
        {"ignition", ignitionScenario},
        {"config", configScenario},
        {"card", cardScenario},
        {"eventlog", eventLogScenario},
        {"diagnostics", diagnosticsScenario}};
    for (int round = 1; round <= rounds; ++round) {
        for (const ScenarioName& name : Scenarios) {
            if (!wanted.contains(QLatin1String("all")) && !wanted.contains(QLatin1String(name.key)))
                continue;
            const Scenario scenario = makers.at(QLatin1String(name.key))(terminal);
            if (!scenario.prepare()) {
                std::printf("failed %s %d not ready\n", name.key, round);
                std::fflush(stdout);
                return 1;
            }
            pause(1000);
            QString note;
            QElapsedTimer clock;
            clock.start();
            probe.restart();
            const bool ok = scenario.run(&note);
            const double stall = probe.longestMs();
            const qint64 duration = clock.elapsed();
            const std::vector<StallProbe::Stall> stalls = probe.stalls();
            driver.join();
            // The anchors, on the screen the scenario ends on.
            const int window = int(std::min<qint64>(duration, MaxAnchorMs));
            scenario.settle();
            pause(1000);
            probe.restart();
            pause(window);
            const double idle = probe.longestMs();
            pause(300);
            probe.restart();
            repaintFor(terminal.window(), window);
            const double rendering = probe.longestMs();
            scenario.finish();
            if (!terminal.waitForRest()) {
                std::printf("failed %s %d no rest (%s, %s)\n", name.key, round,
                            qPrintable(terminal.shown()), qPrintable(terminal.gatePhase()));
                std::fflush(stdout);
                return 1;
            }
            pause(1000);
            std::printf("%s %s %d %.2f %.2f %.2f %.2f %s\n", ok ? "result" : "failed", name.key,
                        round, stall, idle, rendering, double(duration) / 1e3, qPrintable(note));
            // When they happened, in the time of the terminal's log lines.
            for (const StallProbe::Stall& stall : stalls)
                std::printf("stall %s %d %.3f %.1f\n", name.key, round,
                            (stall.postedAtMs - manager::Logger::instance()->getStartTime()) / 1e3,
                            stall.waitMs);
            std::fflush(stdout);
        }
    }
    std::printf("slowdisk %d\n", slowDiskLoaded() ? 1 : 0);
    return 0;
}

// ---------------------------------------------------------------------------------------
// The parent: the rig, the two disks and the table

struct Figures
{
    std::vector<double> stalls;
    std::vector<double> idles;
    std::vector<double> renderings;
    std::vector<double> seconds;
    QStringList notes;
    int failed = 0;
};

bool prepareDirectory(const QString& directory, TerminalRig& rig)
{
    const QDir dir(directory);
    QFile serial(dir.filePath(QStringLiteral("serialnumber")));
    if (!serial.open(QIODevice::WriteOnly) || serial.write("K00000001\n") < 0)
        return false;
    serial.close();
    QSettings ini(dir.filePath(QStringLiteral("gui.conf")), QSettings::IniFormat);
    const QVariantMap values {{"gui/isEntryGate", true},
                              {"gui/deviceId", serial.fileName()},
                              {"gui/locale", "el_GR"},
                              {"log/syslog", false},
                              {"log/stderr", true},
                              {"mqtt/host", rig.broker().host()},
                              {"mqtt/port", rig.broker().port()}};
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        ini.setValue(it.key(), it.value());
    ini.sync();
    bench::writeEventLog(dir.filePath(QStringLiteral("events.ini")), EventLogSize);
    return ini.status() == QSettings::NoError;
}

bool runDisk(TerminalRig& rig, bool slow, int rounds, const QString& scenarios,
             std::map<QString, Figures>* figures, bool* slowDisk)
{
    QTemporaryDir directory;
    if (!directory.isValid() || !prepareDirectory(directory.path(), rig)) {
        std::fprintf(stderr, "cannot write the terminal's files\n");
        return false;
    }
    QProcessEnvironment environment = rig.display().environment(ChildProcess::defaultEnvironment());
    if (slow) {
        const QString preloaded = environment.value(QStringLiteral("LD_PRELOAD"));
        environment.insert(QStringLiteral("LD_PRELOAD"),
                           preloaded.isEmpty() ? QStringLiteral(KVRT_SLOWDISK)
                                               : preloaded + QLatin1Char(':') + KVRT_SLOWDISK);
        environment.insert(QStringLiteral("KVRT_FSYNC_DELAY_MS"), QString::number(SyncDelayMs));
    }
    // A closer look also shows where each frame's time goes.
    if (bench::keepingLogs())
        environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                           QString::fromLatin1(bench::FrameLoggingRules));
    ChildProcess child;
    child.setEnvironment(environment);
    child.setWorkingDirectory(directory.path());
    if (!child.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gui"), directory.path(), QString::number(rounds), scenarios})
        || !child.waitForFinished(60 * 60 * 1000)) {
        std::fprintf(stderr, "the terminal's run did not end\n");
        return false;
    }
    bool complete = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    QString stallLines;
    for (const QString& line : child.standardOutput().split(QLatin1Char('\n'))) {
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.value(0) == QLatin1String("slowdisk")) {
            *slowDisk = words.value(1) == QLatin1String("1");
        } else if (words.size() >= 7
                   && (words[0] == QLatin1String("result")
                       || words[0] == QLatin1String("failed"))) {
            Figures& scenario = (*figures)[words[1]];
            if (words[0] == QLatin1String("failed"))
                ++scenario.failed;
            scenario.stalls.push_back(words[3].toDouble());
            scenario.idles.push_back(words[4].toDouble());
            scenario.renderings.push_back(words[5].toDouble());
            scenario.seconds.push_back(words[6].toDouble());
            scenario.notes.append(words.mid(7).join(QLatin1Char(' ')));
        } else if (words.value(0) == QLatin1String("stall")) {
            stallLines += line + QLatin1Char('\n');
        } else if (!line.isEmpty()) {
            std::printf("  %s\n", qPrintable(line));
        }
    }
    // For a closer look: the terminal's log, and when the stalls happened in its time.
    const QString base = QLatin1String(slow ? "stall-slow" : "stall-normal");
    bench::keepFile(base + QStringLiteral(".log"), child.standardError().toUtf8());
    bench::keepFile(base + QStringLiteral(".stalls"), stallLines.toUtf8());
    if (!complete) {
        const QString log = child.standardError();
        std::fprintf(stderr, "the terminal's run failed; its last lines:\n%s\n",
                     qPrintable(log.section(QLatin1Char('\n'), -40)));
    }
    return complete;
}

double maxOf(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 4 && qstrcmp(argv[1], "--gui") == 0)
        return runGui(argc, argv);

    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 3;
    const QString scenarios = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("all");
    const QString diskChoice = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("both");

    TerminalRig rig;
    if (const int code = bench::startRig(rig, "bench_stall"); code >= 0)
        return code;

    std::printf("stalls of the GUI thread (%d rounds, virtual display, software renderer, "
                "%d events in the log):\n",
                rounds, EventLogSize);
    std::fflush(stdout);
    bool allOk = true;
    std::vector<std::pair<bool, std::map<QString, Figures>>> disks;
    for (const bool slow : {false, true}) {
        if (diskChoice != QLatin1String("both")
            && diskChoice != QLatin1String(slow ? "slow" : "normal"))
            continue;
        std::map<QString, Figures> figures;
        bool slowDisk = false;
        const bool complete = runDisk(rig, slow, rounds, scenarios, &figures, &slowDisk);
        if (slow != slowDisk) {
            std::printf("  the slow disk is %s where it should %s: the figures mean nothing\n",
                        slowDisk ? "loaded" : "missing", slow ? "be" : "not");
            allOk = false;
        }
        allOk = allOk && complete;
        disks.emplace_back(slow, figures);
    }

    std::printf("\n  %-30s %-6s %17s %15s %15s %6s  %-17s\n", "scenario", "disk",
                "longest stall ms", "rest ms", "anchor ms", "ratio", "goal");
    for (const ScenarioName& name : Scenarios) {
        for (const auto& [slow, figures] : disks) {
            const auto found = figures.find(QLatin1String(name.key));
            if (found == figures.end())
                continue;
            const Figures& f = found->second;
            const double stall = median(f.stalls);
            const double anchor = median(f.renderings);
            const double ratio = anchor > 0 ? stall / anchor : 0;
            const bool ok = f.failed == 0 && stall <= FrameGoalMs && ratio <= IdleGoal;
            allOk = allOk && ok;
            std::printf("  %-30s %-6s %7.1f (%7.1f) %6.2f (%5.2f) %6.2f (%5.2f) %6.2f  <= %.0f ms, "
                        "<= %.0fx %-4s %s\n",
                        name.title, slow ? "slow" : "normal", stall, maxOf(f.stalls),
                        median(f.idles), maxOf(f.idles), anchor, maxOf(f.renderings), ratio,
                        FrameGoalMs, IdleGoal, ok ? "OK" : "FAIL",
                        f.failed ? qPrintable(QStringLiteral("(%1 rounds failed: %2)")
                                                  .arg(f.failed)
                                                  .arg(f.notes.join(QStringLiteral("; "))))
                                 : qPrintable(QStringLiteral("(%1 s; %2)")
                                                  .arg(median(f.seconds), 0, 'f', 1)
                                                  .arg(f.notes.value(0))));
        }
    }
    std::printf("stall goals: %s\n", allOk ? "all OK" : "FAILED");
    return 0;
}
