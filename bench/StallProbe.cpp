#include "StallProbe.h"

#include <QCoreApplication>

#include <algorithm>
#include <ctime>
#include <random>

namespace {

long long nowNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec now {};
    clock_gettime(clock, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

void raise(std::atomic<long long>& longest, long long value)
{
    long long seen = longest.load();
    while (value > seen && !longest.compare_exchange_weak(seen, value)) { }
}

} // namespace

const QEvent::Type StallProbe::PingType = QEvent::Type(QEvent::registerEventType());

StallProbe::StallProbe(int periodMicroseconds, double recordAboveMs, QObject* parent)
    : QObject(parent)
    , m_periodNs(long(periodMicroseconds) * 1000)
    , m_recordAboveNs((long long)(recordAboveMs * 1e6))
    , m_realOffsetNs(nowNs(CLOCK_REALTIME) - nowNs())
    , m_thread([this] { run(); })
{ }

StallProbe::~StallProbe()
{
    m_stop = true;
    m_thread.join();
    // An event still posted to this object goes with it.
    QCoreApplication::removePostedEvents(this, PingType);
}

void StallProbe::restart()
{
    m_longestNs = 0;
    m_delivered = 0;
    m_stalls.clear();
}

double StallProbe::longestMs() const
{
    long long longest = m_longestNs.load();
    const long long postedAt = m_postedAt.load();
    if (postedAt != 0)
        longest = std::max(longest, nowNs() - postedAt);
    return double(longest) / 1e6;
}

bool StallProbe::event(QEvent* event)
{
    if (event->type() != PingType)
        return QObject::event(event);
    const long long postedAt = m_postedAt.exchange(0);
    if (postedAt != 0) {
        const long long wait = nowNs() - postedAt;
        raise(m_longestNs, wait);
        if (wait > m_recordAboveNs)
            m_stalls.push_back({double(postedAt + m_realOffsetNs) / 1e6, double(wait) / 1e6});
    }
    ++m_delivered;
    return true;
}

void StallProbe::run()
{
    // On a grid that does not drift with the load, its steps drawn around the period. At
    // whole milliseconds the posts fell into step with the loop's timers, which fire on the
    // millisecond too: a frame started by a timer began right after a post was taken, and
    // was over before the next one came. Random steps meet every phase of the loop.
    std::minstd_rand random(std::random_device {}());
    std::uniform_int_distribution<long> step(m_periodNs / 2, m_periodNs * 3 / 2);
    timespec next {};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!m_stop) {
        next.tv_nsec += step(random);
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        // Woken late (a busy machine): the grid starts again from now, without a burst.
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - next.tv_sec) * 1000000000LL + (now.tv_nsec - next.tv_nsec) > m_periodNs)
            next = now;
        long long idle = 0;
        if (m_postedAt.compare_exchange_strong(idle, nowNs()))
            QCoreApplication::postEvent(this, new QEvent(PingType));
    }
}
