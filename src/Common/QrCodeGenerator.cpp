#include "QrCodeGenerator.h"

#include <QDebug>

#include <cstdint>
#include <exception>
#include <vector>

QrCodeGenerator::QrCodeGenerator(QObject* parent)
    : QObject(parent)
{ }

QString QrCodeGenerator::generateSvgQr(const QString& text, quint16 border,
                                       qrcodegen::QrCode::Ecc ecc)
{
    try {
        // A text with a NUL goes as its bytes, in one binary segment: handed over as a C
        // string it would end there. Others keep the library's choice of the densest mode.
        const QByteArray utf8 = text.toUtf8();
        if (!utf8.contains('\0'))
            return toSvgString(qrcodegen::QrCode::encodeText(utf8.constData(), ecc), border);
        return toSvgString(qrcodegen::QrCode::encodeBinary(
                               std::vector<std::uint8_t>(utf8.begin(), utf8.end()), ecc),
                           border);
    } catch (const std::exception& error) {
        // The library throws when the text does not fit the largest symbol; no
        // exception may leave for the event loop.
        qWarning().noquote().nospace() << "[QrCodeGenerator] WARN: No QR code for a text of "
                                       << text.size() << " characters : " << error.what();
        return QString();
    }
}

QString QrCodeGenerator::toSvgString(const qrcodegen::QrCode& qr, quint16 border) const
{
    const int size = qr.getSize();
    const int extent = size + 2 * border;
    QString svg;
    // About 16 characters per dark module, half of the modules dark.
    svg.reserve(400 + size * size * 8);
    svg += QLatin1String(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" "
        "\"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 ");
    svg += QString::number(extent) + QLatin1Char(' ') + QString::number(extent);
    svg += QLatin1String("\" stroke=\"none\"><rect width=\"100%\" height=\"100%\" "
                         "fill=\"#FFFFFF\"/><path d=\"");
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if (!qr.getModule(x, y))
                continue;
            if (x != 0 || y != 0)
                svg += QLatin1Char(' ');
            svg += QLatin1Char('M') + QString::number(x + border) + QLatin1Char(',')
                + QString::number(y + border) + QLatin1String("h1v1h-1z");
        }
    }
    svg += QLatin1String("\" fill=\"#000000\"/></svg>");
    return svg;
}
