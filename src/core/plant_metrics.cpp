#include "plant_metrics.h"

#include <arpa/inet.h>

#include <utility>

namespace
{

using sparkplug::DataType;
using sparkplug::Value;

// The metrics in alias order (alias = position + 1; 0 is the rebirth command's).
enum Metric : size_t {
    RobotConnected,
    RobotPeer,
    AnsweredStatus,
    AnsweredJointId,
    AnsweredJointData,
    AnsweredLaserOn,
    AnsweredLaserOff,
    AnsweredLaserOnAndMeasure,
    AnsweredSetJointId,
    AnsweredUnrecognised,
    ResultRecognised,
    ResultVisionNotReady,
    ResultNotRecognised,
    ReplyResultCode,
    ReplyY,
    ReplyZ,
    ReplyGap,
    ReplyZDiff,
    ReplyArea,
    ReplyTime,
    VisionConnected,
    VisionReady,
    VisionProjectLoaded,
    VisionAcquisition,
    VisionRecordsPerSecond,
    VisionUnrecognisedPerSecond,
    VisionRejections,
    VisionUnsolicited,
    WishLaser,
    WishLaserBy,
    WishProject,
    WishProjectBy,
    FaultText,
    FaultTime,
    FaultCapturesKept,
    BridgeVersion,
    BridgeUptime,
    kMetricCount
};

struct Row {
    const char* name;
    DataType type;
};

const Row kRows[kMetricCount] = {
    {"Robot/Connected", DataType::Boolean},
    {"Robot/Peer Address", DataType::String},
    {"Robot/Answered/Status", DataType::UInt64},
    {"Robot/Answered/Joint ID", DataType::UInt64},
    {"Robot/Answered/Joint Data", DataType::UInt64},
    {"Robot/Answered/Laser On", DataType::UInt64},
    {"Robot/Answered/Laser Off", DataType::UInt64},
    {"Robot/Answered/Laser On and Measure", DataType::UInt64},
    {"Robot/Answered/Set Joint ID", DataType::UInt64},
    {"Robot/Answered/Unrecognised", DataType::UInt64},
    {"Robot/Result Codes/0 Recognised", DataType::UInt64},
    {"Robot/Result Codes/1 Vision Not Ready", DataType::UInt64},
    {"Robot/Result Codes/12 Not Recognised", DataType::UInt64},
    {"Robot/Last Joint Data/Result Code", DataType::UInt32},
    {"Robot/Last Joint Data/Y", DataType::Double},
    {"Robot/Last Joint Data/Z", DataType::Double},
    {"Robot/Last Joint Data/Gap", DataType::Double},
    {"Robot/Last Joint Data/Z Diff", DataType::Double},
    {"Robot/Last Joint Data/Area", DataType::Double},
    {"Robot/Last Joint Data/Time", DataType::DateTime},
    {"Vision/Connected", DataType::Boolean},
    {"Vision/Ready", DataType::Boolean},
    {"Vision/Project Loaded", DataType::Int32},
    {"Vision/Acquisition On", DataType::Boolean},
    {"Vision/Records per Second", DataType::Double},
    {"Vision/Not Recognised per Second", DataType::Double},
    {"Vision/Rejections", DataType::UInt64},
    {"Vision/Unsolicited Elements", DataType::UInt64},
    {"Wishes/Laser", DataType::Boolean},
    {"Wishes/Laser Asked By", DataType::String},
    {"Wishes/Project", DataType::Int32},
    {"Wishes/Project Asked By", DataType::String},
    {"Faults/Last Text", DataType::String},
    {"Faults/Last Time", DataType::DateTime},
    {"Faults/Captures Kept", DataType::UInt64},
    {"Bridge/Version", DataType::String},
    {"Bridge/Uptime", DataType::UInt64},
};

// The value a metric of this type holds before anything is known.
Value Initial(DataType type)
{
    switch (type) {
    case DataType::Boolean:
        return false;
    case DataType::Int32:
        return int64_t(0);
    case DataType::Double:
        return 0.0;
    case DataType::String:
        return std::string();
    default:
        return uint64_t(0);
    }
}

size_t AnsweredMetric(robot::Request request)
{
    switch (request) {
    case robot::Request::Status:
        return AnsweredStatus;
    case robot::Request::JointIdQuery:
        return AnsweredJointId;
    case robot::Request::JointData:
        return AnsweredJointData;
    case robot::Request::LaserOn:
        return AnsweredLaserOn;
    case robot::Request::LaserOff:
        return AnsweredLaserOff;
    case robot::Request::LaserOnAndMeasure:
        return AnsweredLaserOnAndMeasure;
    case robot::Request::SetJointId:
        return AnsweredSetJointId;
    case robot::Request::Unrecognised:
        break;
    }
    return AnsweredUnrecognised;
}

// The counter of a result code; kMetricCount for a code without one.
size_t ResultMetric(uint8_t code)
{
    switch (code) {
    case robot::kJointRecognised:
        return ResultRecognised;
    case robot::kVisionNotReady:
        return ResultVisionNotReady;
    case robot::kJointNotRecognised:
        return ResultNotRecognised;
    }
    return kMetricCount;
}

std::string AddressText(uint32_t address)
{
    if (address == 0)
        return std::string();
    char text[INET_ADDRSTRLEN] = "";
    const in_addr wire{htonl(address)};
    inet_ntop(AF_INET, &wire, text, sizeof text);
    return text;
}

const char* OriginText(events::Origin origin)
{
    return origin == events::Origin::Robot ? "robot" : "operator";
}

} // namespace

