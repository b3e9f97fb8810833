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
    c.setLabel("3/1\n1.0 KB", 0);
    EXPECT_EQ(c.label(7), ""); // out of range: no crash
    EXPECT_EQ(c.segmentWidth(3), 0.0);

    // Selecting in code does not run the action; a click does, after the selection moved.
    c.setSelectedSegment(1);
    EXPECT_EQ(c.selectedSegment(), 1);
    EXPECT_EQ(calls, 0);
    c.segmentButton(2)->click();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, 2);
    EXPECT_FALSE(c.segmentButton(1)->isChecked());

    // Indexes outside the segments clear the selection.
    c.setSelectedSegment(3);
    EXPECT_EQ(c.selectedSegment(), -1);

    // Shrinking drops segments from the end, a selected one included; labels of the rest stay.
    c.setSelectedSegment(2);
    c.setSegmentCount(2);
    EXPECT_EQ(c.selectedSegment(), -1);
    EXPECT_EQ(c.label(0), "3/1\n1.0 KB");
    c.setSegmentCount(-4);
    EXPECT_EQ(c.segmentCount(), 0);
    EXPECT_EQ(c.segmentButton(0), nullptr);

    // Clearing the action leaves clicks harmless.
    c.setSegmentCount(1);
    c.setAction(nullptr);
    c.segmentButton(0)->click();
    EXPECT_EQ(calls, 1);
}

} // namespace
