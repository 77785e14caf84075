// Reaction times of the terminal: from the MQTT message (or the tap) to the first frame
// that shows its effect, and the time from launch to a working gate; each next to an
// anchor measured in the same run, alternately with it.
//
// The real program runs on a virtual display with Qt Quick's software renderer, against a
// real broker and the device-service simulator, whose service reports are retained on the
// broker as when a terminal boots. Its frames are seen as bench_terminal sees them: Qt's
// render-loop timing category is switched on, and the frame that shows a message's effect
// is the first "Frame rendered" line after a line the terminal logs in the handler that
// changes the scene (no frame can come before that handler is over). Messages the
// terminal sends are seen by this program's own MQTT client; taps go through the X server
// (XTEST), the way a touch screen's do.
//
// The anchor is a bare Qt Quick Controls 2 window (this program re-run with --anchor, the
// same Qt, style, renderer and window size) speaking MQTT with a bare libmosquitto client
// in its event loop (RawMqttClient): it switches between two pages on each message of
// the same topics, and on each tap, and logs a line before it does. Where the terminal
// asks a service, the anchor asks the same one on the same topic, so that the same peers
// wake up: for each ticket the same sound request; for each tap the dispenser's issue
// request as the request/response convention has it (its answer's topic subscribed
// first, the request at QoS 1), sent before its page switches, as the terminal does.
// Both rounds start with the same dispenser: no card on the reader, a full cartridge.
//
// Each repetition launches both programs once, one after the other:
// - time to a working gate: from launch to the first frame of the gate page with the
//   readers switched on (at an entry gate, the barcode scanner: the RFID reader is the card
//   issuer's). Anchor: its first frame, then a raw connect, subscribe and first retained
//   message. Goal: median <= 1.3x;
// - a terminal-service status change (out of service) -> the out-of-service screen;
// - a tap at the entry gate -> the dispenser's issue request (the first tap after the
//   start: no card waits on the reader yet, so the issue starts at the dispenser);
// - a ticket result at the exit gate -> the result page, and the sound request.
// Goal for the reactions: median and 95th percentile <= 1.2x the anchor's.
//
// Usage: bench_reaction [repetitions (default 30)]

#include "ArrivalLog.h"
#include "BenchSupport.h"
#include "ChildProcess.h"
#include "FullEventLog.h"
#include "RawMqttClient.h"
#include "TapInjector.h"
#include "TerminalRig.h"
#include "TestPeer.h"
#include "TicketFactory.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

#include <mosquitto.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

using bench::median;
using bench::monotonicMs;

namespace {

const QByteArray FrameMark(bench::FrameMark);
const QString LoggingRules = QString::fromLatin1(bench::FrameLoggingRules);
const QString StatusTopic = QStringLiteral("ovant/blm/status");
const QString ScanTopic = QStringLiteral("ovant/blm/barcode/scanned");
const QString IssueRequestTopic = QStringLiteral("ovant/dispenser/issue/request/+");
const QString ControlTopic = QStringLiteral("ovant/simulator/control");
const QString SoundTopic = QStringLiteral("ovant/inspector/audio/play");
const QString BarcodeEnableTopic = QStringLiteral("ovant/barcode/enable");
const QString ConfigTopic = QStringLiteral("ovant/ui/config");
const QString IssueTopic = QStringLiteral("ovant/dispenser/issue");
// Where a tap lands: on the gate page, under the header.
const QPoint TapPoint(512, 400);
constexpr int TimeoutMs = 30000;
constexpr double ReactionGoal = 1.2;
constexpr double StartGoal = 1.3;

// ---------------------------------------------------------------------------------------
// The anchor program

const char* const AnchorQml = R"(
import QtQuick 2.15
import QtQuick.Controls 2.15
ApplicationWindow {
    id: window
    width: 1024
    height: 600
    visible: true
    title: "Anchor"
    property int page: 0
    Label {
        anchors.centerIn: parent
        visible: window.page === 0
        text: "First page"
    }
    Label {
        anchors.centerIn: parent
        visible: window.page === 1
        text: "Second page"
    }
    MouseArea {
        anchors.fill: parent
        onClicked: anchor.tapped()
    }
    Connections {
        target: anchor
        function onSwitchPage() { window.page = 1 - window.page }
    }
}
)";

