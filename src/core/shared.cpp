#include "shared.h"

JointReading ReadJoint(Shared& shared, const LinkSnapshot& link, int staleAfterMs, bool robotAsks)
{
    const measurement::FreshnessRule rule{link.laserWanted, link.acquisitionOn,
                                          link.acquisitionSince, staleAfterMs,
                                          link.projectLoadedAt};
    const measurement::Reading record =
        shared.record.Read(rule, measurement::Clock::now(), robotAsks);
    return {robot::JointDataResultCode(link.visionReady, record.recognised), record};
}

robot::Snapshot RobotSnapshot(const LinkSnapshot& link, const JointReading& joint)
{
    return {{link.visionReady, link.visionError, link.laserOn},
            link.loadedProject,
            joint.resultCode,
            joint.record.values};
}

void ReportFault(Shared& shared, events::FaultKind kind, const char* logLine)
{
    shared.log.Write(logLine);
    std::string text(logLine);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    shared.events.Publish(events::Fault{events::NowMs(), kind, std::move(text)});
}
