#pragma once

#include <QLocale>
#include <QStringList>

// The program speaks Chinese, its own language, to a Chinese locale and English to every
// other. Numbers are formatted without the locale either way.
namespace i18n {

// Whether the user's preferred languages, most preferred first, call for English.
bool wantsEnglish(const QStringList& uiLanguages);

// Installs (or takes away) the English translation for those languages on the running
// application. Returns whether English is now in use.
bool install(const QStringList& uiLanguages = QLocale::system().uiLanguages());

} // namespace i18n
