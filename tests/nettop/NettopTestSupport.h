#pragma once

// Runs the built per-process tool exactly as the recorder does and reads its output with the
// recorder's own parser.

#include "AppSampling.h"
#include "TestSupport.h"
#include "TrafficRecorder.h"

// The tool's output and exit code, in a namespace and as a user of choice.
inline qftest::RunResult runTool(const std::string& runtimeDir, const std::string& netns = {},
                                 std::optional<uid_t> asUser = std::nullopt,
                                 std::vector<std::string> env = {}) {
    qftest::ChildOptions o;
    o.argv = {qftest::toolPath().string()};
    for (const QString& a : TrafficRecorder::defaultConfig().toolArgs)
        o.argv.push_back(a.toStdString());
    o.netns = netns;
    o.uid = asUser;
    o.gid = asUser;
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
    o.env = std::move(env);
    return qftest::run(std::move(o));
}

inline AppSample recorderReads(const qftest::RunResult& r) {
    AppSample sums;
    for (const ProcessCounters& p : appParseProcesses(QString::fromStdString(r.out)))
        sums[p.name] += p.counters;
    return sums;
}
