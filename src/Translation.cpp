#include "Translation.h"

#include "TaggedLog.h"

#include <QCoreApplication>
#include <QLocale>

namespace {
// Part of the GUI manager: its log lines carry the manager's tag.
const QString Tag_ = QStringLiteral("[GUIManager] ");
const QString TranslationFile = QStringLiteral(":/qml/translations/KVRTTerminalUI_el_GR.qm");
} // namespace

bool Translation::apply(const QString& language)
{
    if (m_translator.isEmpty()) {
        tagged(qInfo(), Tag_) << "Loading translation file : " << TranslationFile;
        if (!m_translator.load(TranslationFile)) {
            tagged(qCritical(), Tag_) << "ERROR: Failed to load translation file";
            return false;
        }
    }
    const QLocale locale(language);
    if (locale.language() == QLocale::English) {
        QCoreApplication::removeTranslator(&m_translator);
    } else if (!QCoreApplication::installTranslator(&m_translator)) {
        tagged(qCritical(), Tag_) << "ERROR: Failed to install translator";
        return false;
    }
    QLocale::setDefault(locale);
    return true;
}
