#pragma once

#include <QEvent>

#include <functional>

// Carries one callback call to the thread that registered the callback.
class DeferredProxyEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 123);

    explicit DeferredProxyEvent(std::function<void()> eventFunc);

    void call() const { m_eventFunc(); }

private:
    std::function<void()> m_eventFunc;
};
