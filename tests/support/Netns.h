#pragma once

// Network namespaces of a test's own, and the byte counters of their interfaces.

#include "Process.h"

#include <cstdint>

namespace qftest {

// Two fresh network namespaces joined by a veth pair, loopbacks up. A holds kAddrA (and
// kAddr6A with ipv6), B the others. Without ipv6, IPv6 is switched off in both so no
// neighbour discovery adds bytes of its own. Needs root and iproute2: check ready() and skip
// with why() otherwise.
class NetnsPair {
public:
    static constexpr const char* kAddrA = "10.213.7.1";
    static constexpr const char* kAddrB = "10.213.7.2";
    static constexpr const char* kAddr6A = "fd13:7::1";
    static constexpr const char* kAddr6B = "fd13:7::2";

    explicit NetnsPair(bool ipv6 = false);
    // Deleting a namespace takes its end of the veth pair with it.
    ~NetnsPair() {
        for (const std::string& ns : {m_a, m_b})
            if (m_added)
                run({"ip", "netns", "del", ns});
    }
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    bool ready() const { return m_ready; }
    const std::string& why() const { return m_why; }
    const std::string& a() const { return m_a; }
    const std::string& b() const { return m_b; }
    const std::string& ifaceA() const { return m_ifA; }
    const std::string& ifaceB() const { return m_ifB; }

private:
    std::string m_a, m_b, m_ifA, m_ifB, m_why;
    bool m_added = false, m_ready = false;
};

// Summed byte counters of a namespace's interfaces other than loopback ("" for this one).
struct Counters {
    std::uint64_t rx = 0;
    std::uint64_t tx = 0;
};
std::optional<Counters> interfaceCounters(const std::string& netns);

} // namespace qftest
