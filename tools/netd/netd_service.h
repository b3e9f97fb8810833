#pragma once

// The counting service's state: reads the kernel programs' socket table, finds each socket's
// process, keeps the ledger, and answers requests from what the last pass found.

#include "netd_core.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct netd_bpf;

namespace qfnetd {

// Says one line on the service's standard error.
void say(const std::string& s);

class Service {
public:
    Service(netd_bpf* skel, std::size_t maxProcesses) : m_skel(skel), m_ledger(maxProcesses) {}

    // Reads the kernel's table and brings the ledger up to date. Its cost is bounded by the
    // table's size, whatever the ledger holds.
    void pass();
    // The answer to one request line. Every client of a user shares one answer per pass, so a
    // request costs nothing more than handing that answer over.
    std::shared_ptr<const std::string> answer(std::uint32_t uid, std::string_view line);

private:
    std::vector<SocketSample> readTable();
    void resolve(std::vector<SocketSample>& samples);
    void checkLiveness(std::uint64_t nowNs);
    ServiceStats readStats() const;

    netd_bpf* m_skel;
    Ledger m_ledger;
    ServiceStats m_stats;
    std::unordered_map<std::uint64_t, std::shared_ptr<const std::string>> m_answers;
    std::unordered_map<std::uint64_t, int> m_attempts;
    ProcessKey m_livenessCursor;
    std::uint64_t m_folded = 0;
    std::uint64_t m_present = 0;
    std::uint64_t m_lastPassNs = 0;
    bool m_batchWorks = true;
    bool m_diagFailed = false;
};

} // namespace qfnetd
