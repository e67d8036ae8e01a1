#pragma once
// The language of the localised alert texts.

#include <QString>
#include <QStringList>

namespace vesk {

// The user's ordered language list: LANGUAGE, then LC_ALL, LC_MESSAGES and LANG, as language codes
// ("es_ES.UTF-8" gives "es"); "C" and "POSIX" count as no preference.
QStringList userLanguageList();

// The localisation to use: "English" for en, "Spanish" for es, any other code unchanged;
// "English" when the list is empty.
QString getPreferredLanguage();
QString getPreferredLanguage(const QStringList &languages);

} // namespace vesk
