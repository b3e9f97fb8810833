#pragma once

#include "SettingsKeys.h"

#include <QSettings>

// The program's own settings file, whatever the application object is named.
class AppSettings : public QSettings {
public:
    AppSettings()
        : QSettings(QString::fromLatin1(settingsKeys::organization),
                    QString::fromLatin1(settingsKeys::application)) {}
};
