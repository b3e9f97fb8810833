#include "AppSampling.h"

#include <QHash>
#include <QStringView>
#include <algorithm>
#include <vector>

namespace {

// Decimal digits with an optional sign; anything else, a negative value or more than 64 bits
// reads as 0.
std::uint64_t parseCount(const QChar* begin, const QChar* end) {
    if (begin == end)
        return 0;
    bool negative = false;
    if (begin->unicode() == u'+' || begin->unicode() == u'-') {
        negative = begin->unicode() == u'-';
        ++begin;
        if (begin == end)
            return 0;
    }
    std::uint64_t value = 0;
    for (; begin != end; ++begin) {
        const char16_t c = begin->unicode();
        if (c < u'0' || c > u'9')
            return 0;
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - u'0'), &value))
            return 0;
    }
    return negative ? 0 : value;
}

} // namespace

ProcessSample appParseProcesses(const QString& output) {
    ProcessSample sample;
    const QChar* p = output.constData();
    const QChar* const end = p + output.size();
    for (;;) {
        const QChar* const lineEnd = std::find(p, end, u'\n');
        // The first six fields are all the line tells us; field 5 ends at the sixth comma.
        const QChar* commas[6];
        int found = 0;
        for (const QChar* q = p; q != lineEnd && found < 6; ++q) {
            if (q->unicode() == u',')
                commas[found++] = q;
        }
        if (found >= 5) {
            const QChar* fieldEnd5 = found == 6 ? commas[5] : lineEnd;
            const QStringView field1(commas[0] + 1, commas[1]);
            const qsizetype dot = field1.lastIndexOf(u'.');
            if (dot > 0) {
                sample.push_back(
                    {field1.left(dot).toString(),
                     {parseCount(commas[3] + 1, commas[4]), parseCount(commas[4] + 1, fieldEnd5)},
                     field1.mid(dot + 1).toString()});
            }
        }
        if (lineEnd == end)
            break;
        p = lineEnd + 1;
    }
    return sample;
}

AppSampleStep appSampleStep(const std::optional<ProcessSample>& reference,
                            const std::optional<ProcessSample>& run) {
    AppSampleStep step;
    if (!run)
        return step;
    step.reference = run;
    if (!reference)
        return step;

    // One identifier can carry several lines (the tool may list a user's uninspectable
    // sockets under the user id, which may equal a process id).
    QHash<QStringView, std::vector<std::size_t>> byId;
    byId.reserve(static_cast<qsizetype>(reference->size()));
    for (std::size_t i = 0; i < reference->size(); ++i)
        byId[QStringView((*reference)[i].id)].push_back(i);
    std::vector<bool> taken(reference->size(), false);
    constexpr std::size_t kNone = SIZE_MAX;
    std::vector<std::size_t> match(run->size(), kNone);

    const auto claim = [&](std::size_t line, bool sameName) {
        const auto it = byId.constFind(QStringView((*run)[line].id));
        if (it == byId.cend())
            return;
        for (std::size_t i : *it) {
            if (!taken[i] && (!sameName || (*reference)[i].name == (*run)[line].name)) {
                taken[i] = true;
                match[line] = i;
                return;
            }
        }
    };
    // Same identifier and name first, so a rename cannot steal another line's reference.
    for (std::size_t line = 0; line < run->size(); ++line)
        claim(line, true);
    for (std::size_t line = 0; line < run->size(); ++line) {
        if (match[line] == kNone)
            claim(line, false);
    }

    for (std::size_t line = 0; line < run->size(); ++line) {
        const ByteCounts now = (*run)[line].counters;
        ByteCounts grown = now;
        if (match[line] != kNone) {
            const ByteCounts before = (*reference)[match[line]].counters;
            // A count can only fall when another process took over the identifier.
            if (now.in >= before.in && now.out >= before.out)
                grown = growthSince(now, before);
        }
        if (!grown.isZero())
            step.growth[(*run)[line].name] += grown;
    }
    return step;
}
