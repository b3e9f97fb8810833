#pragma once

#include <QLocale>
#include <QStringList>

// The program speaks Chinese, its own language, to a Chinese locale and English to every
// other. Numbers are formatted without the locale either way.
namespace i18n {

// Whether the user's preferred languages, most preferred first, call for English.
bool wantsEnglish(const QStringList& uiLanguages);

// Loads (or drops) the English translation for those languages and installs it on the
// running application, or on the next one once install() is called again with it alive.
// Returns whether English is now in use.
bool install(const QStringList& uiLanguages = QLocale::system().uiLanguages());

// A text in the chosen language, as QCoreApplication::translate gives it, also before any
// application object exists (the command line decides about the display before Qt may
// open one, and the commands that need no display run without one).
QString translate(const char* context, const char* source, const char* disambiguation = nullptr,
                  int n = -1);

// The POSIX locale that picks a desktop entry's translated name to match the interface's
// language as install() last chose it.
QString desktopLocale();

} // namespace i18n
