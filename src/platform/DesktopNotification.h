#pragma once

#include <QString>

// A short message in the desktop's notification area. Fire and forget: a desktop without a
// notification service shows nothing, and that is said once in the log, not to the user.
namespace desktopnotify {

// False when there was no one to send it to; the answer, if any, arrives later.
bool send(const QString& summary, const QString& body);

} // namespace desktopnotify
