#include "AtomicFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The rename is only durable once the directory entry is on the disk too.
void syncDirectory(const QString& path)
{
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

bool AtomicFile::write(const QString& path, const QByteArray& contents, QString* error)
{
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    // A link stays a link: its target is what gets replaced.
    const QFileInfo info(path);
    const QString target = info.isSymLink() ? info.symLinkTarget() : path;
    const QFileInfo existing(target);
    if (existing.exists() && !existing.isWritable())
        return fail(QStringLiteral("Existing file %1 is not writable").arg(target));

    // One fixed name beside the target: a write cut short leaves at most this one file
    // behind, and the next write reuses it.
    QFile temporary(target + QStringLiteral(".tmp"));
    if (!temporary.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(temporary.errorString());
    if (existing.exists())
        temporary.setPermissions(existing.permissions());
    const bool written = temporary.write(contents) == contents.size() && temporary.flush()
        && ::fsync(temporary.handle()) == 0;
    const QString writeError = temporary.errorString();
    temporary.close();
    if (!written) {
        temporary.remove();
        return fail(writeError.isEmpty() ? QStringLiteral("cannot write to the disk") : writeError);
    }
    if (::rename(QFile::encodeName(temporary.fileName()).constData(),
                 QFile::encodeName(target).constData())
        != 0) {
        const QString renameError = QString::fromLocal8Bit(std::strerror(errno));
        temporary.remove();
        return fail(renameError);
    }
    syncDirectory(target);
    return true;
}

bool AtomicFile::writeSettings(const QString& path, const std::function<void(QSettings&)>& fill,
                               QString* error, QByteArray* written)
{
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    // QSettings writes through temporary files and a lock file of its own, which a kill
    // would leave behind: it works in a directory beside the file that is emptied before
    // every use, so that at most that one directory is ever left over.
    const QFileInfo info(path);
    const QFileInfo target(info.isSymLink() ? info.symLinkTarget() : path);
    QDir scratch(target.absolutePath() + QStringLiteral("/.") + target.fileName()
                 + QStringLiteral(".new"));
    if (!scratch.removeRecursively() || !QDir().mkpath(scratch.path()))
        return fail(QStringLiteral("cannot prepare %1").arg(scratch.path()));
    // A new name every time: QSettings caches what it read of a file by its name.
    // Files may be written from several threads.
    static std::atomic<int> serial {0};
    const QString text = scratch.filePath(
        QStringLiteral("%1-%2.ini").arg(QCoreApplication::applicationPid()).arg(++serial));
    QByteArray contents;
    {
        QSettings settings(text, QSettings::IniFormat);
        fill(settings);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            scratch.removeRecursively();
            return fail(QStringLiteral("could not produce the settings text"));
        }
    }
    QFile produced(text);
    // No entries at all: QSettings leaves no file, and the result is an empty one.
    if (produced.exists() && !produced.open(QIODevice::ReadOnly)) {
        scratch.removeRecursively();
        return fail(produced.errorString());
    }
    contents = produced.readAll();
    produced.close();
    scratch.removeRecursively();
    if (!write(target.filePath(), contents, error))
        return false;
    if (written)
        *written = contents;
    return true;
}
