#pragma once

// Small pieces the benchmarks share: statistics over runs, the clock the terminal's
// start-up marks use, a full event log like that of a terminal that has run a while, and
// the start of the rig the terminal runs on.

#include "TerminalRig.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

namespace bench {

// Qt's software render loop says this for every frame it shows, once its timing
// category is switched on through QT_LOGGING_RULES as below.
inline constexpr char FrameMark[] = "Frame rendered";
inline constexpr char FrameLoggingRules[] = "qt.scenegraph.time.renderloop.debug=true";

// For a closer look after a run: writes a file into the directory KVRT_BENCH_LOG_DIR
// names, or nothing when it names none.
inline bool keepingLogs()
{
    return !qEnvironmentVariableIsEmpty("KVRT_BENCH_LOG_DIR");
}
inline void keepFile(const QString& name, const QByteArray& content)
{
    if (!keepingLogs())
        return;
    QFile file(QDir(qEnvironmentVariable("KVRT_BENCH_LOG_DIR")).filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline double spread(const std::vector<double>& values)
{
    if (values.empty())
        return 0;
    return *std::max_element(values.begin(), values.end())
        - *std::min_element(values.begin(), values.end());
}

// The monotonic clock, as the terminal's start-up marks read it (milliseconds).
inline double monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// The "[startup] <stage> <ms>" marks of a log, in milliseconds since the launch, in order.
inline std::vector<std::pair<QString, double>> startupMarks(const QString& log, double launchMs)
{
    static const QString TraceMark = QStringLiteral("[startup] ");
    std::vector<std::pair<QString, double>> marks;
    for (const QString& line : log.split(QLatin1Char('\n'))) {
        if (!line.startsWith(TraceMark))
            continue;
        const int space = line.lastIndexOf(QLatin1Char(' '));
        bool ok = false;
        const double at = line.mid(space + 1).toDouble(&ok);
        if (ok && space > TraceMark.size())
            marks.emplace_back(line.mid(TraceMark.size(), space - TraceMark.size()), at - launchMs);
    }
    return marks;
}

// Writes an event log of the given size, one event every ten minutes up to now.
inline void writeEventLog(const QString& path, int size)
{
    QSettings events(path, QSettings::IniFormat);
    events.clear();
    events.beginWriteArray(QStringLiteral("events"), size);
    const QDateTime start = QDateTime::currentDateTime().addDays(-30);
    for (int i = 0; i < size; ++i) {
        events.setArrayIndex(i);
        events.setValue(QStringLiteral("category"), QStringLiteral("Board"));
        events.setValue(QStringLiteral("name"), i % 2 ? "Ignition on" : "Ignition off");
        events.setValue(QStringLiteral("desc"), QStringLiteral("Event number %1").arg(i));
        events.setValue(QStringLiteral("timestamp"), start.addSecs(i * 600));
    }
    events.endArray();
}

// Starts the rig's display, broker and simulator. Returns -1 when the bench can go on,
// otherwise the code to end it with: 0 when tools are missing (skipped), 1 on failure.
inline int startRig(TerminalRig& rig, const char* name)
{
    if (const QString missing = TerminalRig::missingTools(); !missing.isEmpty()) {
        std::printf("%s: SKIPPED (missing: %s)\n", name, qPrintable(missing));
        return 0;
    }
    if (!rig.startDisplay() || !rig.startBroker() || !rig.startSimulator()) {
        std::fprintf(stderr, "%s: cannot start the display, broker or simulator\n", name);
        return 1;
    }
    return -1;
}

} // namespace bench
