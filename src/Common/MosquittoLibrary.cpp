#include "MosquittoLibrary.h"

#include <QDebug>
#include <QLibrary>
#include <QStringList>

#include <future>

namespace {

// The soname of the library's ABI (Debian package libmosquitto1).
constexpr int LibraryVersion = 1;

template<typename Function>
void resolve(QLibrary& library, const char* name, Function& function, QStringList& missing)
{
    function = reinterpret_cast<Function>(library.resolve(name));
    if (!function)
        missing.append(QString::fromLatin1(name));
}

} // namespace

const MosquittoLibrary* MosquittoLibrary::instance()
{
    // Thread-safe, once per process; a library that failed stays failed.
    static const MosquittoLibrary* const library = [] {
        static MosquittoLibrary loaded;
        return loaded.load() ? &loaded : nullptr;
    }();
    return library;
}

void MosquittoLibrary::preload()
{
    // Waited for at the end of the program, should it end that early.
    static const std::future<const MosquittoLibrary*> loading
        = std::async(std::launch::async, &MosquittoLibrary::instance);
}

bool MosquittoLibrary::load()
{
    // Never unloaded: the QLibrary object going out of scope leaves the library mapped.
    QLibrary library(QStringLiteral("mosquitto"), LibraryVersion);
    if (!library.load()) {
        qWarning().noquote().nospace() << "[MqttConnection] libmosquitto could not be loaded ("
                                       << library.errorString() << "): no broker connection.";
        return false;
    }

    QStringList missing;
#define KVRT_RESOLVE(name) resolve(library, #name, name, missing);
    KVRT_MOSQUITTO_FUNCTIONS(KVRT_RESOLVE)
#undef KVRT_RESOLVE
    decltype(&::mosquitto_lib_init) libInit = nullptr;
    resolve(library, "mosquitto_lib_init", libInit, missing);

    if (!missing.isEmpty()) {
        qWarning().noquote().nospace()
            << "[MqttConnection] " << library.fileName() << " lacks functions this program needs ("
            << missing.join(QStringLiteral(", ")) << "): no broker connection.";
        return false;
    }
    libInit();
    return true;
}
