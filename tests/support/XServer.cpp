#include "XServer.h"

#include <csignal>
#include <cstdio>
#include <sstream>

namespace qftest {

XServer::XServer(const std::string& netns, const fs::path& logFile)
    : m_netns(netns), m_log(logFile) {
    if (findProgram("Xvfb").empty())
        return;
    const std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
    m_child = std::make_unique<Child>(ChildOptions{
        .argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", screen, "-noreset"},
        .netns = netns,
        .extraFd = 3,
        .logFile = logFile});
    // Xvfb writes the number once it accepts clients.
    const auto number = m_child->readLine(60s, Child::Stream::Extra);
    if (number && !number->empty())
        m_display = ":" + *number;
}

XServer::~XServer() {
    if (m_child) {
        m_child->signal(SIGTERM);
        m_child->waitExit();
    }
}

std::vector<std::string> XServer::search(std::vector<std::string> args) const {
    args.insert(args.begin(), "search");
    std::istringstream in(xdo(std::move(args)).out);
    std::vector<std::string> ids;
    for (std::string id; in >> id;)
        ids.push_back(id);
    return ids;
}

Geometry XServer::geometry(const std::string& window) const {
    Geometry g;
    if (std::sscanf(xdo({"getwindowgeometry", "--shell", window}).out.c_str(),
                    "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g.x, &g.y, &g.width,
                    &g.height) != 4)
        g = {};
    return g;
}

bool XServer::drag(int fromX, int fromY, int toX, int toY) const {
    constexpr int kSteps = 4;
    std::vector<std::string> args = {"mousemove", std::to_string(fromX), std::to_string(fromY),
                                     "mousedown", "1"};
    for (int i = 1; i <= kSteps; ++i)
        args.insert(args.end(), {"mousemove", std::to_string(fromX + (toX - fromX) * i / kSteps),
                                 std::to_string(fromY + (toY - fromY) * i / kSteps)});
    args.insert(args.end(), {"mouseup", "1"});
    return xdo(std::move(args)).exitCode == 0;
}

} // namespace qftest
