#include "Translations.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTranslator>
#include <memory>

Q_LOGGING_CATEGORY(lcI18n, "quillfern.i18n")

namespace i18n {

namespace {

struct State {
    std::unique_ptr<QTranslator> english;
    QCoreApplication* installedIn = nullptr;
};

State& state() {
    static State s;
    return s;
}

} // namespace

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
    State& s = state();
    QCoreApplication* const app = QCoreApplication::instance();
    if (!wantsEnglish(uiLanguages)) {
        if (s.installedIn && s.installedIn == app) {
            QCoreApplication::removeTranslator(s.english.get());
        }
        s.english.reset();
        s.installedIn = nullptr;
        return false;
    }
    if (!s.english) {
        auto translator = std::make_unique<QTranslator>();
        // Built into the program, so it cannot go missing; say so if it ever does.
        if (!translator->load(QStringLiteral(":/i18n/quillfern_en.qm"))) {
            qCWarning(lcI18n) << "the English translation is missing from the program";
            return false;
        }
        s.english = std::move(translator);
    }
    if (app && s.installedIn != app) {
        QCoreApplication::installTranslator(s.english.get());
        s.installedIn = app;
        QObject::connect(app, &QObject::destroyed, [] { state().installedIn = nullptr; });
    }
    return true;
}

QString desktopLocale() {
    return state().english ? QStringLiteral("en") : QStringLiteral("zh_CN");
}

QString translate(const char* context, const char* source, const char* disambiguation, int n) {
    if (QCoreApplication::instance()) {
        return QCoreApplication::translate(context, source, disambiguation, n);
    }
    QString text;
    if (const State& s = state(); s.english) {
        text = s.english->translate(context, source, disambiguation, n);
    }
    if (text.isEmpty()) {
        text = QString::fromUtf8(source);
    }
    // The application would put in the count; there is none yet.
    if (n >= 0) {
        text.replace(QLatin1String("%n"), QString::number(n));
    }
    return text;
}

} // namespace i18n
