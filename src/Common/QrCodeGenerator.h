#pragma once

#include <qrcodegen.hpp>

#include <QObject>
#include <QString>

// Turns a text into a QR Code symbol drawn as one self-contained SVG document, which
// QML shows as an image. The encoding itself is the qrcodegen library's.
class QrCodeGenerator : public QObject
{
    Q_OBJECT

public:
    explicit QrCodeGenerator(QObject* parent = nullptr);

    // The text's UTF-8 bytes, all of them, as an SVG image with a quiet zone of border
    // modules. A text that no symbol of the level can hold gives an empty string and a
    // warning.
    QString generateSvgQr(const QString& text, quint16 border, qrcodegen::QrCode::Ecc ecc);

private:
    QString toSvgString(const qrcodegen::QrCode& qr, quint16 border) const;
};
