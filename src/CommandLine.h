#pragma once

#include <QStringList>
#include <QVariantMap>

// Turns the program's command line into configuration overrides, keyed like the
// configuration ("log/level", "mqtt/host", ...) plus "config" for the file name.
// Only options that were given produce entries. Help (-h), version (-V) and
// command-line errors end the process (status 0, 0 and 1).

// Parses QCoreApplication::arguments(); the application object must exist.
QVariantMap parseCLIArgs();
// Parses the given arguments, the first of which is the program name.
QVariantMap parseCLIArgs(const QStringList& arguments);
