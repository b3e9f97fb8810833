#include "AppScope.h"
#include "DesktopEntry.h"

#include <gtest/gtest.h>

namespace {

using Ids = std::vector<std::string>;

TEST(AppScope, ReadsEveryLaunchersConventionAndNothingElse) {
    const struct {
        const char* unit;
        Ids ids;
    } rows[] = {
        {"app-gnome-org.example.Fetcher-4242.scope",
         {"org.example.Fetcher", "gnome-org.example.Fetcher"}},
        {"app-org.kde.konsole-8f2b3c.scope", {"org.kde.konsole"}},
        {"app-gnome-firefox\\x2desr-12345.scope", {"firefox-esr", "gnome-firefox-esr"}},
        {"app-flatpak-org.mozilla.firefox-77.scope", {"org.mozilla.firefox"}},
        {"app-gnome-org.gnome.Terminal@3.service",
         {"org.gnome.Terminal", "gnome-org.gnome.Terminal"}},
        {"app-org.gnome.Evolution\\x2dalarm\\x2dnotify.service",
         {"org.gnome.Evolution-alarm-notify"}},
        // An unescaping launcher: both readings stay, so an installed entry can decide.
        {"app-gnome-google-chrome-99.scope", {"google-chrome", "gnome-google-chrome"}},
        {"snap.firefox.firefox-2f5c1d7e-8a40-4b2f-a7e3-3c09e5b8bd2b.scope", {"firefox_firefox"}},
        {"snap.spotify.spotify.2f5c1d7e-8a40-4b2f-a7e3-3c09e5b8bd2b.scope", {"spotify_spotify"}},
        // Malformed, hostile or not an application's unit.
        {"app-4242.scope", {}},
        {"app-gnome-org.example.Fetcher.scope.bak", {}},
        {"app-org.gnome.Terminal.slice", {}},
        {"session-2.scope", {}},
        {"app-gnome-evil\\x2fpath-1.scope", {}},
        {"app-gnome-bad\\x0aname-1.scope", {}},
        {"app-gnome-broken\\x2-1.scope", {}},
        {"snap.firefox-1.scope", {}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(appScopeCandidates(row.unit), row.ids) << row.unit;
}

TEST(AppScope, TakesTheInnermostApplicationOfTheProcessPath) {
    const char* nested = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                         "app-gnome-org.example.Fetcher-4242.scope/sandbox\n";
    EXPECT_EQ(appIdFromCgroup(nested), "org.example.Fetcher");
    // An installed entry decides between the readings.
    EXPECT_EQ(appIdFromCgroup(nested, [](const std::string& id) { return id[0] == 'g'; }),
              "gnome-org.example.Fetcher");
    // A terminal's shell lives in its own scope below the terminal's slice: it is not the terminal.
    EXPECT_EQ(appIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                              "app-org.gnome.Terminal.slice/vte-spawn-1.scope\n"),
              std::nullopt);
    EXPECT_EQ(appIdFromCgroup(""), std::nullopt);
}

TEST(DesktopEntry, PicksTheNameForTheLanguageWithTheUsualFallbacks) {
    const QByteArray text =
        "# comment\n[Desktop Entry]\nType=Application\nName=Example Fetcher\n"
        "Name[zh_CN]=示例下载器\nName[de]=Beispiel\\sLader\nName[sr@latin]=Primer\n"
        "Icon=org.example.Fetcher\n[Desktop Action new]\nName=New Window\n"
        "Name[zh_CN]=新窗口\n";
    const struct {
        const char* locale;
        const char* name;
    } rows[] = {{"zh_CN.UTF-8", "示例下载器"}, {"de_AT.UTF-8@euro", "Beispiel Lader"},
                {"sr_RS@latin", "Primer"},     {"C", "Example Fetcher"},
                {"fr_FR", "Example Fetcher"},  {"", "Example Fetcher"}};
    for (const auto& row : rows) {
        const auto entry = desktopEntryParse(text, QString::fromUtf8(row.locale));
        ASSERT_TRUE(entry) << row.locale;
        EXPECT_EQ(entry->name, QString::fromUtf8(row.name)) << row.locale;
        EXPECT_EQ(entry->icon, "org.example.Fetcher");
    }
    for (const QByteArray& bad :
         {QByteArray("[Desktop Entry]\nType=Link\nName=Site\n"),
          QByteArray("[Desktop Entry]\nType=Application\n"),
          QByteArray("Name=Loose\nType=Application\n"), QByteArray("\0\xff\xfe", 3)})
        EXPECT_FALSE(desktopEntryParse(bad, "C")) << bad.constData();
}

TEST(DesktopEntry, FindsEntriesWhereTheBaseDirectoryRulesSay) {
    EXPECT_EQ(desktopDataDirs("", "", "/home/a"),
              (Ids{"/home/a/.local/share", "/usr/local/share", "/usr/share"}));
    EXPECT_EQ(desktopDataDirs("/d/home/", "/x:relative:/y/::/x", "/home/a"),
              (Ids{"/d/home", "/x", "/y"}));
    EXPECT_EQ(desktopEntryRelativePaths("kde4-foo"), (Ids{"kde4-foo.desktop", "kde4/foo.desktop"}));
}

} // namespace
