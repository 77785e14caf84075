#include "CommandLine.h"
#include "Config.h"
#include "FileWriter.h"
#include "GUIManager.h"
#include "RuntimeCensus.h"
#include "SceneGraphBackend.h"
#include "SignalWatcher.h"
#include "StartupTrace.h"
#include "StartupWarmUp.h"
#include "Version.h"

#include <QDeadlineTimer>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QResource>

#include <csignal>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only: Qt Quick's pixmap cache keeps the images of the pages
// (the rendered icons) until the process ends, which the leak check would report
// at every exit. Full stacks are needed to tell its allocations from ours.
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:QQuickPixmap::load\n";
}
#endif

namespace {

// A font stored uncompressed in the resources is registered where it lies: read from
// the file, every face made of it would hold a copy of its own.
void installFont(const QString& path)
{
    const QResource resource(path);
    if (resource.isValid() && resource.compressionAlgorithm() == QResource::NoCompression) {
        QFontDatabase::addApplicationFontFromData(QByteArray::fromRawData(
            reinterpret_cast<const char*>(resource.data()), int(resource.size())));
    } else {
        QFontDatabase::addApplicationFont(path);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    StartupTrace::mark("main");
    // Text entry goes through the on-screen keyboard plug-in.
    qputenv("QT_IM_MODULE", QByteArrayLiteral("freevirtualkeyboard"));

    // Read when the application object is created: set afterwards, Qt ignores it
    // (and says so at every start).
    QGuiApplication::setAttribute(Qt::AA_EnableHighDpiScaling);

    // Runs while the application object is made. The modules are those that the window and
    // its first page import.
    StartupWarmUp warmUp({QStringLiteral("QtQuick.2"), QStringLiteral("QtQuick/Window.2"),
                          QStringLiteral("QtQuick/Templates.2"),
                          QStringLiteral("QtQuick/Controls.2"),
                          QStringLiteral("QtQuick/Controls.2/Material")});
    QGuiApplication app(argc, argv);
    StartupTrace::mark("application");
    warmUp.wait();
    StartupTrace::mark("warm-up");
    QGuiApplication::setApplicationName(QString::fromLatin1(kvrt::ApplicationName));
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(kvrt::ApplicationDisplayName));
    QGuiApplication::setApplicationVersion(QString::fromLatin1(kvrt::ApplicationVersion));
    QGuiApplication::setOrganizationName(QString::fromLatin1(kvrt::OrganizationName));
    QGuiApplication::setOrganizationDomain(QString::fromLatin1(kvrt::OrganizationDomain));

    // On request (KVRT_CENSUS set, as by the soak run) the program counts what must not
    // pile up, and reports it on SIGUSR1 and at the end.
    std::unique_ptr<RuntimeCensus> census;
    if (qEnvironmentVariableIsSet("KVRT_CENSUS"))
        census = std::make_unique<RuntimeCensus>();

    // A stop request (service manager, Ctrl+C) ends the event loop, so that
    // everything is destroyed in order.
    SignalWatcher signalWatcher({SIGTERM, SIGINT, SIGUSR1});
    QObject::connect(&signalWatcher, &SignalWatcher::signalReceived, &app, [&](int signal) {
        if (signal != SIGUSR1)
            QGuiApplication::quit();
        else if (census)
            census->report();
    });

    // May end the process (help, version, command-line error) before any file is touched.
    const QVariantMap overrides = parseCLIArgs();
    const QString configFile = overrides.contains(QStringLiteral("config"))
        ? overrides.value(QStringLiteral("config")).toString()
        : QStringLiteral("gui.conf");

    Config config(configFile, GUIManager::Defaults);
    config.addOverrides(overrides);
    StartupTrace::mark("configuration");

    installFont(QStringLiteral(":/qml/fonts/DejaVuSans.ttf"));
    QGuiApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    StartupTrace::mark("font");

    // Before the window exists: a platform without OpenGL gets the software renderer.
    SceneGraphBackend::choose();
    StartupTrace::mark("renderer");

    // The manager applies the log settings and prints the configuration itself.
    GUIManager manager(config);
    manager.load();
    StartupTrace::mark("event loop");

    const int code = app.exec();
    // The files handed over so far are written while everything goes, within one budget
    // for all of them: a stop request is answered in seconds even on a slow card.
    FileWriter::setFinishDeadline(QDeadlineTimer(FileWriter::FinishMsec));
    return code;
}
