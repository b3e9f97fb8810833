#include "LinkCounter.h"

#include <gtest/gtest.h>

namespace {

LinkReading reading(int index, const char* name, std::uint64_t in, std::uint64_t out,
                    bool physical = true) {
    return {.index = index,
            .name = name,
            .attributes = {LinkMedium::Ethernet, false, physical ? "" : "veth", {}},
            .bytes = {in, out}};
}

TEST(LinkCounter, GrowsOnlyByWhatCountedLinksMovedBetweenReadings) {
    std::optional<LinkTable> next;
    LinkCounter counter([&next] { return next; });
    LinkReading lo = reading(1, "lo", 900, 900);
    lo.attributes.medium = LinkMedium::Loopback;

    next = LinkTable{{lo, reading(2, "eth0", 1000, 200), reading(3, "veth0", 50, 50, false)}, true};
    EXPECT_EQ(counter.read(), (NetTotals{1000, 200})) << "starts at the counted links' sum";
    next.reset();
    EXPECT_EQ(counter.read(), std::nullopt);

    // A modem plugged in with large counters of its own joins without a jump; the veth's
    // growth is not counted; eth0's is.
    next = LinkTable{{lo, reading(2, "eth0", 1500, 300), reading(3, "veth0", 9050, 9050, false),
                      reading(4, "wwan0", 70000, 80000)},
                     true};
    EXPECT_EQ(counter.read(), (NetTotals{1500, 300}));

    // The user counts every link: from now on the veth's growth counts, its past does not.
    counter.setChoice({InterfaceChoice::Mode::All, {}});
    next->links[2].bytes.out += 7;
    EXPECT_EQ(counter.read(), (NetTotals{1500, 307}));

    // eth0 goes, wwan0 restarts its counters, and a new link reuses index 2 under another
    // name: nothing drops, nothing jumps; only what moved since counts.
    next = LinkTable{{lo, reading(2, "usb0", 5000, 5000), reading(3, "veth0", 9050, 9057, false),
                      reading(4, "wwan0", 3, 4)},
                     true};
    EXPECT_EQ(counter.read(), (NetTotals{1500, 307}));
    next->links[1].bytes.in += 1;
    next->links[3].bytes.out += 2;
    EXPECT_EQ(counter.read(), (NetTotals{1501, 309}));

    const auto shown = counter.lastLinks(); // the menu's ticks
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_TRUE(!shown[0].counted && shown[2].counted);
}

} // namespace
