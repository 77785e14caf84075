#pragma once

#include <QAtomicInt>
#include <QMap>
#include <QMutex>
#include <QObject>

#include <functional>

class DeferredProxyObject;
class QThread;

// The part of every DeferredData that does not depend on the value types: the registry of
// per-thread proxy objects through which callbacks are carried to their registering thread.
class DeferredDataBase
{
public:
    // The calling thread's proxy, created on first use. It is deleted when the thread finishes
    // (the main thread's at exit), which drops whatever was still queued for that thread.
    static DeferredProxyObject* getObjectForThread();

    // Runs `call` for a callback that `thread` registered through the proxy with `proxySerial`:
    // at once in the calling thread for Qt::DirectConnection, and for Qt::AutoConnection when
    // the calling thread is `thread`; otherwise (Qt::QueuedConnection, or automatic across
    // threads) as a high-priority event in `thread`. Any other type counts as automatic.
    // Nothing runs once that thread has finished.
    static void dispatch(QThread* thread, quint64 proxySerial, Qt::ConnectionType type,
                         std::function<void()> call);

    // Deferred results alive in the process, for leak checks of long runs.
    static int liveCount() { return s_live.loadRelaxed(); }

protected:
    DeferredDataBase() { s_live.ref(); }
    ~DeferredDataBase() { s_live.deref(); }
    DeferredDataBase(const DeferredDataBase&)
        : DeferredDataBase()
    { }

private:
    static QMap<QThread*, DeferredProxyObject*> s_threadMap;
    static quint64 s_lastSerial;
    static QMutex s_mutex; // guards s_threadMap and s_lastSerial
    static QObject s_objExitCleaner;
    static QAtomicInt s_live;
};
