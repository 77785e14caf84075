#pragma once

#include <QObject>

class QQuickWindow;

// Marks of the start-up for measuring it: with KVRT_STARTUP_TRACE set in the environment,
// each mark writes "[startup] <stage> <ms>" to standard error, the time read on the
// monotonic clock (CLOCK_MONOTONIC, in milliseconds), so that whoever started the process can
// tell how long each stage took since the launch. Without the variable a mark costs one
// flag test. The lines bypass the logger: they must show whatever the log settings.
class StartupTrace
{
public:
    static bool enabled();
    static void mark(const char* stage);
    static void mark(const QString& stage);
    // Marks "first frame" once the window has shown its first frame, and "page <name>"
    // for each page the window reports with its pageLoaded(name) signal.
    static void followWindow(QQuickWindow* window);
};
