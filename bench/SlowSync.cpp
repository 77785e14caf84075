// Preloaded into a program (LD_PRELOAD) to give it a disk as slow to flush as an SD card:
// every fsync, fdatasync and syncfs waits KVRT_SYNC_DELAY_MS milliseconds (default 200)
// and then does what it was asked. kvrt_delayed_syncs() tells how many waited, so that a
// program can check that it runs with the shim at all.

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

std::atomic<long> g_delayed {0};

long delayMs()
{
    static const long delay = [] {
        const char* text = std::getenv("KVRT_SYNC_DELAY_MS");
        return text ? std::strtol(text, nullptr, 10) : 200L;
    }();
    return delay;
}

// Sleeps through signals too, and leaves errno as the caller had it.
void wait()
{
    const int saved = errno;
    timespec left {delayMs() / 1000, (delayMs() % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) { }
    ++g_delayed;
    errno = saved;
}

using SyncCall = int (*)(int);

SyncCall next(const char* name)
{
    return reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) long kvrt_delayed_syncs()
{
    return g_delayed.load();
}

__attribute__((visibility("default"))) int fsync(int fd)
{
    static const SyncCall call = next("fsync");
    wait();
    return call(fd);
}

__attribute__((visibility("default"))) int fdatasync(int fd)
{
    static const SyncCall call = next("fdatasync");
    wait();
    return call(fd);
}

__attribute__((visibility("default"))) int syncfs(int fd)
{
    static const SyncCall call = next("syncfs");
    wait();
    return call(fd);
}

} // extern "C"
