#pragma once

#include <QObject>
#include <QVariantMap>

// The composition root of the application: it owns the connection to the broker
// and every device-service client, and drives the screens.
class GUIManager : public QObject
{
    Q_OBJECT

public:
    // Default value of every configuration key ("group/name"). Built by static
    // initialisation, so it is complete before main() runs; read-only afterwards.
    static const QVariantMap Defaults;
};
