#include "DeferredProxyEvent.h"

DeferredProxyEvent::DeferredProxyEvent(std::function<void()> eventFunc)
    : QEvent(EventType)
    , m_eventFunc(std::move(eventFunc))
{ }
