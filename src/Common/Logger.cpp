#include "Logger.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <syslog.h>

namespace manager {

namespace {

double realTimeMsec()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return (double(now.tv_sec) * 1e9 + double(now.tv_nsec)) / 1e6;
}

const char* const PlainPattern = "%{if-fatal}%{function} at %{file}:%{line} "
                                 "(%{pid}:%{threadid}:%{qthreadptr}) - %{endif}%{message}";

// ANSI colours: yellow warnings, magenta debug, red errors; info stays plain.
const char* const ColorPattern = "%{if-category}[%{category}] %{endif}"
                                 "%{if-info}%{message}%{endif}"
                                 "%{if-warning}\033[33m%{message}\033[39m%{endif}"
                                 "%{if-debug}\033[35m%{message}\033[39m%{endif}"
                                 "%{if-critical}\033[31m%{message}\033[39m%{endif}"
                                 "%{if-fatal}%{function} at %{file}:%{line} "
                                 "(%{pid}:%{threadid}:%{qthreadptr}) - "
                                 "\033[31m%{message}\033[39m%{endif}";

// Set while this thread holds the logger's mutex. Qt calls made under the mutex
// (filter rules, message pattern) could themselves emit a message; that message is
// then written without locking again instead of dead-locking the thread.
thread_local bool t_holdsMutex = false;
// Number of Logger::Hold alive on this thread.
thread_local int t_holds = 0;

class MutexGuard
{
public:
    explicit MutexGuard(QMutex& mutex)
        : m_mutex(t_holdsMutex ? nullptr : &mutex)
    {
        if (m_mutex) {
            m_mutex->lock();
            t_holdsMutex = true;
        }
    }
    ~MutexGuard()
    {
        if (m_mutex) {
            t_holdsMutex = false;
            m_mutex->unlock();
        }
    }
    Q_DISABLE_COPY(MutexGuard)

private:
    QMutex* m_mutex;
};

} // namespace

Logger* Logger::mInstance = nullptr;

Logger* Logger::instance()
{
    // Not synchronised: the first call happens on the GUI thread before other
    // threads log.
    if (!mInstance)
        mInstance = new Logger;
    return mInstance;
}

Logger::Logger()
    : mStartTime(realTimeMsec())
{
    setColor(false);
    setLevel(INFO);
    // The handler reaches the logger through mInstance: set it before installing.
    mInstance = this;
    qInstallMessageHandler(&Logger::handleMessage);
}

void Logger::setLevel(Level level)
{
    MutexGuard locker(mMutex);
    QString rules;
    switch (level) {
    case ERROR:
        rules = QStringLiteral("*=true\n*.warning=false\n*.info=false\n*.debug=false\nqt.*=false");
        break;
    case WARNING:
        rules = QStringLiteral("*=true\n*.info=false\n*.debug=false\nqt.*=false");
        break;
    case INFO:
        rules = QStringLiteral("*=true\n*.debug=false\nqt.*=false");
        break;
    case DEBUG:
        rules = QStringLiteral("*=true\nqt.*=false");
        break;
    case TRACE:
        rules = QStringLiteral("*=true");
        break;
    }
    QLoggingCategory::setFilterRules(rules);
}

void Logger::setLevel(int level)
{
    switch (level) {
    case ERROR:
        setLevel(ERROR);
        break;
    case WARNING:
        setLevel(WARNING);
        break;
    case DEBUG:
        setLevel(DEBUG);
        break;
    case TRACE:
        setLevel(TRACE);
        break;
    default:
        setLevel(INFO);
        break;
    }
}

void Logger::setSyslog(bool enabled)
{
    MutexGuard locker(mMutex);
    mSyslog = enabled;
}

void Logger::setStderr(bool enabled)
{
    MutexGuard locker(mMutex);
    mStderr = enabled;
}

void Logger::setColor(bool enabled)
{
    MutexGuard locker(mMutex);
    qSetMessagePattern(QString::fromLatin1(enabled ? ColorPattern : PlainPattern));
}

QMutex& Logger::getMutex()
{
    return mMutex;
}

bool Logger::getSyslog() const
{
    return mSyslog;
}

bool Logger::getStderr() const
{
    return mStderr;
}

double Logger::getStartTime() const
{
    return mStartTime;
}

Logger::Hold::Hold()
{
    ++t_holds;
}

Logger::Hold::~Hold()
{
    if (--t_holds == 0 && mInstance) {
        MutexGuard locker(mInstance->mMutex);
        mInstance->writeHeld();
    }
}

void Logger::handleMessage(QtMsgType type, const QMessageLogContext& context,
                           const QString& message)
{
    // Must not emit Qt messages itself: the mutex is not recursive.
    Logger* self = mInstance;
    MutexGuard locker(self->mMutex);

    Line line {type, (realTimeMsec() - self->mStartTime) / 1000.0,
               qFormatLogMessage(type, context, message).toUtf8()};
    if (t_holds > 0 && type != QtCriticalMsg && type != QtFatalMsg) {
        self->mHeld.push_back(std::move(line));
        return;
    }
    self->writeHeld();
    self->write(line);

    if (type == QtFatalMsg)
        abort(); // the lock stays taken: nothing else may write after a fatal message
}

void Logger::writeHeld()
{
    for (const Line& line : mHeld)
        write(line);
    mHeld.clear();
}

void Logger::write(const Line& line) const
{
    const char* const text = line.text.constData();
    if (mSyslog) {
        switch (line.type) {
        case QtDebugMsg:
            syslog(LOG_DEBUG, "[%9.03f] [debug] %s", line.seconds, text);
            break;
        case QtWarningMsg:
            syslog(LOG_WARNING, "[%9.03f] [warning] %s", line.seconds, text);
            break;
        case QtCriticalMsg:
            syslog(LOG_CRIT, "[%9.03f] [error] %s", line.seconds, text);
            break;
        case QtFatalMsg:
            syslog(LOG_ERR, "[%9.03f] [fatal] %s", line.seconds, text);
            break;
        case QtInfoMsg:
            syslog(LOG_INFO, "[%9.03f] %s", line.seconds, text);
            break;
        }
    }
    if (mStderr) {
        fprintf(stderr, "[%9.03f] %s\n", line.seconds, text);
        fflush(stderr);
    }
}

} // namespace manager
