#pragma once

#include "Deferred.h"

#include <QEventLoop>
#include <QTimer>

#include <memory>

// What became of a deferred result:
//     auto outcome = Settlement<Result>::of(client.request());
//     QVERIFY(outcome->wait(10000));
//     QCOMPARE(outcome->value.error, QString());
template<class R>
class Settlement
{
public:
    using Ptr = std::shared_ptr<Settlement>;

    static Ptr of(const Deferred<R>& deferred)
    {
        Ptr settlement(new Settlement);
        // Weak: a result that never settles does not keep the settlement alive.
        std::weak_ptr<Settlement> weak = settlement;
        const auto settle = [weak](DeferredState state) {
            return [weak, state](const R& value) {
                if (auto self = weak.lock()) {
                    ++self->m_calls;
                    self->m_state = state;
                    self->value = value;
                    if (self->m_loop)
                        self->m_loop->quit();
                }
            };
        };
        deferred.done(settle(DeferredState::RESOLVED)).fail(settle(DeferredState::REJECTED));
        return settlement;
    }

    // Runs the event loop until settled, at most timeoutMsec, without a polling delay of
    // its own (benchmarks use it too); returns whether it is.
    bool wait(int timeoutMsec)
    {
        QEventLoop loop;
        QTimer timeout; // gone with this call, unlike a single-shot timer
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(timeoutMsec);
        m_loop = &loop;
        if (!settled())
            loop.exec();
        m_loop = nullptr;
        return settled();
    }

    bool settled() const { return m_state != DeferredState::PENDING; }
    bool resolved() const { return m_state == DeferredState::RESOLVED; }
    bool rejected() const { return m_state == DeferredState::REJECTED; }
    int calls() const { return m_calls; } // how often the deferred called back

    R value {};

private:
    Settlement() = default;

    DeferredState m_state = DeferredState::PENDING;
    int m_calls = 0;
    QEventLoop* m_loop = nullptr;
};
