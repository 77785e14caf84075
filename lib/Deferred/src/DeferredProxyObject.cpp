#include "DeferredProxyObject.h"

#include "DeferredProxyEvent.h"

DeferredProxyObject::DeferredProxyObject(quint64 serial, QObject* parent)
    : QObject(parent)
    , m_serial(serial)
{ }

bool DeferredProxyObject::event(QEvent* event)
{
    if (event->type() != DeferredProxyEvent::EventType)
        return QObject::event(event);
    static_cast<DeferredProxyEvent*>(event)->call();
    return true;
}
