#include "NetlinkDump.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace nldump {

namespace {

constexpr int kAttempts = 4;
// The kernel sizes a dump's datagrams after the largest buffer we read with (up to 32 KiB),
// and never smaller than one page or the largest single message: a page-sized buffer spares
// it a large allocation per datagram, and a datagram that does not fit grows the buffer.
constexpr std::size_t kInitialBuffer = 8 * 1024;
constexpr std::size_t kLargestBuffer = 1024 * 1024;

// The errno value of a kernel's negative error code; anything implausible reads as EIO.
int errnoOf(int kernelError) {
    return kernelError < 0 && kernelError > -4096 ? -kernelError : EIO;
}

// Whether a datagram (at least a header long) starts with a reply to this request.
bool isOurs(const unsigned char* data, const Progress& progress) {
    nlmsghdr h{};
    std::memcpy(&h, data, sizeof h);
    return h.nlmsg_seq == progress.seq && h.nlmsg_pid == progress.port;
}

} // namespace

Step feed(const void* data, std::size_t size, std::uint32_t senderPort, Progress& progress,
          const Handler& onReply) {
    if (senderPort != 0) {
        return Step::More; // not the kernel: someone else writing to our port
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t offset = 0;
    while (offset < size) {
        const auto* h = reinterpret_cast<const nlmsghdr*>(bytes + offset);
        if (size - offset < sizeof(nlmsghdr) || h->nlmsg_len < sizeof(nlmsghdr) ||
            h->nlmsg_len > size - offset) {
            progress.error = EIO;
            return Step::Failed;
        }
        const std::size_t length = h->nlmsg_len;
        offset += std::min<std::size_t>(NLMSG_ALIGN(length), size - offset);
        if (h->nlmsg_pid != progress.port || h->nlmsg_seq != progress.seq) {
            progress.foreign = true; // an announcement, or left over from an earlier request
            continue;
        }
        if ((h->nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
            progress.interrupted = true;
        }
        if (h->nlmsg_type == NLMSG_DONE) {
            // Newer kernels put the dump's own error in its last message.
            int error = 0;
            if (length >= NLMSG_LENGTH(sizeof error)) {
                std::memcpy(&error, NLMSG_DATA(h), sizeof error);
            }
            if (error < 0) {
                progress.error = errnoOf(error);
                return Step::Failed;
            }
            return Step::Done;
        }
        if (h->nlmsg_type == NLMSG_ERROR) {
            nlmsgerr e{};
            if (length < NLMSG_LENGTH(sizeof e)) {
                progress.error = EIO;
                return Step::Failed;
            }
            std::memcpy(&e, NLMSG_DATA(h), sizeof e);
            if (e.error == 0) {
                continue; // an acknowledgement, not an answer
            }
            progress.error = errnoOf(e.error);
            return Step::Failed;
        }
        if (h->nlmsg_type == NLMSG_NOOP) {
            continue;
        }
        if (h->nlmsg_type == NLMSG_OVERRUN) {
            progress.error = ENOBUFS;
            return Step::Failed;
        }
        onReply(*h);
    }
    return Step::More;
}

std::vector<unsigned char> makeRequest(std::uint16_t type, const void* body, std::size_t size) {
    std::vector<unsigned char> request(NLMSG_SPACE(size), 0);
    auto* h = reinterpret_cast<nlmsghdr*>(request.data());
    h->nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(size));
    h->nlmsg_type = type;
    if (size != 0) {
        std::memcpy(NLMSG_DATA(h), body, size);
    }
    request.resize(NLMSG_ALIGN(h->nlmsg_len));
    return request;
}

void appendAttribute(std::vector<unsigned char>& request, std::uint16_t type, const void* data,
                     std::size_t size) {
    const std::size_t at = request.size();
    const nlattr header{static_cast<std::uint16_t>(NLA_HDRLEN + size), type};
    request.resize(at + NLA_ALIGN(NLA_HDRLEN + size), 0);
    std::memcpy(request.data() + at, &header, sizeof header);
    if (size != 0) {
        std::memcpy(request.data() + at + NLA_HDRLEN, data, size);
    }
    auto* h = reinterpret_cast<nlmsghdr*>(request.data());
    h->nlmsg_len = static_cast<std::uint32_t>(request.size());
}

Socket::Socket(int protocol, std::uint32_t groups) : m_protocol(protocol), m_groups(groups) {
    open();
}

bool Socket::takeAnnouncements() {
    const bool announced = m_announced || !m_listening;
    m_announced = false;
    return announced;
}

void Socket::drainAnnouncements() {
    if (m_fd < 0) {
        m_announced = true;
        return;
    }
    for (;;) {
        const ssize_t n = ::recv(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n > 0 || (n < 0 && errno == ENOBUFS)) {
            m_announced = true;
        } else if (!(n < 0 && errno == EINTR)) {
            return;
        }
    }
}

Socket::~Socket() {
    close();
}

void Socket::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool Socket::open() {
    close();
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, m_protocol);
    if (m_fd < 0) {
        return false;
    }
    // A kernel that never answers must not hold the caller for ever.
    const timeval limit{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (m_buffer.size() < kInitialBuffer) {
        m_buffer.resize(kInitialBuffer);
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = m_groups;
    m_listening =
        m_groups != 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    // Whatever happened before this socket listened is unknown to it.
    m_announced = true;
    local.nl_groups = 0;
    socklen_t localLength = sizeof local;
    if ((!m_listening && ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        const int saved = errno;
        close();
        errno = saved;
        return false;
    }
    m_port = local.nl_pid;
    return true;
}

bool Socket::dump(std::vector<unsigned char> request, const Handler& onReply,
                  const std::function<void()>& onRestart) {
    if (request.size() < sizeof(nlmsghdr)) {
        errno = EINVAL;
        return false;
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0 && onRestart) {
            onRestart();
        }
        if (m_fd < 0 && !open()) {
            return false;
        }
        switch (dumpOnce(request, onReply)) {
        case Attempt::Ok:
            return true;
        case Attempt::Failed:
            return false;
        case Attempt::Retry:
            break;
        }
    }
    errno = EAGAIN;
    return false;
}

Socket::Attempt Socket::dumpOnce(std::vector<unsigned char>& request, const Handler& onReply) {
    auto* h = reinterpret_cast<nlmsghdr*>(request.data());
    h->nlmsg_len = static_cast<std::uint32_t>(request.size());
    h->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    h->nlmsg_seq = ++m_seq;
    h->nlmsg_pid = 0;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        const int saved = errno;
        close();
        errno = saved;
        return Attempt::Failed;
    }
    Progress progress;
    progress.seq = m_seq;
    progress.port = m_port;
    for (;;) {
        sockaddr_nl from{};
        iovec iov{m_buffer.data(), m_buffer.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(m_fd, &msg, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == ENOBUFS) {
            // The socket overflowed and lost part of the answer; a fresh socket starts clean.
            close();
            return Attempt::Retry;
        }
        if (n <= 0) {
            const int saved = n == 0 ? EIO : errno;
            close();
            errno = saved;
            return Attempt::Failed;
        }
        if ((msg.msg_flags & MSG_TRUNC) != 0 && !isOurs(m_buffer.data(), progress)) {
            m_announced = true; // a long announcement; it only tells that something changed
            continue;
        }
        if ((msg.msg_flags & MSG_TRUNC) != 0) {
            // The rest of that datagram is gone. The kernel refuses a new dump while this one
            // runs, so ask again on a fresh socket with room for the largest datagram.
            close();
            if (m_buffer.size() >= kLargestBuffer) {
                errno = EMSGSIZE;
                return Attempt::Failed;
            }
            m_buffer.resize(m_buffer.size() * 2);
            return Attempt::Retry;
        }
        const Step step =
            feed(m_buffer.data(), static_cast<std::size_t>(n), from.nl_pid, progress, onReply);
        m_announced = m_announced || progress.foreign;
        switch (step) {
        case Step::More:
            continue;
        case Step::Done:
            return progress.interrupted ? Attempt::Retry : Attempt::Ok;
        case Step::Failed:
            errno = progress.error;
            if (progress.error == EIO || progress.error == ENOBUFS) {
                close(); // what else is queued on this socket cannot be trusted
            }
            return Attempt::Failed;
        }
    }
}

} // namespace nldump
