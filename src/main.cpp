#include "CommandLine.h"
#include "Config.h"
#include "GUIManager.h"
#include "Logger.h"
#include "SignalWatcher.h"
#include "Version.h"

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>

#include <csignal>

int main(int argc, char* argv[])
{
    // Text entry goes through the on-screen keyboard plug-in.
    qputenv("QT_IM_MODULE", QByteArrayLiteral("freevirtualkeyboard"));

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QString::fromLatin1(kvrt::ApplicationName));
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(kvrt::ApplicationDisplayName));
    QGuiApplication::setApplicationVersion(QString::fromLatin1(kvrt::ApplicationVersion));
    QGuiApplication::setOrganizationName(QString::fromLatin1(kvrt::OrganizationName));
    QGuiApplication::setOrganizationDomain(QString::fromLatin1(kvrt::OrganizationDomain));
    QGuiApplication::setAttribute(Qt::AA_EnableHighDpiScaling);

    // A stop request (service manager, Ctrl+C) ends the event loop, so that
    // everything is destroyed in order.
    SignalWatcher stopSignals({SIGTERM, SIGINT});
    QObject::connect(&stopSignals, &SignalWatcher::signalReceived, &app, &QGuiApplication::quit);

    // May end the process (help, version, command-line error) before any file is touched.
    const QVariantMap overrides = parseCLIArgs();
    const QString configFile = overrides.contains(QStringLiteral("config"))
        ? overrides.value(QStringLiteral("config")).toString()
        : QStringLiteral("gui.conf");

    Config config(configFile, GUIManager::Defaults);
    config.addOverrides(overrides);

    QFontDatabase::addApplicationFont(QStringLiteral(":/qml/fonts/DejaVuSans.ttf"));
    QGuiApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));

    // The GUI manager is constructed and loaded here; it applies the log settings
    // and prints the configuration itself:
    //     GUIManager manager(config);
    //     manager.load();
    manager::Logger* logger = manager::Logger::instance();
    logger->setLevel(config.get(QStringLiteral("log/level")).toInt());
    logger->setStderr(config.get(QStringLiteral("log/stderr")).toBool());
    logger->setSyslog(config.get(QStringLiteral("log/syslog")).toBool());
    logger->setColor(config.get(QStringLiteral("log/color")).toBool());
    config.print();

    return app.exec();
}