// What the terminal asks of the system inspector for a valid ticket.
const QByteArray SoundRequest
    = QByteArrayLiteral("{\n    \"device\": \"internal\",\n    \"filepath\": "
                        "\"/opt/ovant/kvrtterminalui/Valid.wav\"\n}\n");

void say(const char* text)
{
    std::fprintf(stderr, "anchor: %s\n", text);
    std::fflush(stderr);
}

// The anchor's whole logic: a page switch and a request where the terminal reacts.
class AnchorLink : public QObject
{
    Q_OBJECT

public:
    explicit AnchorLink(RawMqttClient& client)
        : m_client(client)
    {
        connect(&client, &RawMqttClient::connected, this, [this] {
            m_client.subscribe(StatusTopic);
            m_client.subscribe(ScanTopic);
        });
        connect(&client, &RawMqttClient::received, this, &AnchorLink::onMessage);
    }
    // A request as the convention has it: its answer's topic subscribed first.
    Q_INVOKABLE void tapped()
    {
        say("tapped");
        const QString id = QStringLiteral("anchor%1").arg(++m_requests);
        m_client.subscribe(IssueTopic + QStringLiteral("/response/") + id);
        m_client.publish(IssueTopic + QStringLiteral("/request/") + id, QByteArrayLiteral("{}"), 1);
        Q_EMIT switchPage();
    }

Q_SIGNALS:
    void switchPage();

private:
    void onMessage(const QString& topic, const QByteArray&)
    {
        // The dispenser's answer to a tap: the terminal's screen does not change on it.
        if (topic != StatusTopic && topic != ScanTopic) {
            say("answered");
            return;
        }
        if (topic == StatusTopic && !m_retained) {
            m_retained = true;
            say("retained");
        }
        say(topic == StatusTopic ? "switched status" : "switched scan");
        if (topic == ScanTopic)
            m_client.publish(SoundTopic, SoundRequest);
        Q_EMIT switchPage();
    }

    RawMqttClient& m_client;
    bool m_retained = false;
    int m_requests = 0;
};

int runAnchor(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString host = QString::fromLocal8Bit(argv[2]);
    const quint16 port = quint16(QByteArray(argv[3]).toInt());
    QQuickStyle::setStyle(QStringLiteral("Material"));
    RawMqttClient client;
    AnchorLink link(client);
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("anchor"), &link);
    engine.loadData(AnchorQml);
    auto* window = engine.rootObjects().isEmpty()
        ? nullptr
        : qobject_cast<QQuickWindow*>(engine.rootObjects().first());
    if (!window)
        return 1;
    // As the terminal does, the broker waits for the first frame.
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(
        window, &QQuickWindow::frameSwapped, &client,
        [&, connection] {
            QObject::disconnect(*connection);
            if (!client.connectToBroker(host, port))
                say("cannot connect");
        },
        Qt::QueuedConnection);
    return app.exec();
}

// ---------------------------------------------------------------------------------------
// The measuring side

double percentile95(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = size_t(std::ceil(0.95 * double(values.size()))) - 1;
    return values[std::min(at, values.size() - 1)];
}

// A program's standard error as it comes: the time a text first shows at or after a place.
class OutputWatch
{
public:
    explicit OutputWatch(ChildProcess& process)
        : m_process(process)
    { }
    int size() const { return int(m_process.standardErrorBytes().size()); }
    // Where the text starts at or after from, or -1.
    int find(const QByteArray& text, int from) const
    {
        return int(m_process.standardErrorBytes().indexOf(text, from));
    }
    // Where the first frame after the first effect line at or after from starts, or -1.
    int frameAfter(const QByteArray& effect, int from) const
    {
        const int line = find(effect, from);
        return line < 0 ? -1 : find(FrameMark, line + effect.size());
    }
    bool running() const { return m_process.isRunning(); }

private:
    ChildProcess& m_process;
};

