#pragma once

#include "Allowance.h"

#include <QString>

// The allowance as the history header and the notifications word it.

// "12/1–12/31": the cycle's first and last day in the chart's short date form.
QString allowanceCycleText(const BillingCycle& cycle);
// "本期 12/1–12/31 已用 12.3 GB / 50.0 GB（24.6%）"
QString allowanceUseText(const AllowanceStatus& status);
// "按当前速度，期末约 40.1 GB"
QString allowanceProjectionText(const AllowanceStatus& status);
// Title and body of the notification for a level (80 or 100).
QString allowanceNoticeTitle(int level);
QString allowanceNoticeBody(const AllowanceStatus& status);
