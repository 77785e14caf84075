#include "FileWriter.h"

#include "AtomicFile.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QMutex>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <algorithm>
#include <deque>
#include <exception>

#if defined(Q_OS_LINUX)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

struct FileWriter::Task
{
    QString path;
    bool replaceable = false;
    Job job;
    QVector<Done> done;
};

namespace {

struct Result
{
    QString path;
    bool written = false;
    QString error;
    QVector<FileWriter::Done> done;
};

} // namespace

// What the writer's thread and its owner share. It outlives the owner when the thread
// had to be left behind at the end (a disk that does not answer).
struct FileWriter::Shared
{
    QMutex mutex;
    QWaitCondition queued; // a task came, or the owner is going
    QWaitCondition finished; // a task is done
    std::deque<Task> queue;
    bool running = false;
    QString current; // the path of the running job
    bool stopping = false;
    QVector<Result> results;
    FileWriter* owner = nullptr; // none once it has gone

    void work()
    {
        QMutexLocker lock(&mutex);
        for (;;) {
            while (queue.empty() && !stopping)
                queued.wait(&mutex);
            // What was handed over before the end is written first.
            if (queue.empty())
                return;
            Task task = std::move(queue.front());
            queue.pop_front();
            running = true;
            current = task.path;
            lock.unlock();

            QString error;
            bool written = false;
            try {
                written = task.job(&error);
            } catch (const std::exception& e) {
                error = QString::fromLocal8Bit(e.what());
            }
            if (!written && error.isEmpty())
                error = QStringLiteral("unknown error");

            lock.relock();
            running = false;
            current.clear();
            const bool first = results.isEmpty();
            results.append({task.path, written, error, std::move(task.done)});
            if (first && owner) {
                FileWriter* to = owner;
                QMetaObject::invokeMethod(
                    to, [to] { to->deliverResults(); }, Qt::QueuedConnection);
            }
            finished.wakeAll();
        }
    }
};

FileWriter::FileWriter(QObject* parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
{
    m_shared->owner = this;
}

namespace {
QDeadlineTimer g_finishDeadline(QDeadlineTimer::Forever);
// Writing a whole log keeps a processor busy for milliseconds, and the thread that draws
// the screen should not wait for its turn behind that: the writer takes a smaller share
// of a busy processor, and all of an idle one. Linux gives each thread a niceness of its
// own (Qt's thread priorities change nothing there but to the idle policy, which a busy
// machine could starve). Where this fails, the writer runs as any other thread.
void yieldToOtherThreads()
{
#if defined(Q_OS_LINUX)
    constexpr int WriterNiceness = 10;
    if (setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), WriterNiceness) != 0)
        qDebug().noquote() << "[FileWriter] The writer runs at the priority of its process";
#endif
}

} // namespace

void FileWriter::setFinishDeadline(const QDeadlineTimer& deadline)
{
    g_finishDeadline = deadline;
}

QDeadlineTimer FileWriter::finishDeadline()
{
    return std::min(QDeadlineTimer(FinishMsec), g_finishDeadline);
}

FileWriter::~FileWriter()
{
    {
        QMutexLocker lock(&m_shared->mutex);
        m_shared->owner = nullptr;
        m_shared->stopping = true;
        m_shared->queued.wakeAll();
    }
    if (!m_thread)
        return;
    const bool done = m_thread->wait(finishDeadline());
    // The owners that would report them are going: what failed is said here.
    QMutexLocker lock(&m_shared->mutex);
    for (const Result& result : qAsConst(m_shared->results)) {
        if (!result.written)
            qCritical().noquote().nospace() << "[FileWriter] ERROR: Could not write " << result.path
                                            << " (" << result.error << ")";
    }
    m_shared->results.clear();
    if (done) {
        lock.unlock();
        delete m_thread;
        return;
    }
    // A write stuck in the kernel cannot be called off. The thread is left to finish on
    // its own (or to the end of the process, which it does not hold up); a file it had
    // not replaced yet stays as it was before.
    QStringList waiting {m_shared->current};
    for (const Task& task : m_shared->queue)
        waiting.append(task.path);
    waiting.removeDuplicates();
    qCritical().noquote().nospace() << "[FileWriter] ERROR: Files still not written when the "
                                       "time was up; giving up on them : "
                                    << waiting.join(QStringLiteral(", "));
}

void FileWriter::write(const QString& path, Job job, Done done)
{
    enqueue(path, true, std::move(job), std::move(done));
}

void FileWriter::write(const QString& path, const QByteArray& contents, Done done)
{
    write(
        path, [path, contents](QString* error) { return AtomicFile::write(path, contents, error); },
        std::move(done));
}

void FileWriter::writeSettings(const QString& path, std::function<void(QSettings&)> fill, Done done)
{
    write(
        path,
        [path, fill = std::move(fill)](QString* error) {
            return AtomicFile::writeSettings(path, fill, error);
        },
        std::move(done));
}

void FileWriter::run(const QString& path, Job job, Done done)
{
    enqueue(path, false, std::move(job), std::move(done));
}

void FileWriter::enqueue(const QString& path, bool replaceable, Job job, Done done)
{
    if (!m_thread) {
        m_thread = QThread::create([shared = m_shared] {
            yieldToOtherThreads();
            shared->work();
        });
        m_thread->setObjectName(QStringLiteral("FileWriter"));
        // Goes by itself if it ever has to be left behind (see the destructor).
        connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
        m_thread->start();
    }
    QMutexLocker lock(&m_shared->mutex);
    Task task {path, replaceable, std::move(job), {}};
    auto& queue = m_shared->queue;
    if (replaceable) {
        // A write still waiting takes the new contents, unless a step for the same file
        // (a move aside) comes after it: then the new write goes after that step.
        for (auto it = queue.rbegin(); it != queue.rend(); ++it) {
            if (it->path != path)
                continue;
            if (!it->replaceable)
                break;
            it->job = std::move(task.job);
            if (done)
                it->done.append(std::move(done));
            return;
        }
    }
    if (done)
        task.done.append(std::move(done));
    queue.push_back(std::move(task));
    m_shared->queued.wakeAll();
}

bool FileWriter::isBusy() const
{
    QMutexLocker lock(&m_shared->mutex);
    return !m_shared->queue.empty() || m_shared->running;
}

bool FileWriter::waitForWritten(int msecs)
{
    const QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(msecs));
    bool done = true;
    {
        QMutexLocker lock(&m_shared->mutex);
        while (!m_shared->queue.empty() || m_shared->running) {
            if (!m_shared->finished.wait(&m_shared->mutex, deadline)) {
                done = false;
                break;
            }
        }
    }
    deliverResults();
    return done;
}

void FileWriter::deliverResults()
{
    QVector<Result> results;
    {
        QMutexLocker lock(&m_shared->mutex);
        results.swap(m_shared->results);
    }
    if (results.isEmpty())
        return;
    for (const Result& result : qAsConst(results)) {
        Q_EMIT finished(result.path, result.written, result.error);
        if (!result.written && !m_failing.contains(result.path)) {
            m_failing.insert(result.path);
            Q_EMIT writeFailed(result.path, result.error);
        } else if (result.written && m_failing.remove(result.path)) {
            Q_EMIT writeRecovered(result.path);
        }
        for (const Done& done : result.done)
            done(result.written, result.error);
    }
    if (!isBusy())
        Q_EMIT idle();
}