// Runs the event loop until each of the conditions has been met once; each returns the time
// it was met (its message's arrival), 0 for "now", or -1 while it is not met yet. Returns
// the times, -1 for those that did not come in time.
std::vector<double> waitAll(const std::vector<std::function<double()>>& conditions,
                            int timeoutMs = TimeoutMs)
{
    std::vector<double> times(conditions.size(), -1);
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // for the deadline
    wake.start(20);
    for (;;) {
        bool all = true;
        for (size_t i = 0; i < conditions.size(); ++i) {
            if (times[i] >= 0)
                continue;
            const double at = conditions[i]();
            if (at == 0)
                times[i] = monotonicMs();
            else if (at > 0)
                times[i] = at;
            all = all && times[i] >= 0;
        }
        if (all || deadline.hasExpired())
            return times;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Samples
{
    std::vector<double> start, status, tap, ticketFrame, ticketSound;
    int failures = 0;
};

class Bench
{
public:
    Bench(TerminalRig& rig, TestPeer& peer, const ArrivalLog& arrivals, TapInjector& taps)
        : m_rig(rig)
        , m_peer(peer)
        , m_arrivals(arrivals)
        , m_taps(taps)
    { }

    // A status report of the terminal service like its own, but without a route: out of
    // service (#0006).
    QJsonObject outOfService() const
    {
        QJsonObject status = QJsonDocument::fromJson(m_arrivals.last(StatusTopic)).object();
        QJsonObject state = status.value(QStringLiteral("state")).toObject();
        state.insert(QStringLiteral("hasRoute"), false);
        status.insert(QStringLiteral("state"), state);
        status.insert(QStringLiteral("route"), QJsonObject {{"axisName", ""}});
        return status;
    }
    QJsonObject inService() const
    {
        return QJsonDocument::fromJson(m_arrivals.last(StatusTopic)).object();
    }

    // As on a terminal that boots: the terminal service's readers off, and no card waiting
    // on the card reader (the one the last round prepared or asked for goes to the reject
    // bin); a full cartridge, so that every round's request at the tap moves a card.
    bool bootState()
    {
        const QString id = QStringLiteral("bench%1").arg(++m_requests);
        const double from = monotonicMs();
        m_peer.publish(ControlTopic, {{"command", "cartridge"}, {"value", 100}});
        m_peer.publish(QStringLiteral("ovant/dispenser/dispose/request/") + id, QJsonObject());
        m_peer.publish(QStringLiteral("ovant/barcode/disable"), QByteArray());
        m_peer.publish(QStringLiteral("ovant/rfid/disable"), QByteArray());
        const auto off = [&] {
            const QJsonValue enabled
                = inService()["device"].toObject()["barcode"].toObject()["enabled"];
            return enabled == QJsonValue(false) ? 0.0 : -1.0;
        };
        const auto disposed = [&] {
            return m_arrivals.after(QStringLiteral("ovant/dispenser/dispose/response/") + id, from);
        };
        const std::vector<double> done = waitAll({off, disposed});
        return done[0] >= 0 && done[1] >= 0;
    }

    // A tap: press, 50 ms, release. Returns the time of the release.
    double tap()
    {
        m_taps.press(TapPoint.x(), TapPoint.y());
        settle(50);
        const double at = monotonicMs();
        m_taps.release();
        return at;
    }

    bool terminalRound(Samples& samples)
    {
        if (!bootState())
            return fail("the readers do not go off, or the card stays on the reader");
        TerminalRig::Options options;
        options.entryGate = true;
        options.language = QStringLiteral("el_GR");
        options.environment.insert(QStringLiteral("QT_LOGGING_RULES"), LoggingRules);
        if (!m_rig.prepareTerminal(options))
            return fail("cannot write the terminal's files");
        const double launched = monotonicMs();
        if (!m_rig.launchTerminal())
            return fail("cannot launch the terminal");
        OutputWatch out(m_rig.terminal());

        // A working gate: the gate page on screen, the scanner switched on.
        const std::vector<double> working = waitAll(
            {[&] {
                 return out.frameAfter("KVRTTerminal status changed : online", 0) >= 0 ? 0.0 : -1.0;
             },
             [&] { return m_arrivals.after(BarcodeEnableTopic, launched); }});
        if (working[0] < 0 || working[1] < 0)
            return fail("no working gate");
        samples.start.push_back(std::max(working[0], working[1]) - launched);
        if (waitAll({[&] {
                return out.find("[CardIssuer] State changed : (2) Ready", 0) >= 0 ? 0.0 : -1.0;
            }})[0]
            < 0)
            return fail("the card issuer does not get ready");
        settle(1500);

        // Out of service.
        int from = out.size();
        double sent = monotonicMs();
        m_peer.publish(StatusTopic, outOfService());
        const double shown = waitAll({[&] {
            return out.frameAfter("KVRTTerminal status changed : out-of-service", from) >= 0 ? 0.0
                                                                                             : -1.0;
        }})[0];
        if (shown < 0)
            return fail("no out-of-service screen");
        samples.status.push_back(shown - sent);
        // Its own readers switched off, the service reports again, and the terminal is back.
        if (waitAll({[&] {
                        return out.frameAfter("KVRTTerminal status changed : online", from) >= 0
                            ? 0.0
                            : -1.0;
                    }},
                    3000)[0]
            < 0)
            m_peer.publish(StatusTopic, inService());
        settle(1000);

        // The first tap after the start: the dispenser is asked for a card.
        from = out.size();
        const double tapped = tap();
        const double asked
            = waitAll({[&] { return m_arrivals.after(IssueRequestTopic, tapped); }})[0];
        if (asked < 0)
            return fail("no issue request");
        samples.tap.push_back(asked - tapped);
        // The card collected and the next one on the reader: the passage is over.
        const auto passageOver = [&] {
            const int preparing = out.find("Preparing next card", from);
            return preparing >= 0
                    && out.find("[CardIssuer] State changed : (1) Busy (reason=Card on RFID)",
                                preparing)
                        >= 0
                ? 0.0
                : -1.0;
        };
        if (waitAll({passageOver})[0] < 0)
            return fail("the issue does not end");
        settle(1000);

        // The exit gate, and a valid ticket.
        sent = monotonicMs();
        m_peer.publish(QStringLiteral("ovant/ui/config/set"),
                       QJsonObject {{"gui", QJsonObject {{"isEntryGate", false}}}});
        if (waitAll({[&] { return m_arrivals.after(ConfigTopic, sent); }})[0] < 0)
            return fail("the gate does not change");
        settle(1000);
        from = out.size();
        sent = monotonicMs();
        m_peer.publish(ScanTopic, QJsonObject {{"transaction", m_tickets.transaction(0, true, 0)}});
        const std::vector<double> result = waitAll(
            {[&] {
                 return out.frameAfter("KVRTTerminal ticket validated", from) >= 0 ? 0.0 : -1.0;
             },
             [&] { return m_arrivals.after(SoundTopic, sent); }});
        if (result[0] < 0 || result[1] < 0)
            return fail("no ticket result");
        samples.ticketFrame.push_back(result[0] - sent);
        samples.ticketSound.push_back(result[1] - sent);
        settle(500);
        keepLog("reaction-terminal.log", m_rig.terminal());
        if (!m_rig.stopTerminal())
            std::fprintf(stderr, "terminal: no clean stop\n");
        return true;
    }

    bool anchorRound(Samples& samples)
    {
        if (!bootState())
            return fail("the readers do not go off, or the card stays on the reader");
        ChildProcess anchor;
        QProcessEnvironment environment
            = m_rig.display().environment(ChildProcess::defaultEnvironment());
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), LoggingRules);
        anchor.setEnvironment(environment);
        const double launched = monotonicMs();
        if (!anchor.start(QCoreApplication::applicationFilePath(),
                          {QStringLiteral("--anchor"), m_rig.broker().host(),
                           QString::number(m_rig.broker().port())}))
            return fail("cannot launch the anchor");
        OutputWatch out(anchor);
        const double ready
            = waitAll({[&] { return out.find("anchor: retained", 0) >= 0 ? 0.0 : -1.0; }})[0];
        if (ready < 0)
            return fail("the anchor does not connect");
        samples.start.push_back(ready - launched);
        settle(1500);

        int from = out.size();
        double sent = monotonicMs();
        m_peer.publish(StatusTopic, outOfService());
        const double shown = waitAll(
            {[&] { return out.frameAfter("anchor: switched status", from) >= 0 ? 0.0 : -1.0; }})[0];
        if (shown < 0)
            return fail("the anchor does not switch");
        samples.status.push_back(shown - sent);
        m_peer.publish(StatusTopic, inService());
        settle(1000);

        const double tapped = tap();
        const double asked
            = waitAll({[&] { return m_arrivals.after(IssueRequestTopic, tapped); }})[0];
        if (asked < 0)
            return fail("the anchor does not ask");
        samples.tap.push_back(asked - tapped);
        settle(1000);

        from = out.size();
        sent = monotonicMs();
        m_peer.publish(ScanTopic, QJsonObject {{"transaction", m_tickets.transaction(0, true, 0)}});
        const std::vector<double> result = waitAll(
            {[&] { return out.frameAfter("anchor: switched scan", from) >= 0 ? 0.0 : -1.0; },
             [&] { return m_arrivals.after(SoundTopic, sent); }});
        keepLog("reaction-anchor.log", anchor);
        if (result[0] < 0 || result[1] < 0)
            return fail("the anchor shows no result");
        samples.ticketFrame.push_back(result[0] - sent);
        samples.ticketSound.push_back(result[1] - sent);
        settle(300);
        anchor.sendSignal(SIGTERM);
        anchor.waitForFinished(10000);
        return true;
    }

    QString lastFailure() const { return m_failure; }

    // For a closer look, the last round's output of a program (KVRT_BENCH_LOG_DIR).
    static void keepLog(const char* name, const ChildProcess& process)
    {
        bench::keepFile(QLatin1String(name), process.standardErrorBytes());
    }

private:
    bool fail(const char* why)
    {
        m_failure = QString::fromLatin1(why);
        return false;
    }

    TerminalRig& m_rig;
    TestPeer& m_peer;
    const ArrivalLog& m_arrivals;
    TapInjector& m_taps;
    TicketFactory m_tickets;
    QString m_failure;
    int m_requests = 0;
};

