// The counting service's metrics endpoint, scraped by a real Prometheus server in the test's
// namespace, and hit with requests meant to hurt it.

#include "netd_fixture.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/resource.h>

using namespace qftest;
using namespace qfnetd_test;

namespace {

constexpr int kPrometheusPort = 9090; // on the loopback of a namespace of the test's own

// Sends `request` to a server on namespace A's loopback and returns what comes back until the
// server closes; "(no end)" when it keeps the connection open past a minute.
std::string exchange(const Rig& rig, int port, const std::string& request) {
    const TempDir dir;
    ChildOptions o;
    o.netns = rig.net.a();
    o.body = [&] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const timeval limit{60, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return 1;
        ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
        std::ofstream out(dir / "answer");
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(s, buf, sizeof buf, 0)) > 0)
            out.write(buf, n);
        out << (n < 0 && errno == EAGAIN ? "(no end)" : "");
        return 0;
    };
    run(std::move(o), 120s);
    return slurp(dir / "answer");
}

std::string get(const Rig& rig, int port, const std::string& target) {
    return exchange(rig, port, "GET " + target + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
}

std::string query(const Rig& rig, const std::string& promql) {
    std::string encoded;
    for (const unsigned char c : promql) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        encoded += std::isalnum(c) ? std::string(1, char(c)) : hex;
    }
    return get(rig, kPrometheusPort, "/api/v1/query?query=" + encoded);
}

