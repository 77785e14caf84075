// The writer thread on scratch files: order, coalescing, failures and the wait at the end.

#include "AtomicFile.h"
#include "FileWriter.h"
#include "MessageCapture.h"

#include <QSemaphore>
#include <QtTest>

#include <memory>

namespace {

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Holds the writer's thread in a job until released, or for the given time.
struct Gate
{
    std::shared_ptr<QSemaphore> open = std::make_shared<QSemaphore>();
    FileWriter::Job job(int msecs = -1) const
    {
        return [open = open, msecs](QString*) {
            open->tryAcquire(1, msecs);
            return true;
        };
    }
};

} // namespace

class TestFileWriter : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private Q_SLOTS:
    void burstsAreCoalescedInOrder()
    {
        FileWriter writer;
        Gate gate;
        writer.run("gate", gate.job());
        const QString a = m_dir.filePath("a"), b = m_dir.filePath("b");
        auto runs = std::make_shared<QAtomicInt>(0);
        QStringList done;
        const auto write = [&](const QString& path, const QByteArray& contents) {
            writer.write(
                path,
                [=](QString* error) {
                    runs->ref();
                    // The step queued before the last write has run by then.
                    return AtomicFile::write(path, contents, error);
                },
                [&done, contents](bool written, const QString&) {
                    done << contents + (written ? "" : " failed");
                });
        };
        for (int i = 1; i <= 10; ++i)
            write(a, "a" + QByteArray::number(i)), write(b, "b" + QByteArray::number(i));
        // A step that is not replaced sees the writes queued before it.
        QByteArray seen;
        writer.run(a, [&seen, a](QString*) { return seen = readBytes(a), true; });
        for (int i = 11; i <= 20; ++i)
            write(a, "a" + QByteArray::number(i));
        QVERIFY(writer.isBusy());
        gate.open->release();
        QVERIFY(writer.waitForWritten(30000) && !writer.isBusy());
        QCOMPARE(readBytes(a) + ' ' + readBytes(b) + ' ' + seen, QByteArray("a20 b10 a10"));
        QCOMPARE(runs->loadAcquire(), 3); // a: before and after the step; b once
        QCOMPARE(done.size(), 30); // every caller hears of its change
        QVERIFY(!done.join(' ').contains("failed"));
    }
    void failuresReportedOncePerStreak()
    {
        FileWriter writer;
        QSignalSpy failed(&writer, &FileWriter::writeFailed);
        QSignalSpy recovered(&writer, &FileWriter::writeRecovered);
        const QString path = m_dir.filePath("later/file");
        QStringList errors;
        for (int i = 0; i < 3; ++i) {
            writer.write(path, "lost", [&](bool written, const QString& error) {
                errors << (written ? QString() : error);
            });
            QVERIFY(writer.waitForWritten(30000));
        }
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed[0][0].toString(), path);
        QVERIFY(errors.size() == 3 && !errors.contains(QString()));
        // The next change after the cause is gone writes everything there is.
        QVERIFY(QDir(m_dir.path()).mkdir("later"));
        writer.write(path, "kept");
        QVERIFY(writer.waitForWritten(30000));
        QVERIFY(recovered.count() == 1 && failed.count() == 1);
        QCOMPARE(readBytes(path), QByteArray("kept"));
    }
    void theEndWaitsForTheQueue_data()
    {
        QTest::addColumn<int>("stuckMsec");
        QTest::newRow("slow disk") << 500;
        QTest::newRow("disk that does not answer") << FileWriter::FinishMsec + 2000;
    }
    // What was queued is on the disk when the writer has gone, within a bounded time.
    void theEndWaitsForTheQueue()
    {
        QFETCH(int, stuckMsec);
        const QString path = m_dir.filePath(QTest::currentDataTag());
        MessageCapture capture;
        QElapsedTimer clock;
        {
            FileWriter writer;
            writer.run(path, Gate().job(stuckMsec));
            writer.write(path, "last words");
            clock.start();
        }
        const bool stuck = stuckMsec > FileWriter::FinishMsec;
        QCOMPARE(capture.contains("giving up on them : " + path), stuck);
        QCOMPARE(readBytes(path), stuck ? QByteArray() : QByteArray("last words"));
        if (stuck) // however long the disk takes, the end does not wait for it
            QVERIFY(clock.elapsed() < stuckMsec);
        // Left behind, the write still lands once the disk answers.
        QTRY_COMPARE_WITH_TIMEOUT(readBytes(path), QByteArray("last words"), 30000);
    }
};

QTEST_GUILESS_MAIN(TestFileWriter)

#include "tst_filewriter.moc"
