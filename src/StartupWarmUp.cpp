#include "StartupWarmUp.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QLibraryInfo>

#include <pthread.h>
#include <sched.h>

namespace {

void initialiseFontconfig()
{
    QLibrary fontconfig(QStringLiteral("fontconfig"), 1);
    using Init = int (*)();
    if (const auto init = reinterpret_cast<Init>(fontconfig.resolve("FcInit")))
        init();
}

// The plug-in named by a qmldir ("plugin <name>"), empty if none. One in a directory of its
// own ("plugin <name> <path>") is left to the engine.
QString pluginName(const QString& qmldirPath)
{
    QFile qmldir(qmldirPath);
    if (!qmldir.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    while (!qmldir.atEnd()) {
        const QList<QByteArray> words = qmldir.readLine().simplified().split(' ');
        if (words.size() == 2 && words.at(0) == "plugin")
            return QString::fromUtf8(words.at(1));
    }
    return QString();
}

} // namespace

StartupWarmUp::StartupWarmUp(const QStringList& qmlModules)
{
    // Found here: Qt reads its own settings on the main thread only.
    const QStringList paths = importPaths();
    m_thread = std::thread([qmlModules, paths] {
        // It takes only time that nothing else wants: at the normal priority it slowed the
        // making of the application object by about as much as it saved.
        const sched_param idle {};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
        initialiseFontconfig();
        // Loaded libraries stay loaded: the engine finds them so when it imports the modules.
        for (const QString& file : pluginFiles(qmlModules, paths))
            QLibrary(file).load();
    });
}

StartupWarmUp::~StartupWarmUp()
{
    wait();
}

void StartupWarmUp::wait()
{
    if (!m_thread.joinable())
        return;
    // Waited for, it must not wait behind every other program of a busy start: it is given
    // back the normal priority (which needs a nice limit of 0, as the service's unit sets, or
    // root; otherwise it keeps the idle one).
    const sched_param normal {};
    pthread_setschedparam(m_thread.native_handle(), SCHED_OTHER, &normal);
    m_thread.join();
}

QStringList StartupWarmUp::importPaths()
{
    QStringList paths;
    const QString variable = qEnvironmentVariable("QML2_IMPORT_PATH");
    for (const QString& path : variable.split(QDir::listSeparator(), Qt::SkipEmptyParts))
        paths.append(path);
    paths.append(QLibraryInfo::location(QLibraryInfo::Qml2ImportsPath));
    return paths;
}

QStringList StartupWarmUp::pluginFiles(const QStringList& qmlModules,
                                       const QStringList& importPaths)
{
    QStringList files;
    for (const QString& module : qmlModules) {
        for (const QString& path : importPaths) {
            const QDir directory(QDir(path).filePath(module));
            if (!directory.exists(QStringLiteral("qmldir")))
                continue;
            const QString name = pluginName(directory.filePath(QStringLiteral("qmldir")));
            if (!name.isEmpty())
                files.append(directory.filePath(name));
            break;
        }
    }
    return files;
}
