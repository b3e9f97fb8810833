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

bool XServer::move(int x, int y) const {
    // --sync waits for the pointer to move, which never happens when it is already there.
    const std::string here = xdo({"getmouselocation", "--shell"}).out;
    return here.rfind("X=" + std::to_string(x) + "\nY=" + std::to_string(y) + "\n", 0) == 0 ||
           xdo({"mousemove", "--sync", std::to_string(x), std::to_string(y)}).exitCode == 0;
}

bool XServer::drag(int fromX, int fromY, int toX, int toY) const {
    constexpr int kSteps = 4;
    if (!move(fromX, fromY) || xdo({"mousedown", "1"}).exitCode != 0)
        return false;
    for (int i = 1; i <= kSteps; ++i)
        if (!move(fromX + (toX - fromX) * i / kSteps, fromY + (toY - fromY) * i / kSteps))
            return false;
    return xdo({"mouseup", "1"}).exitCode == 0;
}

} // namespace qftest
