// The counting service's metrics endpoint, scraped by a real Prometheus server in the test's
// own namespace, then hit with requests meant to hurt it.

#include "netd_fixture.h"

#include <gtest/gtest.h>
#include <regex>

using namespace qftest;
using namespace qfnetd_test;

namespace {

constexpr std::uint16_t kPrometheusPort = 9090; // on the loopback of the test's namespace

// Sends `request` to a port of namespace A's loopback and returns what comes back until the
// server closes; "(no end)" when it keeps the connection open past a minute.
std::string exchange(const Rig& rig, int port, const std::string& request) {
    const auto body = [&] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const timeval limit{60, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return 1;
        ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(s, buf, sizeof buf, 0)) > 0)
            std::fwrite(buf, 1, std::size_t(n), stdout);
        std::fputs(n < 0 && errno == EAGAIN ? "(no end)" : "", stdout);
        return std::fflush(stdout); // the child ends with _exit
    };
    return run({.body = body, .netns = rig.net.a()}, 120s).out;
}

// Prometheus' answer to a query, and the first number in it (0 when none).
std::pair<std::string, double> query(const Rig& rig, const std::string& promql) {
    std::string target = "GET /api/v1/query?query=";
    for (const unsigned char c : promql) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        target += std::isalnum(c) ? std::string(1, char(c)) : hex;
    }
    const std::string answer = exchange(rig, kPrometheusPort, target + " HTTP/1.0\r\n\r\n");
    std::smatch m;
    const bool found =
        std::regex_search(answer, m, std::regex(R"re("value":\[[0-9.]+,"([^"]+)"\])re"));
    return {answer, found ? std::stod(m[1]) : 0};
}

} // namespace

TEST(NetdMetrics, PrometheusReadsTheCountsAndHostileRequestsHurtNothing) {
    Rig rig;
    const std::string prometheus = findProgram("prometheus");
    rig.skip += prometheus.empty() && rig.skip.empty() ? "prometheus is not installed" : "";
    if (!rig.skip.empty() || (!rig.start({"--metrics", "127.0.0.1:0"}) && !rig.skip.empty()))
        GTEST_SKIP() << rig.skip;
    const auto at = rig.said.find("metrics on http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << rig.fail << rig.said;
    const int port = std::stoi(rig.said.substr(at + 28));
    std::ofstream(rig.dir / "prometheus.yml")
        << "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
        << "scrape_configs: [{job_name: quillfern, static_configs: [{targets: ['127.0.0.1:" << port
        << "']}]}]\n";
    Child server({.argv = {prometheus, "--config.file=" + (rig.dir / "prometheus.yml").string(),
                           "--storage.tsdb.path=" + (rig.dir / "tsdb").string(),
                           "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                  .netns = rig.net.a(),
                  .logFile = rig.dir / "prometheus.log"});

    TrafficServer tcp(rig.net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(tcp.ready()) << tcp.why();
    const TrafficClient::Target target{NetnsPair::kAddrB, tcp.port()};
    ASSERT_TRUE(rig.cg.enter());
    TrafficClient steady(rig.net.a(), "qf-steady", {target}, 4u << 20, 8u << 20);
    ASSERT_TRUE(rig.cg.leave());
    const auto moved = steady.go();
    ASSERT_TRUE(moved);
    // Waits for Prometheus to have at least `bytes` of the application, and returns what it has.
    const auto reached = [&](double bytes) {
        const std::string sel = "{app=\"qf-steady\"})";
        double got = 0;
        EXPECT_TRUE(waitUntil(
            [&] {
                got = query(rig, "sum(quillfern_app_receive_bytes_total" + sel +
                                     " + sum(quillfern_app_transmit_bytes_total" + sel)
                          .second;
                return got >= bytes;
            },
            120s))
            << got << " of " << bytes;
        return got;
    };
    const double bytes = double(moved->first + moved->second);
    EXPECT_LE(reached(bytes), 1.10 * bytes); // headers on top of the payload, nothing more
    EXPECT_EQ(query(rig, "up{job=\"quillfern\"}").second, 1.0);

    const std::string dashboard =
        slurp(fs::path(QUILLFERN_SOURCE_DIR) / "docs/grafana-dashboard.json");
    const std::regex expr(R"re("expr": "((?:[^"\\]|\\.)*)")re");
    int queries = 0;
    for (std::sregex_iterator it(dashboard.begin(), dashboard.end(), expr), end; it != end;
         ++it, ++queries) {
        std::string q = std::regex_replace((*it)[1].str(), std::regex(R"(\\(.))"), "$1");
        q = std::regex_replace(q, std::regex(R"(\$__rate_interval)"), "1m");
        q = std::regex_replace(q, std::regex(R"(\$instance)"), ".*");
        const std::string answer = query(rig, q).first;
        EXPECT_NE(answer.find("\"status\":\"success\""), std::string::npos) << q << answer;
    }
    EXPECT_GE(queries, 10);

    // Each hostile request is refused or cut off, none is answered with the figures.
    const std::string huge = "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(1 << 20, 'a');
    for (const auto& [request, want] :
         {std::pair<std::string, std::string>{"GET /admin HTTP/1.0\r\n\r\n", " 404 "},
          {"DELETE /metrics HTTP/1.0\r\n\r\n", " 405 "},
          {huge + "\r\n\r\n", ""},
          {"GET /metrics HTTP/1.1\r\nHost: x\r\n", ""}}) { // never finished
        const std::string answer = exchange(rig, port, request);
        EXPECT_TRUE(answer.find(" 200 ") == std::string::npos &&
                    answer.find("(no end)") == std::string::npos &&
                    answer.find(want) != std::string::npos)
            << request.substr(0, 40) << answer.substr(0, 200);
    }
    // While a thousand connections (as many as descriptors allow) hold on, the service counts
    // and answers on its socket; once they go, scrapes are answered again.
    const auto hold = [port] {
        sockaddr_in a{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        for (int i = 0; i < 1000; ++i) // past the descriptor limit, socket() fails
            ::connect(::socket(AF_INET, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&a), sizeof a);
        return ::write(3, "r\n", 2) == 2 ? ::pause() : 1;
    };
    Child crowd({.body = hold, .netns = rig.net.a(), .extraFd = 3});
    ASSERT_TRUE(crowd.readLine(120s, Child::Stream::Extra));
    ASSERT_TRUE(steady.go());
    EXPECT_TRUE(rig.ask()) << "the service's own socket";
    crowd.kill();
    reached(2 * bytes);
}
