#include "RuntimeCensus.h"

#include "DeferredDataBase.h"
#include "MqttClient.h"
#include "TaggedLog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMutex>
#include <QSet>
#include <QThread>

// QtCore's hook table for introspection tools (stable across Qt 5): entry 3 is called
// for every QObject created, entry 4 for every QObject destroyed.
QT_BEGIN_NAMESPACE
extern quintptr Q_CORE_EXPORT qtHookData[];
QT_END_NAMESPACE

namespace {
enum { AddQObject = 3, RemoveQObject = 4 };
using Hook = void (*)(QObject*);

QMutex s_mutex;
QSet<QObject*>* s_objects = nullptr; // guarded by s_mutex
quintptr s_previous[2] = {0, 0};

// Records the object's coming or going, then calls the hook that was there before.
template<bool Adding>
void follow(QObject* object)
{
    {
        QMutexLocker locker(&s_mutex);
        if (s_objects) {
            if (Adding)
                s_objects->insert(object);
            else
                s_objects->remove(object);
        }
    }
    if (const quintptr previous = s_previous[Adding ? 0 : 1])
        reinterpret_cast<Hook>(previous)(object);
}

} // namespace

RuntimeCensus::RuntimeCensus(QObject* parent)
    : QObject(parent)
{
    {
        QMutexLocker locker(&s_mutex);
        s_objects = new QSet<QObject*>;
    }
    s_previous[0] = qtHookData[AddQObject];
    s_previous[1] = qtHookData[RemoveQObject];
    qtHookData[AddQObject] = reinterpret_cast<quintptr>(&follow<true>);
    qtHookData[RemoveQObject] = reinterpret_cast<quintptr>(&follow<false>);

    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                &RuntimeCensus::report);
}

RuntimeCensus::~RuntimeCensus()
{
    qtHookData[AddQObject] = s_previous[0];
    qtHookData[RemoveQObject] = s_previous[1];
    {
        QMutexLocker locker(&s_mutex);
        delete s_objects;
        s_objects = nullptr;
    }
}

int RuntimeCensus::objects() const
{
    QMutexLocker locker(&s_mutex);
    return s_objects ? s_objects->size() : 0;
}

void RuntimeCensus::report() const
{
    int subscriptions = 0;
    int waits = 0;
    int timers = 0;
    int objects = 0;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread());
    {
        QMutexLocker locker(&s_mutex);
        if (!s_objects)
            return;
        objects = s_objects->size();
        for (QObject* object : qAsConst(*s_objects)) {
            // Timers of other threads are their dispatchers' business.
            if (object->thread() != thread())
                continue;
            if (dispatcher)
                timers += dispatcher->registeredTimers(object).size();
            if (auto* mqtt = qobject_cast<manager::MqttClient*>(object)) {
                subscriptions += mqtt->subscriptionCount();
                waits += mqtt->pendingWaits();
            }
        }
    }
    tagged(qInfo(), QStringLiteral("[Census] "))
        << "subscriptions=" << subscriptions << " waits=" << waits << " timers=" << timers
        << " deferred=" << DeferredDataBase::liveCount() << " objects=" << objects;
}
