#pragma once

#include <QString>

// Starting the program when the user logs in (XDG autostart on Linux).
namespace autostart {

// Where the user's autostart entry for the program lives.
QString entryPath();
// Whether that entry exists and is not switched off ("Hidden=true").
bool isEnabled();
// Writes the entry to start `program`, or removes it. True on success.
bool setEnabled(bool enabled, const QString& program);

} // namespace autostart
