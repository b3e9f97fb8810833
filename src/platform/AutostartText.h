#pragma once

#include <QString>

// The texts of the login entries, apart from where they are written, so that both are
// built and tested on every OS.
namespace autostart {

// An XDG autostart desktop entry that starts `program`.
QString desktopEntryText(const QString& program);

// A per-user launch agent (property list) that starts `program` at login.
QString launchAgentText(const QString& program);

} // namespace autostart
