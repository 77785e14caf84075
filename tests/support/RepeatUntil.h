#pragma once

#include <QElapsedTimer>
#include <QTest>

// Repeats an action until a condition holds, waiting up to intervalMs after each
// attempt. For the start of a test, when a client's subscriptions are on their
// way and a message sent too early is simply lost: resend until one gets through.
// Returns whether the condition held within timeoutMs.
template<typename Action, typename Condition>
bool repeatUntil(Action action, Condition condition, int timeoutMs = 10000, int intervalMs = 200)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() >= timeoutMs)
            return false;
        action();
        if (QTest::qWaitFor(condition, intervalMs))
            return true;
    }
    return true;
}
