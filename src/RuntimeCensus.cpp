#include "RuntimeCensus.h"

#include "DeferredDataBase.h"
#include "MqttClient.h"
#include "TaggedLog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMutex>
#include <QSet>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

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
std::atomic<int> s_writeFd {-1};

void added(QObject* object)
{
    {
        QMutexLocker locker(&s_mutex);
        if (s_objects)
            s_objects->insert(object);
    }
    if (s_previous[0])
        reinterpret_cast<Hook>(s_previous[0])(object);
}

void removed(QObject* object)
{
    {
        QMutexLocker locker(&s_mutex);
        if (s_objects)
            s_objects->remove(object);
    }
    if (s_previous[1])
        reinterpret_cast<Hook>(s_previous[1])(object);
}

extern "C" void onUsr1(int)
{
    const int savedErrno = errno;
    const int fd = s_writeFd.load();
    const char byte = 1;
    if (fd >= 0) [[maybe_unused]]
        const ssize_t written = ::write(fd, &byte, 1);
    errno = savedErrno;
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
    qtHookData[AddQObject] = reinterpret_cast<quintptr>(&added);
    qtHookData[RemoveQObject] = reinterpret_cast<quintptr>(&removed);

    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        s_writeFd.store(m_pipe[1]);
        m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &RuntimeCensus::onSignal);
        struct sigaction action
        {
        };
        action.sa_handler = onUsr1;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGUSR1, &action, nullptr);
    }
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
    if (m_pipe[1] >= 0) {
        signal(SIGUSR1, SIG_DFL);
        s_writeFd.store(-1);
        delete m_notifier;
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
}

void RuntimeCensus::onSignal()
{
    char buffer[16];
    while (::read(m_pipe[0], buffer, sizeof buffer) > 0) { }
    report();
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
