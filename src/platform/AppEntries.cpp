#include "AppEntries.h"

#include "AppScope.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPixmap>
#include <map>
#include <memory>

namespace {

constexpr int kIconSize = 16;
// Entries are a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxEntryBytes = 1 << 20;

std::string env(const char* name) {
    return qEnvironmentVariable(name).toStdString();
}

} // namespace

AppEntries::AppEntries(QStringList dataDirs, QString locale)
    : m_dirs(std::move(dataDirs)), m_locale(std::move(locale)) {}

AppEntries& AppEntries::shared(const QString& locale) {
    static std::map<QString, std::unique_ptr<AppEntries>> byLocale;
    auto& slot = byLocale[locale];
    if (!slot) {
        QStringList dirs;
        for (const std::string& d :
             desktopDataDirs(env("XDG_DATA_HOME"), env("XDG_DATA_DIRS"), env("HOME")))
            dirs << QString::fromStdString(d);
        slot = std::make_unique<AppEntries>(dirs, locale);
    }
    return *slot;
}

std::optional<DesktopEntry> AppEntries::entry(const QString& id) {
    const auto found = m_entries.constFind(id);
    if (found != m_entries.constEnd())
        return *found;
    std::optional<DesktopEntry> entry;
    // A process name with a slash or a space is no ID and never names a file.
    if (desktopIdValid(id.toStdString())) {
        const std::vector<std::string> rels = desktopEntryRelativePaths(id.toStdString());
        bool seen = false;
        for (qsizetype d = 0; d < m_dirs.size() && !seen; ++d) {
            for (std::size_t r = 0; r < rels.size() && !seen; ++r) {
                const QFileInfo info(m_dirs[d] + QStringLiteral("/applications/") +
                                     QString::fromStdString(rels[r]));
                // Never a pipe or device planted under an entry's name: opening one could block.
                QFile file(info.filePath());
                if (!info.isFile() || info.size() > kMaxEntryBytes ||
                    !file.open(QIODevice::ReadOnly))
                    continue;
                // The first file under an ID hides the others, as in the menus.
                seen = true;
                entry = desktopEntryParse(file.readAll(), m_locale);
            }
        }
    }
    return *m_entries.insert(id, entry);
}

QString AppEntries::displayName(const QString& id) {
    const auto e = entry(id);
    return e ? e->name : id;
}

QIcon AppEntries::icon(const QString& id) {
    const auto found = m_icons.constFind(id);
    if (found != m_icons.constEnd())
        return *found;
    QIcon drawn;
    const auto e = entry(id);
    if (e && !e->icon.isEmpty()) {
        const QIcon source = e->icon.startsWith(u'/') ? QIcon(e->icon) : QIcon::fromTheme(e->icon);
        // Drawn now, so painting never goes to the disk.
        const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
        const QPixmap pixmap = source.pixmap(QSize(kIconSize, kIconSize), ratio);
        if (!pixmap.isNull())
            drawn = QIcon(pixmap);
    }
    return *m_icons.insert(id, drawn);
}
