#pragma once

// One netlink dump loop for every reader of the kernel's tables (links, their counters,
// routes, sockets). Plain C++ and Linux headers, no Qt, so the per-process tool links it too.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct nlmsghdr;

namespace nldump {

// Where the replies to one dump request stand after a datagram.
enum class Step {
    More,   // the dump goes on in later datagrams
    Done,   // NLMSG_DONE seen, no error
    Failed, // an error reply, an error in NLMSG_DONE, or a malformed datagram
};

struct Progress {
    std::uint32_t seq = 0;    // the request's sequence number
    std::uint32_t port = 0;   // our socket's port id; replies for other ports are not ours
    bool interrupted = false; // the table changed during the dump (NLM_F_DUMP_INTR)
    bool foreign = false;     // the kernel sent something else too (an announcement)
    int error = 0;            // errno value when Failed
};

using Handler = std::function<void(const nlmsghdr&)>;

// Walks one received datagram. senderPort is the nl_pid the datagram came from: anything
// not from the kernel (0) is ignored whole. Replies of other requests or other ports are
// skipped; every other reply goes to onReply, whose nlmsg_len is checked to lie inside the
// datagram. Bytes left over after the last whole message make the datagram malformed.
Step feed(const void* data, std::size_t size, std::uint32_t senderPort, Progress& progress,
          const Handler& onReply);

// A request message: header (type set, the rest filled in by Socket::dump) and body.
std::vector<unsigned char> makeRequest(std::uint16_t type, const void* body, std::size_t size);
// Appends one attribute to a request made above.
void appendAttribute(std::vector<unsigned char>& request, std::uint16_t type, const void* data,
                     std::size_t size);

// A netlink socket that runs dumps one after the other.
class Socket {
public:
    // Opens and binds the socket; a socket that fails to open tries again at the next dump.
    // With groups, it also listens to those multicast groups (RTMGRP_LINK, say): what the
    // kernel announces there arrives between the dumps' replies and is only noted.
    explicit Socket(int protocol, std::uint32_t groups = 0);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Sends request (a whole netlink message; its flags get REQUEST|DUMP and its sequence
    // number is set here) and hands each reply to onReply. A dump the kernel marks as
    // interrupted, or whose datagram did not fit the buffer, may be torn: onRestart is
    // called and the dump asked again, a few times at most. False with errno set on
    // failure (EAGAIN when it never ran through whole).
    bool dump(std::vector<unsigned char> request, const Handler& onReply,
              const std::function<void()>& onRestart);

    // True when the kernel announced something on the groups since the last call, or when
    // announcements may have been lost (or the socket could not listen at all).
    bool takeAnnouncements();
    // Reads what the kernel announced without running a dump; never waits.
    void drainAnnouncements();

private:
    enum class Attempt { Ok, Retry, Failed };
    Attempt dumpOnce(std::vector<unsigned char>& request, const Handler& onReply);
    bool open();
    void close();

    int m_protocol = 0;
    std::uint32_t m_groups = 0;
    bool m_listening = false;
    bool m_announced = true;
    int m_fd = -1;
    std::uint32_t m_port = 0;
    std::uint32_t m_seq = 0;
    std::vector<unsigned char> m_buffer;
};

} // namespace nldump
