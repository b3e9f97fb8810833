#pragma once

#include <QLoggingCategory>

// One category per concern, so that QT_LOGGING_RULES can quieten or detail each on its own.
Q_DECLARE_LOGGING_CATEGORY(lcStore)    // saving and loading the traffic history
Q_DECLARE_LOGGING_CATEGORY(lcCounters) // reading the interface counters
Q_DECLARE_LOGGING_CATEGORY(lcTool)     // the per-process traffic tool
Q_DECLARE_LOGGING_CATEGORY(lcInstance) // the one-instance guard
