#include "AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

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
                               QString* error)
{
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/kvrt-settings-XXXXXX"));
    if (!scratch.isValid()) {
        if (error)
            *error = scratch.errorString();
        return false;
    }
    const QString text = scratch.filePath(QStringLiteral("contents.ini"));
    {
        QSettings settings(text, QSettings::IniFormat);
        fill(settings);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            if (error)
                *error = QStringLiteral("could not produce the settings text");
            return false;
        }
    }
    QFile produced(text);
    QByteArray contents;
    // No entries at all: QSettings leaves no file, and the result is an empty one.
    if (produced.exists()) {
        if (!produced.open(QIODevice::ReadOnly)) {
            if (error)
                *error = produced.errorString();
            return false;
        }
        contents = produced.readAll();
    }
    return write(path, contents, error);
}
