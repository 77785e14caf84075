#pragma once

#include <QObject>

// Lives in one thread and runs the DeferredProxyEvents posted to it there.
// The serial tells apart successive proxies of a QThread object that is started again,
// or of a new QThread allocated at a finished one's address.
class DeferredProxyObject : public QObject
{
    Q_OBJECT

public:
    explicit DeferredProxyObject(quint64 serial, QObject* parent = nullptr);

    quint64 serial() const { return m_serial; }

protected:
    bool event(QEvent* event) override;

private:
    const quint64 m_serial;
};