PlantMetrics::PlantMetrics(const std::string& version, int ratePerSecond)
    : m_slots(kMetricCount),
      m_interval(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                 std::max(ratePerSecond, 1))
{
    for (size_t i = 0; i < kMetricCount; ++i) {
        m_definitions.push_back({kRows[i].name, i + 1, kRows[i].type});
        m_slots[i].current = m_slots[i].sent = Initial(kRows[i].type);
    }
    m_slots[BridgeVersion].current = version;
    m_slots[WishProject].current = int64_t(-1);
    m_slots[ReplyResultCode].current = uint64_t(robot::kVisionNotReady);
}

std::vector<Value> PlantMetrics::Values() const
{
    std::vector<Value> values;
    for (const Slot& slot : m_slots)
        values.push_back(slot.current);
    return values;
}

void PlantMetrics::Set(size_t metric, const Value& value, int64_t atMs)
{
    Slot& slot = m_slots[metric];
    if (slot.current == value)
        return;
    slot.current = value;
    slot.changedAtMs = atMs;
}

void PlantMetrics::Take(const events::Event& event)
{
    if (const auto* reply = std::get_if<events::RobotReply>(&event))
        TakeReply(*reply);
    else if (const auto* record = std::get_if<events::Record>(&event))
        TakeRecord(*record);
    else if (const auto* wish = std::get_if<events::Wish>(&event)) {
        const bool laser = wish->what == events::Wish::What::Laser;
        Set(laser ? WishLaserBy : WishProjectBy, std::string(OriginText(wish->origin)), wish->atMs);
    } else if (const auto* fault = std::get_if<events::Fault>(&event)) {
        Set(FaultText, fault->text, fault->atMs);
        Set(FaultTime, uint64_t(fault->atMs), fault->atMs);
    }
}

// The counts, and for joint data the code and values as the robot decodes the bytes it got.
void PlantMetrics::TakeReply(const events::RobotReply& reply)
{
    const size_t answered = AnsweredMetric(reply.request);
    Set(answered, std::get<uint64_t>(m_slots[answered].current) + 1, reply.atMs);
    if (reply.request != robot::Request::JointData)
        return;
    const uint8_t code = events::SentResultCode(reply.reply);
    const size_t counted = ResultMetric(code);
    if (counted != kMetricCount)
        Set(counted, std::get<uint64_t>(m_slots[counted].current) + 1, reply.atMs);
    const measurement::Values values = events::SentValues(reply.reply);
    if (m_slots[ReplyResultCode].current != Value(uint64_t(code)))
        for (size_t metric = ReplyResultCode; metric <= ReplyTime; ++metric)
            m_slots[metric].urgent = true;
    Set(ReplyResultCode, uint64_t(code), reply.atMs);
    for (size_t i = 0; i < values.size(); ++i)
        Set(ReplyY + i, values[i], reply.atMs);
    Set(ReplyTime, uint64_t(reply.atMs), reply.atMs);
}

