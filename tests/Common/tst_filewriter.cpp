// The writer thread on scratch files: order and coalescing. (Failures: the host-fault and
// configuration tests; the end of the program: its stop test.)

#include "AtomicFile.h"
#include "FileWriter.h"
#include "ScratchFiles.h"

#include <QSemaphore>
#include <QtTest>

#include <memory>

namespace {

// Holds the writer's thread in a job until released.
struct Gate
{
    std::shared_ptr<QSemaphore> open = std::make_shared<QSemaphore>();
    FileWriter::Job job() const
    {
        return [open = open](QString*) {
            open->acquire();
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
        writer.run(a, [&seen, a](QString*) { return seen = readFile(a), true; });
        for (int i = 11; i <= 20; ++i)
            write(a, "a" + QByteArray::number(i));
        QVERIFY(writer.isBusy());
        gate.open->release();
        QVERIFY(writer.waitForWritten(30000) && !writer.isBusy());
        QCOMPARE(readFile(a) + ' ' + readFile(b) + ' ' + seen, QByteArray("a20 b10 a10"));
        QCOMPARE(runs->loadAcquire(), 3); // a: before and after the step; b once
        QCOMPARE(done.size(), 30); // every caller hears of its change
        QVERIFY(!done.join(' ').contains("failed"));
    }
};

QTEST_GUILESS_MAIN(TestFileWriter)

#include "tst_filewriter.moc"
