// The first complete terminal (the real program with the broker and the device-service
// simulator, on a virtual display with Qt Quick's software renderer), against an anchor
// measured in the same run: a bare Qt Quick Controls 2 window in the Material style, of
// the same size, with the same Qt and the same renderer (this program re-run with
// --anchor).
// - start-up: time from process start to the first frame on screen, median of several
//   runs (goal: ratio <= 1.2), with where the terminal's time goes until then (its
//   start-up marks, KVRT_STARTUP_TRACE) and when its last page is made (goal: within 1 s);
// - resident memory once started (terminal: healthy on its gate page; anchor: first
//   frame), both 2 s later, median (goal: ratio <= 1.3);
// the terminal starts with a full event log (1000 events), as in the field;
// - CPU used while idle on the gate page, both programs side by side for the same
//   period (goal: terminal under 1 % of one core).
//
// The first frame is seen the same way for both: Qt's render-loop timing category is
// switched on through QT_LOGGING_RULES, and its first line on standard error marks the
// frame.
//
// Usage: bench_terminal [runs (default 5)] [idle seconds (default 30)]

#include "BenchSupport.h"
#include "ChildProcess.h"
#include "FullEventLog.h"
#include "StartupTrace.h"
#include "TerminalRig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

using bench::median;
using bench::monotonicMs;
using bench::spread;
using bench::startupMarks;

namespace {

// Printed by the software render loop for every frame it renders and shows.
const QString FrameMark = QString::fromLatin1(bench::FrameMark);
const QString LoggingRules = QString::fromLatin1(bench::FrameLoggingRules);
const QString OnlineMark = QStringLiteral("KVRTTerminal status changed : online");
constexpr int SettleMs = 2000;
constexpr int TimeoutMs = 60000;
constexpr double FrameGoal = 1.2;
constexpr double MemoryGoal = 1.3;
constexpr double AllPagesGoalMs = 1000;

const char* const AnchorQml = R"(
import QtQuick 2.15
import QtQuick.Controls 2.15
ApplicationWindow {
    width: 1024
    height: 600
    visible: true
    title: "Anchor"
    Label {
        anchors.centerIn: parent
        text: "Anchor"
    }
}
)";

// Marks the stages that it shares with the terminal, for the breakdown.
int runAnchor(int argc, char** argv)
{
    StartupTrace::mark("main");
    QGuiApplication app(argc, argv);
    StartupTrace::mark("application");
    QQuickStyle::setStyle(QStringLiteral("Material"));
    QQmlApplicationEngine engine;
    StartupTrace::mark("QML engine");
    engine.loadData(AnchorQml);
    StartupTrace::mark("main.qml");
    if (engine.rootObjects().isEmpty())
        return 1;
    StartupTrace::followWindow(qobject_cast<QQuickWindow*>(engine.rootObjects().first()));
    return app.exec();
}

long residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// User plus system time of the process so far, in clock ticks.
long long cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The command name in parentheses may contain spaces: count fields after it.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the line (utime, stime) are 11 and 12 after the name.
    if (fields.size() < 13)
        return -1;
    return fields.at(11).toLongLong() + fields.at(12).toLongLong();
}

// Waits on the process's output itself rather than polling it, so that a frame is seen
// as soon as its line comes (polling would add up to its period to every figure).
// Only what came since the last look is searched: the terminal writes much before its
// first frame, and this process shares the machine with it.
bool waitFor(ChildProcess& process, const QString& text)
{
    QDeadlineTimer deadline(TimeoutMs);
    QTimer wake; // lets the wait notice the deadline and an ended process
    wake.start(50);
    const QByteArray mark = text.toUtf8();
    int from = 0;
    const auto seen = [&] {
        const QByteArray& output = process.standardErrorBytes();
        if (output.indexOf(mark, from) >= 0)
            return true;
        from = std::max(0, int(output.size()) - int(mark.size()));
        return false;
    };
    while (!seen() && process.isRunning() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return seen();
}

struct Sample
{
    double firstFrameMs = -1;
    long rssKiB = -1;
    // The terminal's start-up marks, in milliseconds since its launch, in their order.
    std::vector<std::pair<QString, double>> marks;
};

bool startAnchor(ChildProcess& anchor, TerminalRig& rig)
{
    QProcessEnvironment environment = rig.display().environment(ChildProcess::defaultEnvironment());
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), LoggingRules);
    environment.insert(QStringLiteral("KVRT_STARTUP_TRACE"), QStringLiteral("1"));
    anchor.setEnvironment(environment);
    return anchor.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--anchor")});
}

