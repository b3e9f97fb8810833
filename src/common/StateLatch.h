#pragma once

#include <string>
#include <string_view>

// What one concern (saving, reading the counters, running the tool) last said about itself,
// so that a failure is said once, again only when it changes, and its end is said too.
// A problem is any non-empty text; empty means all is well.
class StateLatch {
public:
    enum class Say {
        Nothing,   // same as last time, or well from the start
        Problem,   // a new problem, or a different one
        Recovered, // well again after a problem
    };

    Say update(std::string_view problem) {
        if (problem == m_problem) {
            return Say::Nothing;
        }
        const bool recovered = problem.empty();
        m_problem = problem;
        return recovered ? Say::Recovered : Say::Problem;
    }

    bool failing() const { return !m_problem.empty(); }

private:
    std::string m_problem;
};
