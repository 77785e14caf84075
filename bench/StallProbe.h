#pragma once

#include <QEvent>
#include <QObject>

#include <atomic>
#include <thread>
#include <vector>

// How long the event loop of the thread that makes it keeps an event waiting. A thread
// of its own posts one stamped event about every period, at random steps around it (never
// a second one while the first waits); the loop stamps it again when it delivers it. The
// longest wait in a window is the longest time the loop did not turn in it, to within
// one and a half periods. The probe costs the loop one short event per period, whatever
// it is doing.
class StallProbe : public QObject
{
public:
    explicit StallProbe(int periodMicroseconds = 1000, double recordAboveMs = 5,
                        QObject* parent = nullptr);
    ~StallProbe() override;

    // Starts a new window: what came before no longer counts.
    void restart();
    // The longest wait since restart(), in milliseconds, with a wait still going on.
    double longestMs() const;
    // Events delivered since restart().
    long delivered() const { return m_delivered.load(); }

    // A wait of the window longer than the threshold given at construction: when the
    // event was posted (CLOCK_REALTIME, milliseconds) and how long it waited.
    struct Stall
    {
        double postedAtMs;
        double waitMs;
    };
    // Read on the thread of the loop.
    const std::vector<Stall>& stalls() const { return m_stalls; }

protected:
    bool event(QEvent* event) override;

private:
    void run();

    static const QEvent::Type PingType;
    const long m_periodNs;
    std::atomic<bool> m_stop {false};
    // When the event now waiting was posted (monotonic nanoseconds); 0 when none waits.
    std::atomic<long long> m_postedAt {0};
    std::atomic<long long> m_longestNs {0};
    std::atomic<long> m_delivered {0};
    const long long m_recordAboveNs;
    std::vector<Stall> m_stalls;
    // CLOCK_REALTIME minus CLOCK_MONOTONIC, to tell when a stall happened in log time.
    const long long m_realOffsetNs;
    std::thread m_thread;
};
