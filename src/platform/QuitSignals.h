#pragma once

class QCoreApplication;

// Makes SIGTERM, SIGINT and SIGHUP (shutdown, Ctrl-C, logout) end the event loop through
// QCoreApplication::quit(), so everything hooked to aboutToQuit runs as it does for the
// Quit menu item. Call once, after the application object exists.
void installQuitSignalHandlers(QCoreApplication* app);
