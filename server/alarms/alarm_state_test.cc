#include "server/alarms/alarm_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace heraldon;

struct Step {
    int32_t event;
    int32_t forced = kNoForcedState;
};

struct Case {
    const char* what;
    int32_t startState;
    std::vector<Step> steps;
    int32_t state;
    int32_t stateBeforeDisable;
};

// Every step happens one second after the one before, starting at t = 1000.
AlarmObject Apply(const Case& c, int resetSmallComment = 0) {
    AlarmObject o;
    o.State = c.startState;
    int64_t t = 1000;
    for (const Step& s : c.steps) UpdateState(o, s.event, s.forced, t++, resetSmallComment);
    return o;
}

TEST(AlarmState, TransitionTable) {
    const Case cases[] = {
        {"active, inactive, acked", 0, {{1}, {0}, {2}}, 0, 0},
        {"active, acked, inactive", 0, {{1}, {2}, {0}}, 0, 0},
        {"active, inactive, active, acked", 0, {{1}, {0}, {1}, {2}}, 2, 0},
        {"acked while normal changes nothing", 0, {{2}}, 0, 0},
        {"inactive while normal changes nothing", 0, {{0}}, 0, 0},
        {"disable while active keeps the state aside", 0, {{1}, {3}}, 4, 1},
        {"process events move the hidden state", 0, {{1}, {3}, {0}}, 4, 3},
        {"acked while disabled moves the hidden state", 0, {{1}, {3}, {2}}, 4, 2},
        {"active while disabled", 0, {{3}, {1}}, 4, 1},
        {"enable restores the hidden state", 0, {{1}, {3}, {0}, {4}}, 3, 3},
        {"disable twice keeps the first hidden state", 0, {{1}, {3}, {3}}, 4, 1},
        {"enable without disable gives the last hidden state (0)", 1, {{4}}, 0, 0},
        {"forced state wins over the event", 0, {{1, 2}}, 2, 0},
        {"forced state on an InActive", 1, {{0, 1}}, 1, 0},
        {"forced disable", 0, {{3, 0}}, 0, 0},
        {"comment changes no state", 1, {{256}}, 1, 0},
        {"unknown type changes no state", 1, {{77}}, 1, 0},
        {"removed object reported inactive stays removed", kStateRemoved, {{0}, {2}}, kStateRemoved, 0},
        {"removed object reported active comes back", kStateRemoved, {{1}}, 1, 0},
        {"removed object disabled", kStateRemoved, {{3}}, 4, kStateRemoved},
    };
    for (const Case& c : cases) {
        AlarmObject o = Apply(c);
        EXPECT_EQ(o.State, c.state) << c.what;
        EXPECT_EQ(o.StateBeforeDisable, c.stateBeforeDisable) << c.what;
    }
}

TEST(AlarmState, TimesOfEachEvent) {
    AlarmObject o;
    UpdateState(o, kEventActive, kNoForcedState, 100, 0);
    EXPECT_EQ(o.ActiveTime, 100);
    EXPECT_EQ(o.LastEventTime, 100);
    UpdateState(o, kEventInActive, kNoForcedState, 200, 0);
    EXPECT_EQ(o.InActiveTime, 200);
    UpdateState(o, kEventActive, kNoForcedState, 300, 0);
    EXPECT_EQ(o.InActiveTime, 0) << "Active clears the inactive time";
    UpdateState(o, kEventAcked, kNoForcedState, 400, 0);
    EXPECT_EQ(o.AckedTime, 400);
    o.DisabledExpireTime = 9999;
    UpdateState(o, kEventDisable, kNoForcedState, 500, 0);
    EXPECT_EQ(o.DisabledTime, 500);
    UpdateState(o, kEventInActive, kNoForcedState, 600, 0);
    UpdateState(o, kEventEnable, kNoForcedState, 700, 0);
    EXPECT_EQ(o.State, kStateNormal);
    EXPECT_EQ(o.InActiveTime, 700) << "an Enable to an inactive state is its inactive time";
    EXPECT_EQ(o.DisabledExpireTime, 0);

    AlarmObject still;
    UpdateState(still, kEventActive, kNoForcedState, 100, 0);
    UpdateState(still, kEventDisable, kNoForcedState, 200, 0);
    UpdateState(still, kEventEnable, kNoForcedState, 300, 0);
    EXPECT_EQ(still.State, kStateActiveUnacked);
    EXPECT_EQ(still.InActiveTime, 0) << "enabled while still active";

    AlarmObject forced;
    UpdateState(forced, kEventActive, 2, 100, 0);
    EXPECT_EQ(forced.ActiveTime, 100);
    EXPECT_EQ(forced.State, kStateActiveAcked);
}

TEST(AlarmState, SmallCommentResetOnActive) {
    struct Case {
        int behaviour;
        int32_t from;
        bool emptied;
    };
    const Case cases[] = {
        {0, kStateNormal, false},         {1, kStateActiveUnacked, true},
        {1, kStateInactiveUnacked, true}, {2, kStateNormal, true},
        {2, kStateActiveAcked, true},     {2, kStateActiveUnacked, false},
        {2, kStateInactiveUnacked, false},
    };
    for (const Case& c : cases) {
        AlarmObject o;
        o.State = c.from;
        SetText(o.SmallComment, "note");
        UpdateState(o, kEventActive, kNoForcedState, 1, c.behaviour);
        EXPECT_EQ(TextOf(o.SmallComment).empty(), c.emptied) << c.behaviour << " from " << c.from;
    }
}

TEST(AlarmState, EventTypeNames) {
    EXPECT_STREQ(EventTypeName(0), "InActive");
    EXPECT_STREQ(EventTypeName(1), "Active");
    EXPECT_STREQ(EventTypeName(2), "Acked");
    EXPECT_STREQ(EventTypeName(3), "Disable");
    EXPECT_STREQ(EventTypeName(4), "Enable");
    EXPECT_STREQ(EventTypeName(256), "Comment");
    EXPECT_STREQ(EventTypeName(-1), "Unknown");
    EXPECT_STREQ(EventTypeName(5), "Unknown");
}

}  // namespace
