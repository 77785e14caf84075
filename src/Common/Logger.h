#pragma once

#include <QByteArray>
#include <QMutex>
#include <QtGlobal>

#include <atomic>
#include <vector>

namespace manager {

// The process-wide log sink. On first use it installs itself as the Qt message
// handler and from then on sends every message that passes the current level to
// syslog and/or standard error, stamped with the seconds since its creation.
// The level is applied as Qt logging filter rules, the colours as the Qt message
// pattern. Never destroyed.
class Logger
{
public:
    enum Level { ERROR = 0, WARNING = 1, INFO = 2, DEBUG = 3, TRACE = 4 };

    // While one lives, the lines this thread logs wait, stamped with the time they were
    // logged, and are written in order when the last one ends; an error is written at
    // once, after them, and so is a line from another thread. For a request that must
    // leave before the lines about it: writing a line wakes the log's reader (journald),
    // which then competes for the processors with the peer the request is for. Keep holds
    // short (one handler): lines held when the process dies of a signal are lost, and the
    // journal, which stamps a line when it gets it, lists them after what the peers logged
    // meanwhile (the stamp in the text is the moment logged).
    class Hold
    {
    public:
        Hold();
        ~Hold();
        Q_DISABLE_COPY(Hold)
    };

    static Logger* instance();

    void setLevel(Level level);
    // 0, 1, 3 and 4 select ERROR, WARNING, DEBUG and TRACE; anything else INFO.
    void setLevel(int level);
    void setSyslog(bool enabled);
    void setStderr(bool enabled);
    void setColor(bool enabled);

    // Held while a message is written and while a setting changes.
    QMutex& getMutex();
    bool getSyslog() const;
    bool getStderr() const;
    // Real-time clock at creation, in milliseconds.
    double getStartTime() const;

private:
    Logger();
    Q_DISABLE_COPY(Logger)

    struct Line
    {
        QtMsgType type;
        double seconds;
        QByteArray text;
    };

    static void handleMessage(QtMsgType type, const QMessageLogContext& context,
                              const QString& message);
    // Both with the mutex held.
    void write(const Line& line) const;
    void writeHeld();

    static Logger* mInstance;

    QMutex mMutex;
    // Atomic so that the getters need not take the (non-recursive) mutex.
    std::atomic<bool> mSyslog {true};
    std::atomic<bool> mStderr {false};
    double mStartTime = 0.0;
    std::vector<Line> mHeld;
};

} // namespace manager
