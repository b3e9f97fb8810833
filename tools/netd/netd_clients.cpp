#include "netd_clients.h"

#include <utility>

namespace qfnetd {

std::uint32_t Admission::rangeOf(std::uint32_t uid) {
    return uid < kRangeSize ? uid : kRangeSize + uid / kRangeSize;
}

bool Admission::admit(std::uint32_t uid) {
    std::size_t& mine = m_byUser[uid];
    if (mine >= m_limits.perUser)
        return false;
    if (uid != 0) {
        std::size_t& range = m_byRange[rangeOf(uid)];
        const bool general = m_held + m_limits.reserve < m_limits.total;
        const bool reserved = mine == 0 && m_held < m_limits.total;
        if (range >= m_limits.perRange || !(general || reserved))
            return false;
        ++range;
        ++m_held;
    }
    ++mine;
    return true;
}

void Admission::release(std::uint32_t uid) {
    const auto drop = [](std::map<std::uint32_t, std::size_t>& m, std::uint32_t key) {
        const auto it = m.find(key);
        if (it != m.end() && --it->second == 0)
            m.erase(it);
    };
    drop(m_byUser, uid);
    if (uid != 0) {
        drop(m_byRange, rangeOf(uid));
        --m_held;
    }
}

std::size_t Session::readRoom() const {
    if (m_out || m_peerClosed || m_tooLong || m_in.find('\n') != std::string::npos)
        return 0;
    // One byte past the longest request tells a line that is too long.
    return kMaxRequestLine + 1 - m_in.size();
}

void Session::received(std::string_view bytes, std::uint64_t nowNs) {
    m_in.append(bytes);
    m_activeNs = nowNs;
}

std::optional<std::string> Session::takeRequest() {
    if (m_out || m_tooLong)
        return std::nullopt;
    const std::size_t nl = m_in.find('\n');
    if (nl == std::string::npos && m_in.size() <= kMaxRequestLine)
        return std::nullopt;
    if (nl == std::string::npos || nl > kMaxRequestLine) {
        // Answered once as too long; nothing after it is read.
        m_tooLong = true;
        return std::exchange(m_in, {});
    }
    std::string line = m_in.substr(0, nl);
    m_in.erase(0, nl + 1);
    return line;
}

void Session::setAnswer(std::shared_ptr<const std::string> answer, std::uint64_t nowNs) {
    m_out = std::move(answer);
    m_outDone = 0;
    m_answeredNs = nowNs;
    if (m_out && m_out->empty())
        m_out.reset();
}

std::string_view Session::pending() const {
    return m_out ? std::string_view(*m_out).substr(m_outDone) : std::string_view{};
}

void Session::sent(std::size_t n) {
    m_outDone += n;
    if (m_out && m_outDone >= m_out->size()) {
        m_out.reset(); // the last client of an old answer lets it go
        m_outDone = 0;
    }
}

bool Session::finished(std::uint64_t nowNs) const {
    if (m_out)
        return nowNs >= m_answeredNs + kWriteDeadlineNs;
    const bool waiting = m_in.find('\n') != std::string::npos;
    return m_tooLong || (m_peerClosed && !waiting) || nowNs >= m_activeNs + kIdleNs;
}

std::uint64_t Session::deadlineNs() const {
    return m_out ? m_answeredNs + kWriteDeadlineNs : m_activeNs + kIdleNs;
}

} // namespace qfnetd
