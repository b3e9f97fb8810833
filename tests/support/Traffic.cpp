#include "Traffic.h"

#include <cstdlib>

namespace qftest {

// Built beside this library (tests/support/CMakeLists.txt).
static const fs::path kGenerator = buildDir() / "tests/support/qf-traffic";

TrafficServer::TrafficServer(const std::string& netns, const std::string& address,
                             const fs::path& logFile)
    : m_log(logFile) {
    m_child = std::make_unique<Child>(ChildOptions{.argv = {kGenerator.string(), "serve", address},
                                                   .netns = netns,
                                                   .pipeStdout = true,
                                                   .logFile = logFile});
    const auto line = m_child->readLine(60s);
    if (line && line->rfind("listening ", 0) == 0)
        m_port = static_cast<std::uint16_t>(std::atoi(line->c_str() + 10));
}

TrafficClient::TrafficClient(const std::string& netns, const std::string& name,
                             const std::vector<Target>& targets, std::uint64_t up,
                             std::uint64_t down, const fs::path& logFile)
    : m_moved(up * targets.size(), down * targets.size()) {
    ChildOptions o{
        .argv = {kGenerator.string(), "client", name, std::to_string(up), std::to_string(down)},
        .netns = netns,
        .pipeStdin = true,
        .pipeStdout = true,
        .logFile = logFile};
    for (const auto& t : targets) {
        o.argv.push_back(t.address);
        o.argv.push_back(std::to_string(t.port));
    }
    m_child = std::make_unique<Child>(std::move(o));
    m_connected = m_child->readLine(60s) == std::optional<std::string>("connected");
}

} // namespace qftest
