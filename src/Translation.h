#pragma once

#include <QString>
#include <QTranslator>

// The interface's one translation (Greek), used for every language but English.
class Translation
{
public:
    // Makes the language the application's own; false, and logged, when it cannot.
    bool apply(const QString& language);

private:
    QTranslator m_translator;
};
