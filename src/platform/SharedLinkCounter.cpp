#include "NetCounters.h"

LinkCounter& netSharedCounter() {
    static LinkCounter counter(netReadLinks);
    return counter;
}

std::optional<NetTotals> tryReadNetTotals() {
    return netSharedCounter().read();
}
