#include "LinkCounter.h"

#include <algorithm>
#include <utility>

LinkCounter::LinkCounter(Reader reader) : m_reader(std::move(reader)) {}

void LinkCounter::setChoice(InterfaceChoice choice) {
    std::lock_guard lock(m_mutex);
    m_choice = std::move(choice);
}

InterfaceChoice LinkCounter::choice() const {
    std::lock_guard lock(m_mutex);
    return m_choice;
}

std::optional<NetTotals> LinkCounter::read() {
    std::lock_guard lock(m_mutex);
    std::optional<LinkTable> table = m_reader();
    if (!table || table->links.empty()) {
        return std::nullopt;
    }
    std::vector<bool> counted = netCountedLinks(*table, m_choice);
    NetTotals total = m_total.value_or(NetTotals{});
    for (std::size_t i = 0; i < table->links.size(); ++i) {
        if (!counted[i]) {
            continue;
        }
        const LinkReading& now = table->links[i];
        if (!m_total) {
            total += now.bytes;
            continue;
        }
        // A link is the same one as before only under the same index and name.
        const auto before =
            std::find_if(m_last.links.begin(), m_last.links.end(), [&now](const LinkReading& l) {
                return l.index == now.index && l.name == now.name;
            });
        if (before == m_last.links.end()) {
            continue; // new here: its counters so far passed before it was watched
        }
        total += growthSince(now.bytes, before->bytes);
    }
    m_total = total;
    m_last = std::move(*table);
    m_lastCounted = std::move(counted);
    return total;
}

std::vector<LinkCounter::Shown> LinkCounter::lastLinks() const {
    std::lock_guard lock(m_mutex);
    std::vector<Shown> shown;
    shown.reserve(m_last.links.size());
    for (std::size_t i = 0; i < m_last.links.size(); ++i) {
        shown.push_back({m_last.links[i], m_lastCounted[i]});
    }
    return shown;
}
