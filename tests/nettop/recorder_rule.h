#pragma once

// How the traffic recorder reads the tool's output, restated independently of the tool so the
// tests check the tool against the reader rather than against itself.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qfnettop_test {

struct RecorderLine {
    std::string name;
    std::string pid;
    std::uint64_t in = 0;
    std::uint64_t out = 0;
};

inline std::vector<std::string> splitAll(std::string_view s, char sep) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = s.find(sep, from);
        parts.emplace_back(s.substr(from, at == std::string_view::npos ? s.npos : at - from));
        if (at == std::string_view::npos)
            return parts;
        from = at + 1;
    }
}

inline std::uint64_t recorderCount(const std::string& f) {
    std::size_t i = 0;
    bool negative = false;
    if (i < f.size() && (f[i] == '+' || f[i] == '-'))
        negative = f[i++] == '-';
    if (i == f.size())
        return 0;
    std::uint64_t v = 0;
    for (; i < f.size(); ++i) {
        if (f[i] < '0' || f[i] > '9')
            return 0;
        const std::uint64_t d = static_cast<std::uint64_t>(f[i] - '0');
        if (v > (UINT64_MAX - d) / 10)
            return 0;
        v = v * 10 + d;
    }
    return negative && v != 0 ? 0 : v;
}

// Every line the recorder would take, in order.
inline std::vector<RecorderLine> recorderLines(std::string_view output) {
    std::vector<RecorderLine> lines;
    for (const std::string& line : splitAll(output, '\n')) {
        const auto f = splitAll(line, ',');
        if (f.size() < 6 || f[1].empty())
            continue;
        const std::size_t dot = f[1].rfind('.');
        if (dot == std::string::npos || dot == 0)
            continue;
        lines.push_back(
            {f[1].substr(0, dot), f[1].substr(dot + 1), recorderCount(f[4]), recorderCount(f[5])});
    }
    return lines;
}

} // namespace qfnettop_test
