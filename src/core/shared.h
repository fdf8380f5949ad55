// The homes of what the bridge's threads share, each with its own lock, and the one judged
// reading of the latest record that the robot and the window both hear.
#ifndef SHARED_H
#define SHARED_H

#include "capture.h"
#include "debug_log.h"
#include "events.h"
#include "link_state.h"
#include "measurement_record.h"
#include "robot_protocol.h"
#include "trend_model.h"

struct Shared {
    DebugLog log;
    events::Feed events;
    LinkState link{events};
    measurement::LatestRecord record;
    trend::TrendModel trend;
    capture::Recorder capture;
};

// What a joint data reply carries now; the window's "Measure Error" shows the same.
struct JointReading {
    uint8_t resultCode = robot::kVisionNotReady;
    measurement::Reading record{};
};

// Judged by the link state given: while the laser is wanted on, only a record decoded since
// acquisition was confirmed on, and not older than staleAfterMs (0: no bound), is recognised.
// robotAsks marks the record as read by the robot.
JointReading ReadJoint(Shared& shared, const LinkSnapshot& link, int staleAfterMs, bool robotAsks);

// A fault: its line in the debug log, and its event with the same text.
void ReportFault(Shared& shared, events::FaultKind kind, const char* logLine);

// The robot's view of the same moment.
robot::Snapshot RobotSnapshot(const LinkSnapshot& link, const JointReading& joint);

#endif // SHARED_H
