#pragma once

#include "Deferred.h"

#include <QEventLoop>
#include <QTimer>

#include <memory>

// What became of a deferred result, for tests to wait on with QTRY_...:
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
        // A weak reference: a result that never settles does not keep it alive.
        std::weak_ptr<Settlement> weak = settlement;
        deferred
            .done([weak](const R& value) {
                if (auto self = weak.lock())
                    self->settle(DeferredState::RESOLVED, value);
            })
            .fail([weak](const R& value) {
                if (auto self = weak.lock())
                    self->settle(DeferredState::REJECTED, value);
            });
        return settlement;
    }

    // Runs the event loop until the deferred is settled, at most timeoutMsec;
    // returns whether it is. Unlike QTRY_... polling, this adds no delay of its
    // own, so it also serves benchmarks.
    bool wait(int timeoutMsec)
    {
        if (settled())
            return true;
        QEventLoop loop;
        // A timer of its own, gone with this call (a single-shot timer would
        // live on until it fires).
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(timeoutMsec);
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
        return settled();
    }

    bool settled() const { return m_state != DeferredState::PENDING; }
    bool resolved() const { return m_state == DeferredState::RESOLVED; }
    bool rejected() const { return m_state == DeferredState::REJECTED; }
    // How often the deferred called back (a deferred settles once).
    int calls() const { return m_calls; }

    R value {};

private:
    Settlement() = default;
    void settle(DeferredState state, const R& result)
    {
        ++m_calls;
        m_state = state;
        value = result;
        if (m_loop)
            m_loop->quit();
    }

    DeferredState m_state = DeferredState::PENDING;
    int m_calls = 0;
    QEventLoop* m_loop = nullptr;
};
