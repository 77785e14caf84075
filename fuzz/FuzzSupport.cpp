#include "FuzzSupport.h"

#include "MqttClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QTemporaryDir>

#if defined(__SANITIZE_ADDRESS__)
#define KVRT_FUZZ_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVRT_FUZZ_LEAK_CHECK 1
#endif
#endif

#ifdef KVRT_FUZZ_LEAK_CHECK
#include <dlfcn.h>
#include <sanitizer/lsan_interface.h>

// A request for more memory than there is fails as it does without the sanitizer (Qt
// then throws std::bad_alloc), rather than ending the run: what the program does about
// it is what is being tested.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

// Qt 5.15's JSON parser forgets an object or array value when the same key comes again
// in that object ({"a":{},"a":1} loses the {}): a leak in Qt that no caller can avoid
// and that would stop every run within minutes. This definition stands in for Qt's in
// the harnesses and leaves what the parser allocates out of the leak check; everything
// else, the program's handling of the document included, is still checked.
QJsonDocument QJsonDocument::fromJson(const QByteArray& json, QJsonParseError* error)
{
    using Parse = QJsonDocument (*)(const QByteArray&, QJsonParseError*);
    static const auto qtParse = reinterpret_cast<Parse>(
        dlsym(RTLD_NEXT, "_ZN13QJsonDocument8fromJsonERK10QByteArrayP15QJsonParseError"));
    __lsan::ScopedDisabler unchecked;
    return qtParse(json, error);
}
#endif

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
    // In memory where there is a tmpfs (the program syncs what it saves, and a disk
    // would set the pace); removed when the process ends.
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