bool report(const char* what, const std::vector<double>& terminal,
            const std::vector<double>& anchor, double goal, bool percentileToo)
{
    const double ratio = median(terminal) / median(anchor);
    const double ratio95 = percentile95(terminal) / percentile95(anchor);
    const bool ok = ratio <= goal && (!percentileToo || ratio95 <= goal);
    std::printf("  %-44s %8.1f %8.1f %8.1f %8.1f %6.2f %6.2f  <= %.1fx%s %s\n", what,
                median(terminal), percentile95(terminal), median(anchor), percentile95(anchor),
                ratio, ratio95, goal, percentileToo ? " both" : " median", ok ? "OK" : "FAIL");
    return ok;
}

// For a closer look, every sample in the order measured (KVRT_BENCH_LOG_DIR).
void keepSamples(const Samples& terminal, const Samples& anchor)
{
    QByteArray text;
    const auto line = [&](const char* name, const std::vector<double>& values) {
        text += name;
        for (const double value : values)
            text += ' ' + QByteArray::number(value, 'f', 2);
        text += '\n';
    };
    for (const auto& [name, samples] : {std::pair {"terminal", &terminal}, {"anchor", &anchor}}) {
        text += QByteArray(name) + ":\n";
        line("  start", samples->start);
        line("  status", samples->status);
        line("  tap", samples->tap);
        line("  ticketFrame", samples->ticketFrame);
        line("  ticketSound", samples->ticketSound);
    }
    bench::keepFile(QStringLiteral("reaction-samples.txt"), text);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 3 && qstrcmp(argv[1], "--anchor") == 0)
        return runAnchor(argc, argv);

    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 30;

    TerminalRig rig;
    if (const QString missing = TerminalRig::missingTools(); !missing.isEmpty()) {
        std::printf("bench_reaction: SKIPPED (missing: %s)\n", qPrintable(missing));
        return 0;
    }
    // The broker sends each message as it comes, as a terminal's broker is set up: with its
    // default (Nagle's algorithm), the messages after the first of a burst wait for the
    // terminal's acknowledgement, which its side delays by 40 ms or more, and the retained
    // reports at launch came that late in about one launch out of two.
    rig.broker().addConfig(QStringLiteral("set_tcp_nodelay true"));
    // Quick card movements and a quick passenger: the issue is not what is measured.
    if (!rig.startDisplay() || !rig.startBroker()
        || !rig.startSimulator({QStringLiteral("--motion-delay"), QStringLiteral("100"),
                                QStringLiteral("--take-delay"), QStringLiteral("300")})) {
        std::fprintf(stderr, "bench_reaction: cannot start the display, broker or simulator\n");
        return 1;
    }
    qputenv("DISPLAY", rig.display().environment().value(QStringLiteral("DISPLAY")).toLocal8Bit());
    TapInjector taps;
    TestPeer peer(rig.broker());
    if (!taps.isOpen() || !peer.connectToBroker()) {
        std::fprintf(stderr, "bench_reaction: no taps (%s) or no MQTT\n", qPrintable(taps.error()));
        return 1;
    }
    // The messages the programs send, timed apart from this program's event loop.
    const ArrivalLog arrivals(rig.broker().host(), rig.broker().port(),
                              {StatusTopic, IssueRequestTopic, SoundTopic, BarcodeEnableTopic,
                               ConfigTopic, QStringLiteral("ovant/dispenser/dispose/response/+")});
    const std::vector<double> ready = waitAll({[&] { return arrivals.isReady() ? 0.0 : -1.0; },
                                               [&] { return arrivals.after(StatusTopic, 0); }});
    if (ready[0] < 0 || ready[1] < 0) {
        std::fprintf(stderr, "bench_reaction: no status of the terminal service\n");
        return 1;
    }

    const FullEventLog eventLog;
    std::printf("reactions (%d repetitions, virtual display, software renderer, %d events in the "
                "log):\n",
                repetitions, FullEventLog::Size);
    std::fflush(stdout);
    Bench bench(rig, peer, arrivals, taps);
    Samples terminal, anchor;
    // One unmeasured round of each first, so that neither pays for cold caches alone.
    {
        Samples warmUp;
        bench.terminalRound(warmUp);
        bench.anchorRound(warmUp);
    }
    for (int i = 0; i < repetitions; ++i) {
        if (!bench.terminalRound(terminal)) {
            ++terminal.failures;
            std::printf("  repetition %d: terminal FAILED (%s)\n%s\n", i + 1,
                        qPrintable(bench.lastFailure()), qPrintable(rig.diagnosis(20)));
            rig.stopTerminal();
        }
        if (!bench.anchorRound(anchor)) {
            ++anchor.failures;
            std::printf("  repetition %d: anchor FAILED (%s)\n", i + 1,
                        qPrintable(bench.lastFailure()));
        }
        std::fflush(stdout);
    }
    keepSamples(terminal, anchor);
    if (terminal.start.empty() || anchor.start.empty()) {
        std::printf("reaction goals: FAILED (no figures)\n");
        return 1;
    }

    std::printf("\n  %-44s %8s %8s %8s %8s %6s %6s  goal\n", "ms", "terminal", "p95", "anchor",
                "p95", "ratio", "p95");
    bool ok = terminal.failures == 0 && anchor.failures == 0;
    ok = report("launch -> working gate", terminal.start, anchor.start, StartGoal, false) && ok;
    ok = report("status out of service -> its screen", terminal.status, anchor.status, ReactionGoal,
                true)
        && ok;
    ok = report("tap at the entry gate -> issue request", terminal.tap, anchor.tap, ReactionGoal,
                true)
        && ok;
    ok = report("ticket at the exit gate -> result page", terminal.ticketFrame, anchor.ticketFrame,
                ReactionGoal, true)
        && ok;
    ok = report("ticket at the exit gate -> sound request", terminal.ticketSound,
                anchor.ticketSound, ReactionGoal, true)
        && ok;
    std::printf("reaction goals: %s\n", ok ? "all OK" : "FAILED");
    return 0;
}

#include "bench_reaction.moc"
