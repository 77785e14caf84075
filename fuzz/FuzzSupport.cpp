#include "FuzzSupport.h"

#include "MqttClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>

namespace fuzz {

namespace {

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

} // namespace

void init()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    if (qEnvironmentVariableIntValue("KVRT_FUZZ_LOG") == 0)
        qInstallMessageHandler(dropMessage);
    // Kept for the whole run; reachable through the static, so no leak report.
    static int argc = 1;
    static char name[] = "kvrt-fuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    Q_UNUSED(app);
}

QString scratchDir()
{
    // In memory where there is a tmpfs: the program syncs what it saves, and a disk
    // would set the pace.
    // Removed when the process ends.
    static QTemporaryDir root(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                  ? QStringLiteral("/dev/shm/kvrt-fuzz-XXXXXX")
                                  : QDir::tempPath() + QStringLiteral("/kvrt-fuzz-XXXXXX"));
    const QString path = root.path() + QStringLiteral("/input");
    QDir dir(path);
    dir.removeRecursively();
    QDir().mkpath(path);
    return path;
}

QString writeFile(const QString& name, const QByteArray& content)
{
    const QString path = scratchDir() + QLatin1Char('/') + name;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return path;
}

void settle()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void deliver(manager::MqttClient& mqtt, const QByteArray& input,
             const std::function<void(const QByteArray& action)>& act)
{
    for (const QByteArray& line : input.split('\n')) {
        if (line.startsWith('@')) {
            act(line.mid(1));
        } else {
            const int space = line.indexOf(' ');
            const QByteArray topic = space < 0 ? line : line.left(space);
            const QByteArray payload = space < 0 ? QByteArray() : line.mid(space + 1);
            Q_EMIT mqtt.received(payload, topic);
        }
        settle();
    }
}

} // namespace fuzz
