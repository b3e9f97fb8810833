#include "SegmentedControl.h"

#include <QAbstractButton>
#include <gtest/gtest.h>

namespace {

TEST(SegmentedControl, SegmentsSelectionAndAction) {
    SegmentedControl c;
    int calls = 0;
    int seen = -2;
    c.setAction([&](SegmentedControl& s) {
        ++calls;
        seen = s.selectedSegment();
    });
    c.setSegmentCount(3);
    EXPECT_EQ(c.label(7), ""); // out of range: no crash

    // Selecting in code does not run the action; a click does, after the selection moved.
    c.setSelectedSegment(1);
    EXPECT_EQ(calls, 0);
    c.segmentButton(2)->click();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, 2);

    // Indexes outside the segments clear the selection.
    c.setSelectedSegment(3);
    EXPECT_EQ(c.selectedSegment(), -1);

    // Shrinking drops segments from the end, a selected one included.
    c.setSelectedSegment(2);
    c.setSegmentCount(2);
    EXPECT_EQ(c.selectedSegment(), -1);
    c.setSegmentCount(-4);
    EXPECT_EQ(c.segmentCount(), 0);

    // Clearing the action leaves clicks harmless.
    c.setSegmentCount(1);
    c.setAction(nullptr);
    c.segmentButton(0)->click();
    EXPECT_EQ(calls, 1);
}

} // namespace
