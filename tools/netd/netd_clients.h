#pragma once

// Who the counting service lets in and how it takes turns between them, without sockets: the
// serving loop asks these what to do and does the reading and writing itself.

#include "netd_core.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qfnetd {

// Connection slots. Root always has its own; every other user has a few, a block of ids (a
// range of subordinate ids, as rootless containers hold) has a few more, and the last slots
// are kept for users that hold none, so each user's widget still gets in when others crowd.
class Admission {
public:
    struct Limits {
        std::size_t total = 64; // for everyone but root
        std::size_t perUser = 8;
        std::size_t perRange = 16;
        std::size_t reserve = 16; // only for a user holding no slot
    };
    Admission() = default;
    explicit Admission(const Limits& limits) : m_limits(limits) {}

    // Takes a slot for uid when one may be had.
    bool admit(std::uint32_t uid);
    void release(std::uint32_t uid);

    // Ids below this are people and system accounts, each its own range; above, ids come in
    // blocks of this many, the size of a subordinate range.
    static constexpr std::uint32_t kRangeSize = 65536;
    static std::uint32_t rangeOf(std::uint32_t uid);

private:
    Limits m_limits;
    std::map<std::uint32_t, std::size_t> m_byUser, m_byRange;
    std::size_t m_held = 0; // by users other than root
};

// One client's conversation. A request is read only once the answer to the one before has
// been written out, and one request is answered per turn, so a client that keeps asking gets
// no more than any other and what waits for it never grows past one answer.
class Session {
public:
    // An answer not taken within this time is that of a client that does not read.
    static constexpr std::uint64_t kWriteDeadlineNs = 2'000'000'000;
    // A client that asks nothing for this long is let go.
    static constexpr std::uint64_t kIdleNs = 10'000'000'000;

    Session(std::uint32_t uid, std::uint64_t nowNs) : m_uid(uid), m_activeNs(nowNs) {}
    std::uint32_t uid() const { return m_uid; }

    // How many bytes may be read now: none while an answer waits or a request is pending.
    std::size_t readRoom() const;
    void received(std::string_view bytes, std::uint64_t nowNs);
    // The peer closed its side: pending answers are still written, nothing more is read.
    void peerClosed() { m_peerClosed = true; }

    // The next whole request, only while no answer waits. A line longer than a request can be
    // comes back once, to be refused; the client is let go once told so.
    std::optional<std::string> takeRequest();

    void setAnswer(std::shared_ptr<const std::string> answer, std::uint64_t nowNs);
    std::string_view pending() const;
    void sent(std::size_t n);

    // Whether the service is done with this client.
    bool finished(std::uint64_t nowNs) const;
    // When finished() may next turn true on its own.
    std::uint64_t deadlineNs() const;

private:
    std::uint32_t m_uid;
    std::uint64_t m_activeNs;
    std::uint64_t m_answeredNs = 0;
    std::string m_in;
    std::shared_ptr<const std::string> m_out; // shared with the other clients of its user
    std::size_t m_outDone = 0;
    bool m_peerClosed = false;
    bool m_tooLong = false;
};

} // namespace qfnetd
