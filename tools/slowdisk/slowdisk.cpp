// A slow disk for tests and benchmarks, preloaded (LD_PRELOAD) into a program: every
// fsync() and fdatasync() takes KVRT_FSYNC_DELAY_MS milliseconds more (200 by default,
// what a flush can take on a terminal's SD card), then does its work.

#include <cstdlib>
#include <ctime>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

void delay()
{
    static const long milliseconds = [] {
        const char* value = std::getenv("KVRT_FSYNC_DELAY_MS");
        return value ? std::strtol(value, nullptr, 10) : 200L;
    }();
    timespec pause {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) { }
}

} // namespace

extern "C" int fsync(int fd)
{
    delay();
    return int(syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd)
{
    delay();
    return int(syscall(SYS_fdatasync, fd));
}
