#include "ObjectCensus.h"

#include <QAtomicInteger>
#include <QObject>

// QtCore's hook table for introspection tools (stable across Qt 5): entry 3 is called
// for every QObject created, entry 4 for every QObject destroyed.
QT_BEGIN_NAMESPACE
extern quintptr Q_CORE_EXPORT qtHookData[];
QT_END_NAMESPACE

namespace {
enum { AddQObject = 3, RemoveQObject = 4 };
using Hook = void (*)(QObject*);

QAtomicInteger<qint64> s_alive;
quintptr s_previous[2] = {0, 0}; // the hooks installed before ours, called on

template<int Index, int Step>
void count(QObject* object)
{
    s_alive.fetchAndAddRelaxed(Step);
    if (const quintptr previous = s_previous[Index - AddQObject])
        reinterpret_cast<Hook>(previous)(object);
}
} // namespace

ObjectCensus::ObjectCensus()
{
    s_alive.storeRelaxed(0);
    s_previous[0] = qtHookData[AddQObject];
    s_previous[1] = qtHookData[RemoveQObject];
    qtHookData[AddQObject] = reinterpret_cast<quintptr>(&count<AddQObject, 1>);
    qtHookData[RemoveQObject] = reinterpret_cast<quintptr>(&count<RemoveQObject, -1>);
}

ObjectCensus::~ObjectCensus()
{
    qtHookData[AddQObject] = s_previous[0];
    qtHookData[RemoveQObject] = s_previous[1];
}

qint64 ObjectCensus::alive() const
{
    return s_alive.loadRelaxed();
}