Sample measureAnchor(TerminalRig& rig)
{
    Sample sample;
    ChildProcess anchor;
    QElapsedTimer clock;
    clock.start();
    const double launchMs = monotonicMs();
    if (!startAnchor(anchor, rig) || !waitFor(anchor, FrameMark)) {
        std::fprintf(stderr, "anchor: no first frame\n%s\n", qPrintable(anchor.standardError()));
        return sample;
    }
    sample.firstFrameMs = double(clock.nsecsElapsed()) / 1e6;
    QTest::qWait(SettleMs);
    sample.rssKiB = residentKiB(anchor.processId());
    sample.marks = startupMarks(anchor.standardError(), launchMs);
    return sample;
}

TerminalRig::Options terminalOptions()
{
    TerminalRig::Options options;
    options.entryGate = true;
    options.language = QStringLiteral("el_GR");
    options.environment.insert(QStringLiteral("QT_LOGGING_RULES"), LoggingRules);
    options.environment.insert(QStringLiteral("KVRT_STARTUP_TRACE"), QStringLiteral("1"));
    return options;
}

Sample measureTerminal(TerminalRig& rig)
{
    Sample sample;
    // Its files are written first: the clock runs, as for the anchor, from the start of
    // the program.
    if (!rig.prepareTerminal(terminalOptions())) {
        std::fprintf(stderr, "terminal: cannot write its files\n");
        return sample;
    }
    QElapsedTimer clock;
    clock.start();
    const double launchMs = monotonicMs();
    if (!rig.launchTerminal() || !waitFor(rig.terminal(), FrameMark)) {
        std::fprintf(stderr, "terminal: no first frame\n%s\n", qPrintable(rig.diagnosis()));
        rig.stopTerminal();
        return sample;
    }
    sample.firstFrameMs = double(clock.nsecsElapsed()) / 1e6;
    if (rig.waitForLog(OnlineMark, 0, TimeoutMs) < 0) {
        std::fprintf(stderr, "terminal: never healthy\n%s\n", qPrintable(rig.diagnosis()));
        rig.stopTerminal();
        return sample;
    }
    QTest::qWait(SettleMs);
    sample.rssKiB = residentKiB(rig.terminal().processId());
    sample.marks = startupMarks(rig.log(), launchMs);
    if (!rig.stopTerminal())
        std::fprintf(stderr, "terminal: no clean stop\n");
    return sample;
}

// Median time of each start-up mark since the launch, and since the mark before it; the
// anchor's time for the marks it shares.
void printBreakdown(const std::vector<Sample>& samples, const std::vector<Sample>& anchorSamples)
{
    std::vector<QString> order;
    std::map<QString, std::vector<double>> times, anchorTimes;
    for (const Sample& sample : samples) {
        for (const auto& [stage, at] : sample.marks) {
            if (times.find(stage) == times.end())
                order.push_back(stage);
            times[stage].push_back(at);
        }
    }
    for (const Sample& sample : anchorSamples) {
        for (const auto& [stage, at] : sample.marks)
            anchorTimes[stage].push_back(at);
    }
    if (order.empty()) {
        std::printf("  no start-up marks (is the terminal built with them?)\n");
        return;
    }
    std::printf("  where the time goes (medians in ms: since the launch, since the mark before; "
                "anchor since its launch):\n");
    double before = 0;
    double lastPage = -1;
    for (const QString& stage : order) {
        const double at = median(times[stage]);
        const auto anchor = anchorTimes.find(stage);
        if (anchor != anchorTimes.end())
            std::printf("    %-24s %8.1f %8.1f %8.1f\n", qPrintable(stage), at, at - before,
                        median(anchor->second));
        else
            std::printf("    %-24s %8.1f %8.1f\n", qPrintable(stage), at, at - before);
        before = at;
        if (stage.startsWith(QLatin1String("page ")))
            lastPage = std::max(lastPage, at);
    }
    if (lastPage >= 0)
        std::printf("  last page made %.1f ms after the launch (goal <= %.0f ms) %s\n", lastPage,
                    AllPagesGoalMs, lastPage <= AllPagesGoalMs ? "OK" : "OVER");
}