// The first number a query answers, 0 when none.
double value(const std::string& answer) {
    std::smatch m;
    return std::regex_search(answer, m, std::regex(R"re("value":\[[0-9.]+,"([^"]+)"\])re"))
               ? std::stod(m[1])
               : 0;
}

// The service started with its endpoint on a free port of namespace A's loopback; 0 if not.
int startWithMetrics(Rig& rig) {
    if (!rig.skip.empty() || !rig.start({"--metrics", "127.0.0.1:0"}))
        return 0;
    const auto at = rig.said.find("metrics on http://127.0.0.1:");
    return at == std::string::npos ? 0 : std::stoi(rig.said.substr(at + 28));
}

} // namespace

TEST(NetdMetrics, PrometheusFindsEachApplicationsBytesAndRunsTheDashboard) {
    Rig rig;
    const std::string prometheus = findProgram("prometheus");
    rig.skip += prometheus.empty() && rig.skip.empty() ? "prometheus is not installed" : "";
    const int port = startWithMetrics(rig);
    if (!rig.skip.empty())
        GTEST_SKIP() << rig.skip;
    ASSERT_NE(port, 0) << rig.fail << rig.said;
    std::ofstream(rig.dir / "prometheus.yml")
        << "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
        << "scrape_configs: [{job_name: quillfern, static_configs: [{targets: ['127.0.0.1:" << port
        << "']}]}]\n";
    Child server({.argv = {prometheus, "--config.file=" + (rig.dir / "prometheus.yml").string(),
                           "--storage.tsdb.path=" + (rig.dir / "tsdb").string(),
                           "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                  .netns = rig.net.a(),
                  .logFile = rig.dir / "prometheus.log"});
    ASSERT_TRUE(waitUntil(
        [&] { return get(rig, kPrometheusPort, "/-/ready").find(" 200 ") != std::string::npos; },
        120s))
        << tail(rig.dir / "prometheus.log");

    TrafficServer tcp(rig.net.b(), NetnsPair::kAddrB);
    ASSERT_TRUE(tcp.ready()) << tcp.why();
    const TrafficClient::Target target{NetnsPair::kAddrB, tcp.port()};
    ASSERT_TRUE(rig.cg.enter());
    TrafficClient steady(rig.net.a(), "qf-steady", {target}, 4u << 20, 8u << 20);
    TrafficClient gone(rig.net.a(), "qf-gone", std::vector(4, target), 2u << 20, 1u << 20);
    ASSERT_TRUE(rig.cg.leave());
    std::map<std::string, double> moved;
    for (auto [c, name] : {std::pair{&steady, "qf-steady"}, {&gone, "qf-gone"}}) {
        const auto r = c->go();
        ASSERT_TRUE(r) << name;
        moved[name] = double(r->first + r->second);
    }
    // Its bytes outlive its sockets and its process.
    ASSERT_TRUE(gone.closeConnections());
    EXPECT_EQ(gone.finish(), 0);
    for (const auto& [app, bytes] : moved) {
        double got = 0;
        const std::string sel = "{app=\"" + app + "\"})";
        EXPECT_TRUE(waitUntil(
            [&] {
                got = value(query(rig, "sum(quillfern_app_receive_bytes_total" + sel +
                                           " + sum(quillfern_app_transmit_bytes_total" + sel));
                return got >= bytes;
            },
            120s))
            << app << ": " << got << " of " << bytes;
        // Headers ride on top of the payload; far more would be somebody else's bytes.
        EXPECT_LE(got, 1.10 * bytes) << app;
    }
    EXPECT_EQ(value(query(rig, "up{job=\"quillfern\"}")), 1.0);

    const std::string dashboard =
        slurp(fs::path(QUILLFERN_SOURCE_DIR) / "docs/grafana-dashboard.json");
    const std::regex expr(R"re("expr": "((?:[^"\\]|\\.)*)")re");
    int queries = 0;
    for (std::sregex_iterator it(dashboard.begin(), dashboard.end(), expr), end; it != end;
         ++it, ++queries) {
        std::string q = std::regex_replace((*it)[1].str(), std::regex(R"(\\(.))"), "$1");
        q = std::regex_replace(q, std::regex(R"(\$__rate_interval)"), "1m");
        q = std::regex_replace(q, std::regex(R"(\$instance)"), ".*");
        const std::string answer = query(rig, q);
        EXPECT_NE(answer.find("\"status\":\"success\""), std::string::npos) << q << answer;
    }
    EXPECT_GE(queries, 10);
}

// Each request is refused or cut off; while a thousand connections are held the service goes
// on counting, and once they go the next scrape is answered.
TEST(NetdMetrics, HostileRequestsStopNeitherTheCountingNorTheNextScrape) {
    Rig rig;
    const int port = startWithMetrics(rig);
    if (!rig.skip.empty())
        GTEST_SKIP() << rig.skip;
    ASSERT_NE(port, 0) << rig.fail << rig.said;
    const std::string huge = "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(1 << 20, 'a');
    for (const auto& [request, want] :
         {std::pair<std::string, std::string>{"GET /admin HTTP/1.0\r\n\r\n", " 404 "},
          {"DELETE /metrics HTTP/1.0\r\n\r\n", " 405 "},
          {huge + "\r\n\r\n", ""},
          {"GET /metrics HTTP/1.1\r\nHost: x\r\n", ""}}) { // never finished
        const std::string answer = exchange(rig, port, request);
        EXPECT_EQ(answer.find(" 200 "), std::string::npos) << request.substr(0, 40);
        EXPECT_EQ(answer.find("(no end)"), std::string::npos) << request.substr(0, 40);
        EXPECT_NE(answer.find(want), std::string::npos) << request.substr(0, 40);
    }

    ChildOptions crowd{.netns = rig.net.a(), .extraFd = 3};
    crowd.body = [port] {
        rlimit fds{};
        ::getrlimit(RLIMIT_NOFILE, &fds);
        fds.rlim_cur = std::min<rlim_t>(fds.rlim_max, 1100);
        ::setrlimit(RLIMIT_NOFILE, &fds);
        for (rlim_t i = 0; i < std::min<rlim_t>(1000, fds.rlim_cur - 20); ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
            ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        return ::write(3, "r\n", 2) == 2 ? ::pause() : 1;
    };
    Child holder(std::move(crowd));
    ASSERT_TRUE(holder.readLine(120s, Child::Stream::Extra));
    ASSERT_TRUE(rig.cg.enter());
    const RunResult sent = run({.body =
                                    [] {
                                        ::prctl(PR_SET_NAME, "qf-during");
                                        for (int i = 0; i < 100; ++i)
                                            sendDatagram(1000);
                                        return 0;
                                    },
                                .netns = rig.net.a()});
    ASSERT_TRUE(rig.cg.leave());
    EXPECT_EQ(sent.exitCode, 0);
    EXPECT_TRUE(rig.ask()) << "the counting service's own socket";
    holder.kill(); // its connections go with it
    const std::string line = "quillfern_app_transmit_bytes_total{app=\"qf-during\",user=\"root\"} ";
    std::string scraped;
    EXPECT_TRUE(waitUntil(
        [&] {
            scraped = get(rig, port, "/metrics");
            const auto at = scraped.find(line);
            return at != std::string::npos && std::stod(scraped.substr(at + line.size())) >= 100000;
        },
        120s))
        << scraped;
}
