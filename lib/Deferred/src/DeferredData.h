#pragma once

#include "DeferredDataBase.h"
#include "DeferredProxyObject.h"
#include "DeferredState.h"

#include <QDebug>
#include <QMap>
#include <QMutex>
#include <QSharedData>
#include <QThread>
#include <QVector>

#include <functional>
#include <optional>
#include <tuple>
#include <utility>

// The state shared by all copies of one Deferred<T...>.
//
// Callbacks are grouped by the thread that registered them. No callback runs while m_mutex is
// held: the ones to run are taken out under the lock and called after it is released, so a
// callback may use this or any other deferred freely, from any thread.
template<class... T>
class DeferredData : public QSharedData, public DeferredDataBase
{
public:
    using Callback = std::function<void(const T&...)>;
    using CallbackZero = std::function<void()>;

    struct CallbackData
    {
        Callback callback;
        Qt::ConnectionType connection;
    };
    struct CallbackDataZero
    {
        CallbackZero callback;
        Qt::ConnectionType connection;
    };
    struct DeferredAllCallbacks
    {
        quint64 m_proxySerial = 0; // of the registering thread's proxy
        QVector<CallbackData> m_doneList;
        QVector<CallbackData> m_failList;
        QVector<CallbackData> m_progressList;
        QVector<CallbackDataZero> m_doneZeroList;
        QVector<CallbackDataZero> m_failZeroList;
    };

    DeferredState state() const
    {
        QMutexLocker locker(&m_mutex);
        return m_state;
    }

    void done(Callback callback, Qt::ConnectionType type)
    {
        add(&DeferredAllCallbacks::m_doneList, DeferredState::RESOLVED,
            {std::move(callback), type});
    }
    void fail(Callback callback, Qt::ConnectionType type)
    {
        add(&DeferredAllCallbacks::m_failList, DeferredState::REJECTED,
            {std::move(callback), type});
    }
    // Progress only ever runs while pending, and PENDING is never a settled state.
    void progress(Callback callback, Qt::ConnectionType type)
    {
        add(&DeferredAllCallbacks::m_progressList, DeferredState::PENDING,
            {std::move(callback), type});
    }
    void doneZero(CallbackZero callback, Qt::ConnectionType type)
    {
        add(&DeferredAllCallbacks::m_doneZeroList, DeferredState::RESOLVED,
            {std::move(callback), type});
    }
    void failZero(CallbackZero callback, Qt::ConnectionType type)
    {
        add(&DeferredAllCallbacks::m_failZeroList, DeferredState::REJECTED,
            {std::move(callback), type});
    }

    void resolve(const T&... values)
    {
        settle(DeferredState::RESOLVED, std::make_tuple(values...));
    }
    void reject(const T&... values) { settle(DeferredState::REJECTED, std::make_tuple(values...)); }
    // Rejects without values: only the argument-less fail callbacks run.
    void rejectZero() { settle(DeferredState::REJECTED, std::nullopt); }

    void notify(const T&... values)
    {
        QMutexLocker locker(&m_mutex);
        if (m_state != DeferredState::PENDING) {
            qWarning().noquote() << "Cannot notify already processed deferred object.";
            return;
        }
        // An implicitly shared snapshot: callbacks added meanwhile do not disturb the loop.
        const QMap<QThread*, DeferredAllCallbacks> callbacks = m_callbacksMap;
        locker.unlock();

        const auto args = std::make_tuple(values...);
        for (auto it = callbacks.cbegin(); it != callbacks.cend(); ++it) {
            for (const CallbackData& data : it->m_progressList)
                dispatch(it.key(), it->m_proxySerial, data.connection, bind(data.callback, args));
        }
    }

private:
    // Registers a callback, or, once settled, runs it at once in the calling thread if it
    // belongs to the outcome (`runsOn`). One that can never run is not kept: a callback often
    // holds a handle to its own deferred, and keeping it would keep the data alive for ever.
    template<class Item>
    void add(QVector<Item> DeferredAllCallbacks::*list, DeferredState runsOn, Item item)
    {
        QMutexLocker locker(&m_mutex);
        if (m_state == DeferredState::PENDING) {
            (callbacksForCurrentThread().*list).append(std::move(item));
            return;
        }
        if (m_state != runsOn)
            return;
        locker.unlock(); // settled: m_values no longer changes
        call(item);
    }

    void call(const CallbackData& item) const
    {
        if (m_values) // empty after rejectZero()
            std::apply(item.callback, *m_values);
    }
    void call(const CallbackDataZero& item) const { item.callback(); }

    void settle(DeferredState state, std::optional<std::tuple<T...>> values)
    {
        QMutexLocker locker(&m_mutex);
        if (m_state != DeferredState::PENDING) {
            qWarning().noquote() << (state == DeferredState::RESOLVED
                                         ? "Cannot resolve already processed deferred object."
                                         : "Cannot reject already processed deferred object.");
            return;
        }
        m_state = state;
        m_values = std::move(values);
        // Every list is finished with now, progress included (no notification can follow).
        const QMap<QThread*, DeferredAllCallbacks> callbacks = std::exchange(m_callbacksMap, {});
        locker.unlock();

        const bool resolved = state == DeferredState::RESOLVED;
        for (auto it = callbacks.cbegin(); it != callbacks.cend(); ++it) {
            if (m_values) {
                for (const CallbackData& data : resolved ? it->m_doneList : it->m_failList)
                    dispatch(it.key(), it->m_proxySerial, data.connection,
                             bind(data.callback, *m_values));
            }
            for (const CallbackDataZero& data : resolved ? it->m_doneZeroList : it->m_failZeroList)
                dispatch(it.key(), it->m_proxySerial, data.connection, data.callback);
        }
    }

    static std::function<void()> bind(const Callback& callback, const std::tuple<T...>& values)
    {
        return [callback, values] { std::apply(callback, values); };
    }

    // Called under m_mutex.
    DeferredAllCallbacks& callbacksForCurrentThread()
    {
        const quint64 serial = getObjectForThread()->serial();
        DeferredAllCallbacks& callbacks = m_callbacksMap[QThread::currentThread()];
        if (callbacks.m_proxySerial != serial) {
            // New, or left by a finished thread whose QThread object had this address.
            callbacks = DeferredAllCallbacks();
            callbacks.m_proxySerial = serial;
        }
        return callbacks;
    }

    QMap<QThread*, DeferredAllCallbacks> m_callbacksMap;
    DeferredState m_state = DeferredState::PENDING;
    std::optional<std::tuple<T...>> m_values; // set by resolve() and reject()
    mutable QMutex m_mutex;
};
