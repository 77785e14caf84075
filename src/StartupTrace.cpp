#include "StartupTrace.h"

#include <QMetaMethod>
#include <QQuickWindow>

#include <cstdio>
#include <ctime>
#include <memory>

bool StartupTrace::enabled()
{
    static const bool on = qEnvironmentVariableIsSet("KVRT_STARTUP_TRACE");
    return on;
}

void StartupTrace::mark(const char* stage)
{
    if (!enabled())
        return;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::fprintf(stderr, "[startup] %s %.3f\n", stage,
                 double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6);
}

void StartupTrace::mark(const QString& stage)
{
    mark(stage.toUtf8().constData());
}

namespace {

class PageMarks : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

public Q_SLOTS:
    void pageLoaded(const QString& name) { StartupTrace::mark(QStringLiteral("page ") + name); }
};

} // namespace

void StartupTrace::followWindow(QQuickWindow* window)
{
    if (!enabled() || !window)
        return;
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(
        window, &QQuickWindow::frameSwapped, window,
        [connection] {
            QObject::disconnect(*connection);
            mark("first frame");
        },
        Qt::DirectConnection);
    const int signal = window->metaObject()->indexOfSignal("pageLoaded(QString)");
    if (signal < 0)
        return;
    auto* marks = new PageMarks(window);
    QObject::connect(
        window, window->metaObject()->method(signal), marks,
        marks->metaObject()->method(marks->metaObject()->indexOfSlot("pageLoaded(QString)")));
}

#include "StartupTrace.moc"
