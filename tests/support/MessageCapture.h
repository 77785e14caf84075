#pragma once

#include <QStringList>
#include <QtGlobal>

// Records the text of the Qt messages emitted while it exists and, unless told not to
// (floods of large payloads), passes them on to the previous handler so that they stay
// visible in the test output. One capture at a time; safe from any thread.
class MessageCapture
{
public:
    explicit MessageCapture(bool passOn = true);
    ~MessageCapture();
    Q_DISABLE_COPY(MessageCapture)

    // All messages, or those of one type (QtInfoMsg, QtWarningMsg, ...).
    QStringList messages(int type = -1) const;
    // True if any message contains the text.
    bool contains(const QString& text) const { return !messages().filter(text).isEmpty(); }
    void clear();
};
