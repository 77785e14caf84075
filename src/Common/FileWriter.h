#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

class QSettings;
class QThread;

// Writes files on a thread of its own, so that a slow disk never holds up the thread
// that asks (on an SD card a single fsync can take a fifth of a second, and the
// asking thread is the one that draws the screen).
//
// Jobs run one at a time, in the order they were queued. A write of a file replaces
// a write of the same file that has not started yet: a burst of changes costs one or
// two writes, and the latest contents win. Outcomes come back on the writer's own
// thread: to the callback given with a job, and as a failure reported once per file
// until it is written again. The destructor waits (a bounded time) for what is
// queued, so that what was handed over before a normal exit is on the disk.
class FileWriter : public QObject
{
    Q_OBJECT

public:
    // Runs on the writer's thread; false and, if asked, the reason when it failed. It
    // may only use what it holds: copies, never objects of the asking thread.
    using Job = std::function<bool(QString* error)>;
    // Runs on the writer's own thread once the job (or the job that replaced it) is done.
    using Done = std::function<void(bool written, const QString& error)>;

    // The longest the destructor waits for the queue.
    static constexpr int FinishMsec = 4000;
    // No writer destroyed from now on waits past this moment: the whole end of the
    // program keeps within one budget, however many writers there are.
    static void setFinishDeadline(const QDeadlineTimer& deadline);
    // By when a writer destroyed now stops waiting.
    static QDeadlineTimer finishDeadline();

    explicit FileWriter(QObject* parent = nullptr);
    ~FileWriter() override;

    // Queues a job that writes `path`, in place of one for the same path still waiting.
    void write(const QString& path, Job job, Done done = {});
    // The contents, replacing the file as a whole (see AtomicFile).
    void write(const QString& path, const QByteArray& contents, Done done = {});
    // The file in QSettings' INI form, as `fill` makes it on an empty QSettings.
    void writeSettings(const QString& path, std::function<void(QSettings&)> fill, Done done = {});
    // Queues a step that nothing replaces (moving a file aside, say), reported under `path`.
    void run(const QString& path, Job job, Done done = {});

    // Whether a job is queued or running.
    bool isBusy() const;
    // Whether the last write of the file failed (and it has not been written since).
    bool isFailing(const QString& path) const { return m_failing.contains(path); }
    // Blocks until all that is queued is done and its outcomes are delivered, or until
    // `msecs` have passed (-1: no limit). Whether everything is done.
    bool waitForWritten(int msecs = -1);

Q_SIGNALS:
    // Every job that ran, with its outcome.
    void finished(const QString& path, bool written, const QString& error);
    // The first failure of a file, and not again until it has been written.
    void writeFailed(const QString& path, const QString& error);
    // A file that failed before has been written.
    void writeRecovered(const QString& path);
    // The queue has run dry.
    void idle();

private:
    struct Shared;
    struct Task;

    void enqueue(const QString& path, bool replaceable, Job job, Done done);
    void deliverResults();

    std::shared_ptr<Shared> m_shared;
    QThread* m_thread = nullptr;
    QSet<QString> m_failing;
};
