#include "QrReader.h"

#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QSvgRenderer>

bool QrReader::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty();
}

QString QrReader::decode(const QString& svg, const QString& dir, bool* ok, QString* error)
{
    *ok = false;
    QSvgRenderer renderer(svg.toUtf8());
    if (!renderer.isValid()) {
        *error = QStringLiteral("not a valid SVG document");
        return QString();
    }
    // Eight pixels per module: sharp enough for any decoder.
    const QSize size = renderer.viewBox().size() * 8;
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    const QString png = dir + QStringLiteral("/qr.png");
    if (!image.save(png)) {
        *error = QStringLiteral("cannot write ") + png;
        return QString();
    }

    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), png});
    if (!zbar.waitForFinished(60000) || zbar.exitCode() != 0) {
        *error = QStringLiteral("zbarimg found no code: ")
            + QString::fromLocal8Bit(zbar.readAllStandardError());
        return QString();
    }
    QString text = QString::fromUtf8(zbar.readAllStandardOutput());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1); // zbarimg ends each symbol with a newline
    *ok = true;
    return text;
}
