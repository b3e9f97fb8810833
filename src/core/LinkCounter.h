#pragma once

#include "ByteCounts.h"
#include "NetLinks.h"

#include <functional>
#include <mutex>
#include <optional>

// The counted links' bytes as one pair of ever-growing counters. Summing the links' own
// counters would jump whenever the counted set changes (a USB modem plugged in, a link
// removed, the user's choice): here the total grows only by each counted link's growth since
// the previous reading, so a link that joins, leaves or restarts its counters adds nothing
// that did not pass in between. The first reading starts at the counted links' sum.
class LinkCounter {
public:
    using Reader = std::function<std::optional<LinkTable>()>;

    explicit LinkCounter(Reader reader);

    // Applies from the next reading on.
    void setChoice(InterfaceChoice choice);
    InterfaceChoice choice() const;

    // nullopt when the OS gave no list (or an empty one); nothing changes then.
    std::optional<NetTotals> read();

    struct Shown {
        LinkReading link;
        bool counted = false;
    };
    // The links of the last good reading, and whether each was counted.
    std::vector<Shown> lastLinks() const;

private:
    mutable std::mutex m_mutex;
    Reader m_reader;
    InterfaceChoice m_choice;
    std::optional<NetTotals> m_total;
    LinkTable m_last;
    std::vector<bool> m_lastCounted;
};
