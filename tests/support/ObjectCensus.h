#pragma once

#include <QtGlobal>

class QObject;

// Counts the QObjects alive in the process, through the hooks QtCore offers to
// introspection tools. Tests use it to show that repeating an operation leaves
// nothing behind (timers, subscriptions, helper objects).
class ObjectCensus
{
public:
    ObjectCensus();
    ~ObjectCensus();
    ObjectCensus(const ObjectCensus&) = delete;
    ObjectCensus& operator=(const ObjectCensus&) = delete;

    // Objects created and not yet destroyed since this census began.
    qint64 alive() const;

private:
    static void added(QObject* object);
    static void removed(QObject* object);

    quintptr m_previousAdd = 0;
    quintptr m_previousRemove = 0;
};
