#pragma once

#include "Allowance.h"
#include "HistorySource.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

class QSettings;

// This cycle's use from the recorded figures: download only or both directions, up to and
// including `today`, which is `dayFraction` through.
AllowanceStatus allowanceCurrent(const HistorySource& source, const AllowanceSettings& allowance,
                                 QDate today, double dayFraction);

// Watches the allowance while the program runs and announces 80 % and 100 % once each per
// cycle, remembering in the settings what it said so a restart does not say it again.
class AllowanceWatcher : public QObject {
    Q_OBJECT
public:
    using Notify = std::function<bool(const QString& title, const QString& body)>;
    AllowanceWatcher(const HistorySource& source, Notify notify, QObject* parent = nullptr);

    // One look: the level announced now, if any.
    std::optional<int> check(QSettings& settings, QDate today, double dayFraction);
    // Looks now and then every interval, with the program's settings and the local time.
    void start(int intervalMs);
    // One look with the program's settings and the local time; also after a settings change.
    void checkNow();

private:
    const HistorySource& m_source;
    Notify m_notify;
    QTimer m_timer;
};
