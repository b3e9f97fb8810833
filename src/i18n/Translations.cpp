#include "Translations.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTranslator>
#include <memory>

Q_LOGGING_CATEGORY(lcI18n, "quillfern.i18n")

namespace i18n {

bool wantsEnglish(const QStringList& uiLanguages) {
    // The first language the user named decides; "zh", "zh-CN", "zh-Hans-TW"... are ours.
    for (const QString& lang : uiLanguages) {
        if (lang.isEmpty() || lang == QLatin1String("C") || lang == QLatin1String("POSIX")) {
            continue;
        }
        return !(lang == QLatin1String("zh") || lang.startsWith(QLatin1String("zh-")) ||
                 lang.startsWith(QLatin1String("zh_")));
    }
    return true;
}

bool install(const QStringList& uiLanguages) {
    static std::unique_ptr<QTranslator> english;
    const bool want = wantsEnglish(uiLanguages);
    if (!want) {
        if (english) {
            QCoreApplication::removeTranslator(english.get());
            english.reset();
        }
        return false;
    }
    if (english) {
        return true;
    }
    auto translator = std::make_unique<QTranslator>();
    // Built into the program, so it cannot go missing; say so if it ever does.
    if (!translator->load(QStringLiteral(":/i18n/quillfern_en.qm"))) {
        qCWarning(lcI18n) << "the English translation is missing from the program";
        return false;
    }
    QCoreApplication::installTranslator(translator.get());
    english = std::move(translator);
    return true;
}

} // namespace i18n
