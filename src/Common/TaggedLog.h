#pragma once

#include <QDebug>
#include <QString>

// A log line of a component: its tag ("[Board] ") first, then the text as it is,
// without the quotes and spaces QDebug adds by itself.
//     tagged(qInfo(), logTag()) << "Status changed : " << status;
inline QDebug tagged(QDebug stream, const QString& tag)
{
    stream.noquote().nospace() << tag;
    return stream;
}

// Booleans as the log lines show them.
inline const char* boolText(bool value)
{
    return value ? "true" : "false";
}
