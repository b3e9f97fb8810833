#include "Logging.h"

// Warnings and above are shown by default; a failure is a warning, its end is info, which
// is shown too (the rules below apply only where the user set none).
Q_LOGGING_CATEGORY(lcStore, "quillfern.store", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCounters, "quillfern.counters", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTool, "quillfern.tool", QtInfoMsg)
Q_LOGGING_CATEGORY(lcInstance, "quillfern.instance", QtInfoMsg)
