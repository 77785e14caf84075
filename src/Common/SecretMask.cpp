#include "SecretMask.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QUrl>

namespace {

// The maintenance PIN's key, in the configuration ("gui/settingsPin") and in JSON.
const QLatin1String PinKey("settingsPin");

// "...password...": value or "...settingsPin": value, with a text, number or literal as value.
const QRegularExpression& memberPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral(
            R"re(("(?:[^"\\]*password[^"\\]*|[^"\\]*settingsPin)"\s*:\s*)("(?:[^"\\]|\\.)*"|[^\s,}\]]+))re"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

// scheme://user:password@ (also with JSON-escaped slashes); the password runs to the
// last "@" of the authority. A scheme starts only where a word starts: otherwise a long
// run of letters would be tried from each of its letters (quadratic on hostile input).
const QRegularExpression& urlPattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        R"(((?<![A-Za-z0-9+.\-])[A-Za-z][A-Za-z0-9+.\-]*:(?:\\?/){2}[^\s/"@:]*:)([^\s/"]+)@)"));
    return pattern;
}

QString replaceGroup(const QString& text, const QRegularExpression& pattern,
                     const QString& emptyValue)
{
    QString result;
    int done = 0;
    auto matches = pattern.globalMatch(text);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        if (match.captured(2) == emptyValue)
            continue;
        result += text.midRef(done, match.capturedStart(2) - done);
        result += emptyValue.isEmpty() ? SecretMask::mask()
                                       : QLatin1Char('"') + SecretMask::mask() + QLatin1Char('"');
        done = match.capturedEnd(2);
    }
    if (done == 0)
        return text;
    return result + text.midRef(done);
}

QJsonValue maskValue(const QString& key, const QJsonValue& value);

QJsonArray maskArray(const QJsonArray& array)
{
    QJsonArray result;
    for (const QJsonValue& value : array)
        result.append(maskValue(QString(), value));
    return result;
}

QJsonValue maskValue(const QString& key, const QJsonValue& value)
{
    if (value.isObject())
        return SecretMask::json(value.toObject());
    if (value.isArray())
        return maskArray(value.toArray());
    if (SecretMask::isSecretKey(key) && !value.isNull() && value != QJsonValue(QString()))
        return SecretMask::mask();
    if (value.isString())
        return SecretMask::text(value.toString());
    return value;
}

} // namespace

bool SecretMask::isSecretKey(const QString& key)
{
    return key.contains(QLatin1String("password"), Qt::CaseInsensitive)
        || key.endsWith(PinKey, Qt::CaseInsensitive);
}

QString SecretMask::text(const QString& text)
{
    // Cheap test first: most texts hold none.
    if (!text.contains(QLatin1String("password"), Qt::CaseInsensitive)
        && !text.contains(PinKey, Qt::CaseInsensitive) && !text.contains(QLatin1Char('@')))
        return text;
    return replaceGroup(replaceGroup(text, memberPattern(), QStringLiteral("\"\"")), urlPattern(),
                        QString());
}

QByteArray SecretMask::text(const QByteArray& text)
{
    const QByteArray lower = text.toLower();
    if (!text.contains('@') && !lower.contains("password") && !lower.contains("settingspin"))
        return text;
    return SecretMask::text(QString::fromUtf8(text)).toUtf8();
}

QString SecretMask::url(const QUrl& url)
{
    if (url.password().isEmpty())
        return url.toString();
    QUrl masked(url);
    masked.setPassword(mask());
    return masked.toString();
}

QJsonObject SecretMask::json(const QJsonObject& object)
{
    QJsonObject result;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it)
        result.insert(it.key(), maskValue(it.key(), it.value()));
    return result;
}
