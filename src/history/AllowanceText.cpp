#include "AllowanceText.h"

#include "Formatters.h"

#include <QCoreApplication>
#include <QLocale>

namespace {

QString shortDate(QDate d) {
    return QLocale::c().toString(d, QStringLiteral("M/d"));
}

QString percent(double fraction) {
    return fmtFixed(fraction * 100.0, 1) + QLatin1Char('%');
}

} // namespace

QString allowanceCycleText(const BillingCycle& cycle) {
    return shortDate(cycle.first) + QStringLiteral("–") + shortDate(cycle.last);
}

QString allowanceUseText(const AllowanceStatus& s) {
    return QCoreApplication::translate("Allowance", "本期 %1 已用 %2 / %3（%4）")
        .arg(allowanceCycleText(s.cycle), fmtBytesTraffic(s.used), fmtBytesTraffic(s.limit),
             percent(s.fraction));
}

QString allowanceProjectionText(const AllowanceStatus& s) {
    return QCoreApplication::translate("Allowance", "按当前速度，期末约 %1")
        .arg(fmtBytesTraffic(s.projected));
}

QString allowanceNoticeTitle(int level) {
    return level >= 100 ? QCoreApplication::translate("Allowance", "流量配额已用完")
                        : QCoreApplication::translate("Allowance", "流量配额已用 %1%").arg(level);
}

QString allowanceNoticeBody(const AllowanceStatus& s) {
    return QCoreApplication::translate("Allowance", "本期 %1 已用 %2，配额 %3。")
        .arg(allowanceCycleText(s.cycle), fmtBytesTraffic(s.used), fmtBytesTraffic(s.limit));
}