void PlantMetrics::TakeRecord(const events::Record& record)
{
    ++m_records;
    if (!record.recognised)
        ++m_unrecognised;
}

void PlantMetrics::Look(const LinkSnapshot& link, uint64_t capturesKept, Clock::time_point now)
{
    const int64_t nowMs = events::NowMs();
    Set(RobotConnected, link.robotConnected, nowMs);
    Set(RobotPeer, AddressText(link.robotConnected ? link.robotPeer : 0), nowMs);
    Set(VisionConnected, link.clientConnected, nowMs);
    Set(VisionReady, link.visionReady, nowMs);
    Set(VisionProjectLoaded, int64_t(link.loadedProject), nowMs);
    Set(VisionAcquisition, link.acquisitionOn, nowMs);
    Set(VisionRejections, uint64_t(link.visionFailures), nowMs);
    Set(VisionUnsolicited, uint64_t(link.unsolicitedElements), nowMs);
    Set(WishLaser, link.laserWanted, nowMs);
    Set(WishProject, int64_t(link.projectWanted), nowMs);
    Set(FaultCapturesKept, capturesKept, nowMs);
    Set(BridgeUptime,
        uint64_t(std::chrono::duration_cast<std::chrono::seconds>(now - m_started).count()), nowMs);
    UpdateRates(now);
}

// Counted over whole seconds, so that a rate reads as records in the last second.
void PlantMetrics::UpdateRates(Clock::time_point now)
{
    const std::chrono::duration<double> counted = now - m_rateSince;
    if (counted < std::chrono::seconds(1))
        return;
    const int64_t nowMs = events::NowMs();
    Set(VisionRecordsPerSecond, double(m_records) / counted.count(), nowMs);
    Set(VisionUnrecognisedPerSecond, double(m_unrecognised) / counted.count(), nowMs);
    m_records = m_unrecognised = 0;
    m_rateSince = now;
}

std::vector<sparkplug::Sample> PlantMetrics::TakeDue(Clock::time_point now)
{
    std::vector<sparkplug::Sample> due;
    for (size_t metric = 0; metric < kMetricCount; ++metric) {
        Slot& slot = m_slots[metric];
        if (slot.current == slot.sent)
            slot.urgent = false;
        if (slot.current == slot.sent || (!slot.urgent && now - slot.sentAt < m_interval))
            continue;
        due.push_back({metric + 1, kRows[metric].type, slot.current, slot.changedAtMs});
        slot.sent = slot.current;
        slot.sentAt = now;
        slot.urgent = false;
    }
    return due;
}

void PlantMetrics::AllSent(Clock::time_point now)
{
    for (Slot& slot : m_slots) {
        slot.sent = slot.current;
        slot.sentAt = now;
        slot.urgent = false;
    }
}

void HeldData::Keep(std::vector<sparkplug::Sample> message)
{
    m_bytes += Cost(message);
    m_messages.push_back(std::move(message));
    while (m_bytes > m_maxBytes && !m_messages.empty()) {
        m_bytes -= Cost(m_messages.front());
        m_messages.pop_front();
        ++m_dropped;
    }
}

std::vector<sparkplug::Sample> HeldData::TakeOldest()
{
    std::vector<sparkplug::Sample> oldest = std::move(m_messages.front());
    m_messages.pop_front();
    m_bytes -= Cost(oldest);
    return oldest;
}

size_t HeldData::Cost(const std::vector<sparkplug::Sample>& message)
{
    size_t bytes = sizeof message + message.capacity() * sizeof(sparkplug::Sample);
    for (const sparkplug::Sample& sample : message)
        if (const auto* text = std::get_if<std::string>(&sample.value))
            bytes += text->capacity();
    return bytes;
}
