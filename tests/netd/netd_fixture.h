#pragma once

// A cgroup of the test's own and the counting service started on it, shared by the service's
// end-to-end test and its benchmark. Needs root, cgroup v2 and BPF; each reports why not.

#include "TestSupport.h"
#include "netd_client.h"
#include "netd_system.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qfnetd_test {

using namespace qftest;

inline const fs::path kService = buildDir() / "tools/netd/quillfern-netd";

// A cgroup of our own under the v2 tree, removed (once empty) on destruction.
class TestCgroup {
public:
    TestCgroup() {
        const std::string root = qfnetd::defaultCgroup();
        if (::geteuid() != 0 || root.empty()) {
            m_why =
                root.empty() ? "no cgroup v2 hierarchy mounted" : "needs root for cgroups and BPF";
            return;
        }
        static int serial = 0;
        m_path = fs::path(root) /
                 ("qf-netd-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        if (::mkdir(m_path.c_str(), 0755) != 0) {
            m_why = "cannot create a cgroup: " + std::string(std::strerror(errno));
            m_path.clear();
        }
        // Where this process started, to go back to.
        std::ifstream in("/proc/self/cgroup");
        m_home = root;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("0::", 0) == 0)
                m_home = fs::path(root) / line.substr(4);
        }
    }
    ~TestCgroup() {
        if (m_path.empty())
            return;
        leave(); // a failed assertion may have left this process inside
        // The kernel lets go of an ended member a little after it has been reaped.
        waitUntil([&] {
            return slurp(m_path / "cgroup.events").find("populated 0") != std::string::npos;
        });
        ::rmdir(m_path.c_str());
    }
    bool ready() const { return !m_path.empty(); }
    const std::string& why() const { return m_why; }
    const fs::path& path() const { return m_path; }
    // Moves this test process in (so the children it starts now are inside) or back out.
    bool enter() { return move(m_path); }
    bool leave() { return move(m_home); }

private:
    static bool move(const fs::path& dir) {
        std::ofstream out(dir / "cgroup.procs");
        out << ::getpid() << std::flush;
        return bool(out);
    }
    fs::path m_path, m_home;
    std::string m_why;
};

// The service in namespace A on the test's cgroup; ready once it says it is answering.
struct Service {
    TempDir dir;
    std::string socket;
    std::unique_ptr<Child> child;
    std::string skipWhy, failWhy;

    Service(const NetnsPair& net, const TestCgroup& cg) {
        socket = (dir / "netd.sock").string();
        ChildOptions o;
        o.argv = {kService.string(), "--cgroup", cg.path().string(), "--socket", socket};
        o.netns = net.a();
        o.pipeStderr = true;
        child = std::make_unique<Child>(std::move(o));
        const auto line = child->readLine(60s, Child::Stream::Stderr);
        if (line && line->find("answering on") != std::string::npos)
            return;
        const std::string said = line.value_or("(nothing)");
        // A kernel or environment without BPF for cgroups is a reason to skip, not a fault.
        if (said.find("cannot load") != std::string::npos ||
            said.find("too old") != std::string::npos)
            skipWhy = "the counting service cannot run here: " + said;
        else
            failWhy = said;
    }
    std::optional<qfnetd::View> ask() const { return qfnetd::askService(socket); }
};

} // namespace qfnetd_test
