// The settings area, on a virtual display with Qt Quick's software renderer (as the
// terminal bench):
// - opening each settings page: from the push onto the area's page stack to the first
//   frame that shows it, median of several rounds, against pushing an empty page in the
//   same rounds (goal: at most 3 times the empty page and never above 150 ms);
// - start-up with and without the settings area: the terminal makes the area with its
//   other pages right after the first frame; the time it takes to make it, against the
//   time to make everything else (start-up to the last page, less the area), median of
//   several starts (goal: growth <= 10 %). The first frame itself does not wait for it.
//
// The pages are opened by this program re-run with --pages: the real GUIManager and scene
// in one process, connected to the bench's broker, with a technician logged in and a
// full event log (1000 events).
//
// Usage: bench_settings [rounds (default 5)]

#include "BenchSupport.h"
#include "ChildProcess.h"
#include "Config.h"
#include "GUIManager.h"
#include "TerminalRig.h"
#include "Version.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

using bench::median;
using bench::monotonicMs;
using bench::spread;

namespace {

constexpr double PageRatioGoal = 3.0;
constexpr double PageMsGoal = 150;
constexpr double GrowthGoal = 0.10;
constexpr int TimeoutMs = 60000;
constexpr int FullEventLog = 1000;
const QString OnlineMark = QStringLiteral("KVRTTerminal status changed : online");

// Pages as the area opens them (the menu's, then those the pages open themselves).
const char* const Pages[]
    = {"Validator", "Diagnostics", "Region",   "Audio",           "Display",
       "Network",   "Update",      "EventLog", "ValidatorConfig", "EthernetConfig"};
const char* const EmptyPage = "(empty page)";
const char* const EmptyQml = "import QtQuick 2.15\nItem { property string title }\n";

// Processes events until the condition holds, waking at least every 20 ms.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake;
    wake.start(20);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return condition();
}