void startup(TerminalRig& rig, int runs)
{
    std::vector<double> anchorFrame, terminalFrame, anchorRss, terminalRss;
    std::vector<Sample> terminalSamples, anchorSamples;
    // One unmeasured round first, so that neither side pays for cold caches alone.
    measureAnchor(rig);
    measureTerminal(rig);
    for (int i = 0; i < runs; ++i) {
        const Sample anchor = measureAnchor(rig);
        const Sample terminal = measureTerminal(rig);
        if (anchor.firstFrameMs < 0 || terminal.firstFrameMs < 0 || anchor.rssKiB < 0
            || terminal.rssKiB < 0) {
            std::printf("start-up: run %d FAILED\n", i + 1);
            continue;
        }
        anchorFrame.push_back(anchor.firstFrameMs);
        terminalFrame.push_back(terminal.firstFrameMs);
        anchorRss.push_back(double(anchor.rssKiB));
        terminalRss.push_back(double(terminal.rssKiB));
        terminalSamples.push_back(terminal);
        anchorSamples.push_back(anchor);
        std::printf("  run %d: first frame %7.1f ms (anchor %7.1f ms), resident %6ld KiB "
                    "(anchor %6ld KiB)\n",
                    i + 1, terminal.firstFrameMs, anchor.firstFrameMs, terminal.rssKiB,
                    anchor.rssKiB);
        std::fflush(stdout);
    }
    if (terminalFrame.empty())
        return;
    const double frameRatio = median(terminalFrame) / median(anchorFrame);
    const double rssRatio = median(terminalRss) / median(anchorRss);
    printBreakdown(terminalSamples, anchorSamples);
    std::printf("start-up to first frame: terminal %.1f ms (spread %.1f), anchor %.1f ms (spread "
                "%.1f) (medians of %zu): ratio %.2f (goal <= %.1f) %s\n",
                median(terminalFrame), spread(terminalFrame), median(anchorFrame),
                spread(anchorFrame), terminalFrame.size(), frameRatio, FrameGoal,
                frameRatio <= FrameGoal ? "OK" : "OVER");
    std::printf("resident memory after start-up: terminal %.0f KiB, anchor %.0f KiB: "
                "ratio %.2f (goal <= %.1f) %s\n",
                median(terminalRss), median(anchorRss), rssRatio, MemoryGoal,
                rssRatio <= MemoryGoal ? "OK" : "OVER");
}

void idle(TerminalRig& rig, int seconds)
{
    ChildProcess anchor;
    if (!rig.startTerminal(terminalOptions()) || rig.waitForLog(OnlineMark, 0, TimeoutMs) < 0
        || !startAnchor(anchor, rig) || !waitFor(anchor, FrameMark)) {
        std::printf("idle: FAILED to start\n%s\n", qPrintable(rig.diagnosis()));
        return;
    }
    QTest::qWait(SettleMs);
    const qint64 terminalPid = rig.terminal().processId();
    const qint64 anchorPid = anchor.processId();
    const long long terminalStart = cpuTicks(terminalPid);
    const long long anchorStart = cpuTicks(anchorPid);
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(seconds * 1000);
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    const long long terminalUsed = cpuTicks(terminalPid) - terminalStart;
    const long long anchorUsed = cpuTicks(anchorPid) - anchorStart;
    const double tick = double(sysconf(_SC_CLK_TCK));
    const double terminalPercent = 100.0 * double(terminalUsed) / tick / elapsed;
    const double anchorPercent = 100.0 * double(anchorUsed) / tick / elapsed;
    std::printf("idle on the gate page for %.1f s: terminal %.2f %% of one core, anchor %.2f %% "
                "(goal: terminal < 1 %%) %s\n",
                elapsed, terminalPercent, anchorPercent, terminalPercent < 1.0 ? "OK" : "OVER");
    if (!rig.stopTerminal())
        std::fprintf(stderr, "terminal: no clean stop\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--anchor") == 0)
        return runAnchor(argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 5;
    const int idleSeconds = argc > 2 ? qMax(1, QByteArray(argv[2]).toInt()) : 30;

    TerminalRig rig;
    if (const int code = bench::startRig(rig, "bench_terminal"); code >= 0)
        return code;
    const FullEventLog eventLog;
    std::printf("terminal start-up (%d runs, virtual display, software renderer, %d events in "
                "the log):\n",
                runs, FullEventLog::Size);
    std::fflush(stdout);
    startup(rig, runs);
    std::fflush(stdout);
    idle(rig, idleSeconds);
    return 0;
}
