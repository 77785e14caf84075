#include "DeferredDataBase.h"

#include "DeferredProxyEvent.h"
#include "DeferredProxyObject.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

QMap<QThread*, DeferredProxyObject*> DeferredDataBase::s_threadMap;
quint64 DeferredDataBase::s_lastSerial = 0;
QAtomicInt DeferredDataBase::s_live;
QMutex DeferredDataBase::s_mutex;
// Defined last so that it is destroyed first at exit, while the registry still exists.
QObject DeferredDataBase::s_objExitCleaner;

DeferredProxyObject* DeferredDataBase::getObjectForThread()
{
    static const bool exitCleanupArmed = [] {
        QObject::connect(&s_objExitCleaner, &QObject::destroyed, [] {
            qDebug().noquote() << "DeferredDataBase was deleted.";
            // The thread that exits never reports `finished`, so its proxy goes here.
            QMutexLocker locker(&s_mutex);
            delete s_threadMap.take(s_objExitCleaner.thread());
        });
        return true;
    }();
    Q_UNUSED(exitCleanupArmed)

    QThread* thread = QThread::currentThread();
    QMutexLocker locker(&s_mutex);
    DeferredProxyObject* proxy = s_threadMap.value(thread);
    if (!proxy) {
        proxy = new DeferredProxyObject(++s_lastSerial);
        s_threadMap.insert(thread, proxy);
        // Runs in the finishing thread, which still deletes the proxy before it ends.
        QObject::connect(
            thread, &QThread::finished, proxy,
            [thread, proxy] {
                QMutexLocker registryLocker(&s_mutex);
                if (s_threadMap.value(thread) == proxy)
                    s_threadMap.remove(thread);
                proxy->deleteLater();
            },
            Qt::DirectConnection);
    }
    return proxy;
}

void DeferredDataBase::dispatch(QThread* thread, quint64 proxySerial, Qt::ConnectionType type,
                                std::function<void()> call)
{
    QMutexLocker locker(&s_mutex);
    DeferredProxyObject* proxy = s_threadMap.value(thread);
    if (!proxy || proxy->serial() != proxySerial)
        return; // the registering thread has finished: its callbacks went with it

    const bool now = type == Qt::DirectConnection
        || (type != Qt::QueuedConnection && thread == QThread::currentThread());
    if (!now) {
        // Posted while the registry is locked, so the proxy cannot be deleted meanwhile.
        QCoreApplication::postEvent(proxy, new DeferredProxyEvent(std::move(call)),
                                    Qt::HighEventPriority);
        return;
    }
    locker.unlock();
    call();
}
