#include "netd_http.h"

#include <arpa/inet.h>
#include <charconv>
#include <chrono>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>

namespace qfnetd {

namespace {

// A scraper needs one or two connections; these keep a crowd from one address, or a client
// that sends its request a byte at a time, from holding the endpoint.
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kMaxPerAddress = 16;
constexpr unsigned kIdleSeconds = 10;
// The request line and headers must fit in this; a larger request is refused.
constexpr std::size_t kRequestMemory = 16 * 1024;

std::optional<sockaddr_storage> parseAddress(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    const std::string_view port(text.c_str() + colon + 1);
    std::uint16_t p = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size())
        return std::nullopt;
    sockaddr_storage out{};
    const bool v6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(p);
        host = host.substr(1, host.size() - 2);
        if (::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1)
            return std::nullopt;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&out);
        a->sin_family = AF_INET;
        a->sin_port = htons(p);
        if (::inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1)
            return std::nullopt;
    }
    return out;
}

std::string describe(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
}

MHD_Result reply(MHD_Connection* c, unsigned status, std::string body, std::string_view type) {
    auto* owned = new std::string(std::move(body));
    MHD_Response* r = MHD_create_response_from_buffer_with_free_callback_cls(
        owned->size(), owned->data(), [](void* p) { delete static_cast<std::string*>(p); }, owned);
    if (!r) {
        delete owned;
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, std::string(type).c_str());
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Result handle(void* self, MHD_Connection* c, const char* url, const char* method, const char*,
                  const char*, std::size_t*, void**) {
    constexpr std::string_view kText = "text/plain; charset=utf-8";
    if (std::strcmp(url, "/metrics") != 0)
        return reply(c, MHD_HTTP_NOT_FOUND, "only /metrics is served here\n", kText);
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
        return reply(c, MHD_HTTP_METHOD_NOT_ALLOWED, "GET /metrics\n", kText);
    const char* accept = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Accept");
    const MetricsFormat f = formatFor(accept ? accept : "");
    return reply(c, MHD_HTTP_OK, static_cast<MetricsEndpoint*>(self)->scrape(f), contentType(f));
}

} // namespace

MetricsEndpoint::MetricsEndpoint(const std::string& address) {
    const auto addr = parseAddress(address);
    if (!addr) {
        m_why = "not an address: " + address + " (HOST:PORT, or [IPv6]:PORT)";
        return;
    }
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
    if (addr->ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &handle, this, MHD_OPTION_SOCK_ADDR,
                                &*addr, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
                                MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress,
                                MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
                                MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestMemory, MHD_OPTION_END);
    if (!m_daemon) {
        m_why = std::string("cannot listen on ") + address + ": " + std::strerror(errno);
        return;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_LISTEN_FD);
    sockaddr_storage got{};
    socklen_t len = sizeof got;
    if (info && ::getsockname(info->listen_fd, reinterpret_cast<sockaddr*>(&got), &len) == 0)
        m_bound = describe(got);
    else
        m_bound = address;
}

MetricsEndpoint::~MetricsEndpoint() {
    if (m_daemon)
        MHD_stop_daemon(m_daemon);
}

void MetricsEndpoint::publish(std::shared_ptr<const MetricsSnapshot> snapshot) {
    const std::lock_guard lock(m_mutex);
    m_latest.swap(snapshot);
    // The previous snapshot, should this have been its last holder, goes outside the lock.
}

std::string MetricsEndpoint::scrape(MetricsFormat f) {
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<const MetricsSnapshot> s;
    {
        const std::lock_guard lock(m_mutex);
        s = m_latest;
    }
    static const MetricsSnapshot empty;
    const std::int64_t last = m_lastScrapeNs.load();
    std::string text = renderMetrics(s ? *s : empty, f,
                                     last < 0 ? std::nullopt : std::optional<double>(last / 1e9));
    m_lastScrapeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
    return text;
}

} // namespace qfnetd