QQuickItem* findItem(QQuickItem* root, const QString& name)
{
    QList<QQuickItem*> items {root};
    for (int i = 0; i < items.size(); items += items[i++]->childItems()) {
        if (items[i]->objectName() == name)
            return items[i];
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// The pages, in the child process

class PageOpener
{
public:
    PageOpener(QQuickWindow* window, QQuickItem* stack)
        : m_window(window)
        , m_stack(stack)
    {
        QObject::connect(
            window, &QQuickWindow::frameSwapped, window, [this] { ++m_frames; },
            Qt::DirectConnection);
    }

    // Milliseconds from the push to the first frame after it; -1 if none came.
    double open(const QString& url)
    {
        settle();
        const int frames = m_frames;
        QElapsedTimer clock;
        clock.start();
        if (!evaluate(
                QStringLiteral("stack.push(\"%1\", { title: \"bench\" }) !== null").arg(url))) {
            std::fprintf(stderr, "cannot push %s\n", qPrintable(url));
            return -1;
        }
        if (!waitUntil([&] { return m_frames > frames; }, TimeoutMs))
            return -1;
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        evaluate(QStringLiteral("stack.pop(null, StackView.Immediate) !== undefined"));
        return ms;
    }

private:
    // No frame is due: the last push's transition and pop are over.
    void settle()
    {
        int frames = -1;
        while (frames != m_frames) {
            frames = m_frames;
            QTest::qWait(100);
        }
    }

    bool evaluate(const QString& expression)
    {
        QQmlExpression script(qmlContext(m_stack), m_stack, expression);
        const QVariant result = script.evaluate();
        if (script.hasError()) {
            std::fprintf(stderr, "%s\n", qPrintable(script.error().toString()));
            return false;
        }
        return result.toBool();
    }

    QQuickWindow* m_window;
    QQuickItem* m_stack;
    int m_frames = 0;
};

int runPages(int argc, char** argv)
{
    qputenv("QT_IM_MODULE", QByteArrayLiteral("freevirtualkeyboard"));
    QGuiApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationVersion(QString::fromLatin1(kvrt::ApplicationVersion));
    const QStringList arguments = app.arguments();
    const int rounds = arguments.value(2).toInt();
    const QString host = arguments.value(3);
    const int port = arguments.value(4).toInt();

    QTemporaryDir dir;
    QFile serial(dir.filePath(QStringLiteral("serialnumber")));
    QFile empty(dir.filePath(QStringLiteral("Empty.qml")));
    if (!serial.open(QIODevice::WriteOnly) || serial.write("K00000001\n") < 0
        || !empty.open(QIODevice::WriteOnly) || empty.write(EmptyQml) < 0)
        return 1;
    serial.close(), empty.close();
    // A terminal that has run for a while: its event log is full.
    bench::writeEventLog(dir.filePath(QStringLiteral("events.ini")), FullEventLog);
    Config config(dir.filePath(QStringLiteral("gui.conf")), GUIManager::Defaults);
    config.addOverrides({{QStringLiteral("mqtt/host"), host},
                         {QStringLiteral("mqtt/port"), port},
                         {QStringLiteral("gui/deviceId"), serial.fileName()},
                         {QStringLiteral("log/syslog"), false},
                         {QStringLiteral("log/level"), 0}});
    QFontDatabase::addApplicationFont(QStringLiteral(":/qml/fonts/DejaVuSans.ttf"));
    QGuiApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));

    GUIManager manager(config, dir.path());
    manager.load();
    auto* window = qobject_cast<QQuickWindow*>(manager.parent());
    QQuickItem* stack = nullptr;
    double firstShowMs = -1;
    if (window) {
        std::atomic<int> frames {0};
        const QMetaObject::Connection counting = QObject::connect(
            window, &QQuickWindow::frameSwapped, window, [&frames] { ++frames; },
            Qt::DirectConnection);
        QTest::qWait(1000); // every page made
        manager.settingsLoginRequest(config.get(QStringLiteral("gui/settingsPin")).toString());
        QTest::qWait(200);
        const int before = frames;
        QElapsedTimer clock;
        clock.start();
        manager.setMaintenanceScreen();
        waitUntil(
            [&] {
                stack = findItem(window->contentItem(), QStringLiteral("settingsStack"));
                return stack && stack->isVisible() && frames > before;
            },
            TimeoutMs);
        firstShowMs = double(clock.nsecsElapsed()) / 1e6;
        QObject::disconnect(counting);
    }
    if (!stack || !stack->isVisible()) {
        std::fprintf(stderr, "the settings area is not on screen\n");
        return 1;
    }

    PageOpener opener(window, stack);
    std::vector<QString> names {QString::fromLatin1(EmptyPage)};
    std::map<QString, QString> urls {
        {names.front(), QUrl::fromLocalFile(empty.fileName()).toString()}};
    for (const char* page : Pages) {
        names.push_back(QString::fromLatin1(page));
        urls[names.back()] = QStringLiteral("qrc:/qml/screens/settings/%1.qml").arg(page);
    }
    std::map<QString, std::vector<double>> times;
    std::map<QString, double> first;
    for (int round = 0; round <= rounds; ++round) {
        for (const QString& name : names) {
            const double ms = opener.open(urls[name]);
            if (ms < 0)
                return 1;
            if (round == 0)
                first[name] = ms; // compiled types not cached yet: reported apart
            else
                times[name].push_back(ms);
        }
    }

    // The event log's rows come once the page is in place: they must come.
    int listed = -1;
    QQmlExpression push(qmlContext(stack), stack,
                        QStringLiteral("stack.push(\"qrc:/qml/screens/settings/EventLog.qml\")"));
    push.evaluate();
    waitUntil(
        [&] {
            QQuickItem* list = findItem(stack, QStringLiteral("eventList"));
            listed = list ? list->property("count").toInt() : -1;
            return listed > 0;
        },
        5000);

    const double emptyMs = median(times[names.front()]);
    std::printf("opening a settings page, push to first frame (medians of %d rounds, ms):\n",
                rounds);
    std::printf("  %-18s %7s %7s %7s %7s\n", "page", "median", "spread", "first", "ratio");
    bool allOk = true;
    for (const QString& name : names) {
        const double ms = median(times[name]);
        const double ratio = ms / emptyMs;
        const bool ok = name == names.front() || (ratio <= PageRatioGoal && ms <= PageMsGoal);
        allOk = allOk && ok;
        std::printf("  %-18s %7.1f %7.1f %7.1f %7.2f %s\n", qPrintable(name), ms,
                    spread(times[name]), first[name], ratio, ok ? "" : "OVER");
    }
    std::printf("pages against the empty page: goal <= %.0fx and <= %.0f ms: %s\n", PageRatioGoal,
                PageMsGoal, allOk ? "OK" : "OVER");
    std::printf("event log page: %d events listed once it is in place %s\n", listed,
                listed > 0 ? "OK" : "FAILED");
    std::printf("showing the settings area the first time (made then): %.1f ms\n", firstShowMs);
    std::fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------------------
// Start-up with and without the area, in the parent

void startupGrowth(TerminalRig& rig, int runs)
{
    TerminalRig::Options options;
    options.language = QStringLiteral("el_GR");
    options.environment.insert(QStringLiteral("KVRT_STARTUP_TRACE"), QStringLiteral("1"));
    std::vector<double> withArea, area, firstFrame;
    for (int i = 0; i <= runs; ++i) {
        const double launchMs = monotonicMs();
        if (!rig.startTerminal(options) || rig.waitForLog(OnlineMark, 0, TimeoutMs) < 0) {
            std::printf("start-up: run %d FAILED\n%s\n", i, qPrintable(rig.diagnosis()));
            rig.stopTerminal();
            continue;
        }
        QTest::qWait(500);
        const auto ordered = bench::startupMarks(rig.log(), launchMs);
        const std::map<QString, double> marks(ordered.begin(), ordered.end());
        rig.stopTerminal();
        // The area is made between the page before it and itself.
        double last = -1, before = -1, settings = -1;
        for (const auto& [stage, at] : marks) {
            if (!stage.startsWith(QLatin1String("page ")))
                continue;
            last = std::max(last, at);
            if (stage == QLatin1String("page Settings"))
                settings = at;
        }
        for (const auto& [stage, at] : marks) {
            if (stage.startsWith(QLatin1String("page ")) && at < settings)
                before = std::max(before, at);
        }
        if (before < 0 && marks.count(QStringLiteral("first frame")))
            before = marks.at(QStringLiteral("first frame"));
        if (i == 0 || settings < 0 || before < 0)
            continue; // the first start warms the caches
        withArea.push_back(last);
        area.push_back(settings - before);
        firstFrame.push_back(marks.count(QStringLiteral("first frame"))
                                 ? marks.at(QStringLiteral("first frame"))
                                 : -1);
    }
    if (withArea.empty()) {
        std::printf("start-up with the settings area: FAILED (no start-up marks)\n");
        return;
    }
    const double with = median(withArea);
    const double cost = median(area);
    const double growth = cost / (with - cost);
    std::printf("start-up to the last page (medians of %zu): %.1f ms with the settings area, "
                "%.1f ms without (area %.1f ms, spread %.1f; first frame at %.1f ms, before "
                "the area): growth %.1f %% (goal <= %.0f %%) %s\n",
                withArea.size(), with, with - cost, cost, spread(area), median(firstFrame),
                growth * 100, GrowthGoal * 100, growth <= GrowthGoal ? "OK" : "OVER");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--pages") == 0)
        return runPages(argc, argv);

    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 5;
    TerminalRig rig;
    if (const int code = bench::startRig(rig, "bench_settings"); code >= 0)
        return code;
    std::printf("settings area (%d rounds, virtual display, software renderer):\n", rounds);
    std::fflush(stdout);

    ChildProcess pages;
    pages.setEnvironment(rig.display().environment(ChildProcess::defaultEnvironment()));
    if (!pages.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--pages"), QString::number(rounds), rig.broker().host(),
                      QString::number(rig.broker().port())})
        || !pages.waitForFinished(10 * TimeoutMs) || pages.exitCode() != 0) {
        std::printf("pages: FAILED\n%s\n", qPrintable(pages.standardError().right(3000)));
    }
    std::printf("%s", qPrintable(pages.standardOutput()));
    std::fflush(stdout);
    startupGrowth(rig, rounds);
    return 0;
}
