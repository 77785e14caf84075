#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records the Qt messages emitted while it exists (their text, without any
// formatting) and, unless told not to (for floods of large payloads), still passes
// them on to the previous handler, so they stay visible in the test output. One
// capture at a time.
class MessageCapture
{
public:
    explicit MessageCapture(bool passOn = true);
    ~MessageCapture();
    Q_DISABLE_COPY(MessageCapture)

    QStringList messages() const;
    // Messages of one type (QtInfoMsg, QtWarningMsg, ...).
    QStringList messages(QtMsgType type) const;
    // True if any message contains the text.
    bool contains(const QString& text) const;
    void clear();

private:
    QtMessageHandler m_previous;
};
