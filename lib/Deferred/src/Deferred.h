#pragma once

#include "DeferredData.h"

#include <QExplicitlySharedDataPointer>

namespace DeferredDetail {
// Keeps a parameter out of template argument deduction, so that lambdas convert to it.
template<class X>
struct NonDeduced
{
    using Type = X;
};
} // namespace DeferredDetail

// A shared handle to a result that arrives later: an operation creates one, hands out copies
// and later resolves it, rejects it or reports progress, each with values of the types T...,
// while the holders of copies attach callbacks. Copies share one state, which lives as long as
// any copy (also those held by pending callbacks and queued calls).
//
// A deferred settles once; settling again only logs a warning. Each callback runs in the
// thread that registered it: directly when it is settled there, otherwise as an event to that
// thread's event loop. Qt::DirectConnection runs it in the settling thread instead, and
// Qt::QueuedConnection always goes through the event loop. A callback registered once the
// outcome is known runs at once, in the registering thread, whatever its connection type.
//
// Every registration returns a copy of the handle, so that calls can be chained:
//     request().done([](const QJsonValue& v) { ... }).fail([](const QJsonValue& e) { ... });
template<class... T>
class Deferred
{
public:
    using Callback = typename DeferredData<T...>::Callback;
    using CallbackZero = typename DeferredData<T...>::CallbackZero;

    Deferred()
        : m_data(new DeferredData<T...>)
    { }

    DeferredState state() const { return m_data->state(); }

    // Called with the values when the deferred is resolved.
    Deferred done(Callback callback, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        // The copy keeps the data alive should a callback run from here drop this handle.
        Deferred self(*this);
        self.m_data->done(std::move(callback), type);
        return self;
    }
    // Called with the values when the deferred is rejected with values.
    Deferred fail(Callback callback, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        Deferred self(*this);
        self.m_data->fail(std::move(callback), type);
        return self;
    }
    // Called on each notify() while the deferred is pending.
    Deferred progress(Callback callback, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        Deferred self(*this);
        self.m_data->progress(std::move(callback), type);
        return self;
    }
    // Called without the values when the deferred is resolved.
    Deferred doneZero(CallbackZero callback, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        Deferred self(*this);
        self.m_data->doneZero(std::move(callback), type);
        return self;
    }
    // Called without the values when the deferred is rejected, with values or by rejectZero().
    Deferred failZero(CallbackZero callback, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        Deferred self(*this);
        self.m_data->failZero(std::move(callback), type);
        return self;
    }

    void resolve(const T&... values) const
    {
        Deferred self(*this);
        self.m_data->resolve(values...);
    }
    void reject(const T&... values) const
    {
        Deferred self(*this);
        self.m_data->reject(values...);
    }
    void rejectZero() const
    {
        Deferred self(*this);
        self.m_data->rejectZero();
    }
    void notify(const T&... values) const
    {
        Deferred self(*this);
        self.m_data->notify(values...);
    }

    // Chains a follow-up operation: when this deferred is resolved, `next` is called with its
    // values and the returned deferred follows the one `next` returns (its values, rejection
    // and progress). When this deferred is rejected, the returned one is rejected without
    // values, so only its argument-less fail callbacks run. `type` applies to the callbacks
    // registered on this deferred.
    template<class... U>
    Deferred<U...> thenAlias(
        typename DeferredDetail::NonDeduced<std::function<Deferred<U...>(const T&...)>>::Type next,
        Qt::ConnectionType type = Qt::AutoConnection) const
    {
        Deferred<U...> ret;
        done(
            [ret, next = std::move(next)](const T&... values) {
                next(values...)
                    .done([ret](const U&... result) { ret.resolve(result...); })
                    .fail([ret](const U&... error) { ret.reject(error...); })
                    .progress([ret](const U&... status) { ret.notify(status...); })
                    // A follow-up that itself fails without values (a nested
                    // thenAlias does) must still settle the result.
                    .failZero([ret] {
                        if (ret.state() == DeferredState::PENDING)
                            ret.rejectZero();
                    });
            },
            type);
        failZero([ret] { ret.rejectZero(); }, type);
        return ret;
    }

private:
    QExplicitlySharedDataPointer<DeferredData<T...>> m_data;
};
