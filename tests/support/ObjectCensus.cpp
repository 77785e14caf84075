#include "ObjectCensus.h"

#include <QAtomicInteger>
#include <QObject>

// QtCore's hook table for introspection tools (stable across Qt 5: the same
// entries GammaRay uses). Entry 3 is called for every QObject created, entry 4
// for every QObject destroyed.
QT_BEGIN_NAMESPACE
extern quintptr Q_CORE_EXPORT qtHookData[];
QT_END_NAMESPACE

namespace {
enum HookIndex { AddQObject = 3, RemoveQObject = 4 };
using ObjectHook = void (*)(QObject*);

QAtomicInteger<qint64> s_alive;
ObjectCensus* s_census = nullptr;
quintptr s_previousAdd = 0;
quintptr s_previousRemove = 0;
} // namespace

ObjectCensus::ObjectCensus()
{
    Q_ASSERT(!s_census);
    s_census = this;
    s_alive.storeRelaxed(0);
    m_previousAdd = s_previousAdd = qtHookData[AddQObject];
    m_previousRemove = s_previousRemove = qtHookData[RemoveQObject];
    qtHookData[AddQObject] = reinterpret_cast<quintptr>(&ObjectCensus::added);
    qtHookData[RemoveQObject] = reinterpret_cast<quintptr>(&ObjectCensus::removed);
}

ObjectCensus::~ObjectCensus()
{
    qtHookData[AddQObject] = m_previousAdd;
    qtHookData[RemoveQObject] = m_previousRemove;
    s_census = nullptr;
}

qint64 ObjectCensus::alive() const
{
    return s_alive.loadRelaxed();
}

void ObjectCensus::added(QObject* object)
{
    s_alive.fetchAndAddRelaxed(1);
    if (s_previousAdd)
        reinterpret_cast<ObjectHook>(s_previousAdd)(object);
}

void ObjectCensus::removed(QObject* object)
{
    s_alive.fetchAndAddRelaxed(-1);
    if (s_previousRemove)
        reinterpret_cast<ObjectHook>(s_previousRemove)(object);
}
