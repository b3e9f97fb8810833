#include "netd_metrics.h"

#include <charconv>
#include <initializer_list>
#include <utility>

namespace qfnetd {

namespace {

using Label = std::pair<std::string_view, std::string_view>;

// Families one after the other, each with its help and type lines. OpenMetrics names a
// counter's family without the _total its samples carry; the 0.0.4 format names the samples.
class Exposition {
public:
    explicit Exposition(MetricsFormat f) : m_openMetrics(f == MetricsFormat::OpenMetrics100) {}

    void family(std::string_view base, bool counter, std::string_view help) {
        m_sample.assign(base);
        if (counter)
            m_sample += "_total";
        const std::string_view named = m_openMetrics ? base : std::string_view(m_sample);
        m_out.append("# HELP ").append(named).append(" ").append(help).append("\n");
        m_out.append("# TYPE ").append(named).append(counter ? " counter\n" : " gauge\n");
    }

    void sample(std::initializer_list<Label> labels, std::string_view value) {
        m_out += m_sample;
        char sep = '{';
        for (const auto& [name, v] : labels) {
            m_out.append(1, sep).append(name).append("=\"").append(escapeLabel(v)).append("\"");
            sep = ',';
        }
        if (labels.size() != 0)
            m_out += '}';
        m_out.append(" ").append(value).append("\n");
    }
    void sample(std::initializer_list<Label> labels, std::uint64_t value) {
        sample(labels, std::to_string(value));
    }

    std::string finish() {
        if (m_openMetrics)
            m_out += "# EOF\n";
        return std::move(m_out);
    }

private:
    bool m_openMetrics;
    std::string m_out;
    std::string m_sample;
};

std::string number(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : "NaN";
}

} // namespace

MetricsFormat formatFor(std::string_view acceptHeader) {
    return acceptHeader.find("application/openmetrics-text") != std::string_view::npos
               ? MetricsFormat::OpenMetrics100
               : MetricsFormat::Prometheus004;
}

std::string_view contentType(MetricsFormat f) {
    return f == MetricsFormat::OpenMetrics100
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

std::string escapeLabel(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string renderMetrics(const MetricsSnapshot& s, MetricsFormat f,
                          std::optional<double> previousScrapeSeconds) {
    Exposition e(f);
    for (const bool rx : {true, false}) {
        e.family(rx ? "quillfern_app_receive_bytes" : "quillfern_app_transmit_bytes", true,
                 rx ? "Bytes received by a user's processes of one name (IP lengths)"
                    : "Bytes sent by a user's processes of one name (IP lengths)");
        for (const auto& a : s.apps)
            e.sample({{"app", a.app}, {"user", a.user}}, rx ? a.bytes.in : a.bytes.out);
    }
    e.family("quillfern_unattributed_receive_bytes", true,
             "Bytes received by sockets whose process could not be found");
    e.sample({}, s.unattributed.in);
    e.family("quillfern_unattributed_transmit_bytes", true,
             "Bytes sent by sockets whose process could not be found");
    e.sample({}, s.unattributed.out);
    for (const bool rx : {true, false}) {
        e.family(rx ? "quillfern_link_receive_bytes" : "quillfern_link_transmit_bytes", true,
                 rx ? "The kernel's received-bytes counter of a link"
                    : "The kernel's sent-bytes counter of a link");
        for (const auto& l : s.links)
            e.sample({{"link", l.name},
                      {"class", l.physical ? "physical" : "virtual"},
                      {"counted", l.counted ? "true" : "false"}},
                     rx ? l.bytes.in : l.bytes.out);
    }
    e.family("quillfern_tracked_sockets", false, "Sockets in the kernel table");
    e.sample({}, s.trackedSockets);
    e.family("quillfern_evicted_sockets", true,
             "Sockets pushed out of the full kernel table before they were read");
    e.sample({}, s.evictedSockets);
    e.family("quillfern_lost_packets", true, "Packets of sockets the kernel table had no room for");
    e.sample({}, s.lostPackets);
    e.family("quillfern_uninspected_sockets", true,
             "Sockets whose process was gone or unreadable when looked up");
    e.sample({}, s.uninspectedSockets);
    e.family("quillfern_app_folded_processes", true,
             "Processes counted under the application other: their user had too many names");
    e.sample({}, s.foldedApps);
    if (previousScrapeSeconds) {
        e.family("quillfern_scrape_duration_seconds", false,
                 "Time the previous scrape took to render");
        e.sample({}, number(*previousScrapeSeconds));
    }
    return e.finish();
}

} // namespace qfnetd
