#include "GUIManager.h"

// Values keep their types (integers, booleans, strings): readers convert with
// toInt(), toBool() and toString() because values read back from the file are text.
const QVariantMap GUIManager::Defaults = {
    // Logging
    {QStringLiteral("log/level"), 2},
    {QStringLiteral("log/syslog"), true},
    {QStringLiteral("log/stderr"), true},
    {QStringLiteral("log/color"), false},

    // Broker connection and the interface's own topic base
    {QStringLiteral("mqtt/host"), QStringLiteral("localhost")},
    {QStringLiteral("mqtt/port"), 1883},
    {QStringLiteral("mqtt/username"), QString()},
    {QStringLiteral("mqtt/password"), QString()},
    {QStringLiteral("mqtt/base"), QStringLiteral("ovant/ui")},

    // User interface
    {QStringLiteral("gui/settingsPin"), QStringLiteral("4826")},
    {QStringLiteral("gui/showCursor"), true},
    {QStringLiteral("gui/isEntryGate"), true},
    {QStringLiteral("gui/errorOccured"), false},
    {QStringLiteral("gui/deviceId"), QStringLiteral("/etc/serialnumber")},
    {QStringLiteral("gui/errorMessageScreen"), QString()},
    {QStringLiteral("gui/locale"), QStringLiteral("el_GR")},
    {QStringLiteral("gui/displayOffMin"), 3},
    {QStringLiteral("gui/shutdownDelaySec"), 60},
    {QStringLiteral("gui/showErrorDesc"), false},
    {QStringLiteral("gui/screenSaverBg"), QStringLiteral("black")},
    {QStringLiteral("gui/screenSaverImg"),
     QStringLiteral("qrc:/qml/images/Icons/pelmo-logo-top-gr.svg")},
    {QStringLiteral("gui/animSwitchSec"), 0},
    {QStringLiteral("gui/currentErrorScreen"), 0},

    // Topic bases of the services; each client appends its own sub-topics
    {QStringLiteral("topics/barcode"), QStringLiteral("ovant/barcode")},
    {QStringLiteral("topics/blm"), QStringLiteral("ovant/blm")},
    {QStringLiteral("topics/board"), QStringLiteral("ovant/board")},
    {QStringLiteral("topics/inspector"), QStringLiteral("ovant/inspector")},
    {QStringLiteral("topics/network"), QStringLiteral("ovant/network")},
    {QStringLiteral("topics/device"), QStringLiteral("ovant/device")},
    {QStringLiteral("topics/rfid"), QStringLiteral("ovant/rfid")},
    {QStringLiteral("topics/dispenser"), QStringLiteral("ovant/dispenser")},
};
