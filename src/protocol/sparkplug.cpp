#include "sparkplug.h"

#include "sparkplug_b.pb.h"

#include <cctype>

namespace sparkplug
{

namespace
{

const char* const kNamespace = "spBv1.0";
const char* const kBdSeqName = "bdSeq";
const char* const kRebirthName = "Node Control/Rebirth";

const char* KindWord(Kind kind)
{
    switch (kind) {
    case Kind::Birth:
        return "NBIRTH";
    case Kind::Data:
        return "NDATA";
    case Kind::Death:
        return "NDEATH";
    case Kind::Command:
        return "NCMD";
    }
    return "NDATA";
}

template <typename Wanted> Wanted As(const Value& value)
{
    return std::visit(
        [](const auto& held) -> Wanted {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, std::string> || std::is_same_v<Wanted, std::string>)
                return Wanted{};
            else
                return static_cast<Wanted>(held);
        },
        value);
}

// The value goes into the field that the datatype names; signed 32-bit numbers travel as their
// two's complement in the unsigned field.
void SetValue(Payload::Metric* metric, DataType type, const Value& value)
{
    metric->set_datatype(uint32_t(type));
    switch (type) {
    case DataType::Int32:
        metric->set_int_value(uint32_t(As<int64_t>(value)));
        break;
    case DataType::UInt32:
        metric->set_int_value(uint32_t(As<uint64_t>(value)));
        break;
    case DataType::UInt64:
    case DataType::DateTime:
        metric->set_long_value(As<uint64_t>(value));
        break;
    case DataType::Double:
        metric->set_double_value(As<double>(value));
        break;
    case DataType::Boolean:
        metric->set_boolean_value(As<bool>(value));
        break;
    case DataType::String: {
        const std::string* text = std::get_if<std::string>(&value);
        metric->set_string_value(text ? *text : std::string());
        break;
    }
    }
}

std::string Serialised(const Payload& payload)
{
    std::string bytes;
    payload.SerializeToString(&bytes);
    return bytes;
}

void AddBdSeq(Payload* payload, int64_t nowMs, Sequence bdSeq)
{
    Payload::Metric* metric = payload->add_metrics();
    metric->set_name(kBdSeqName);
    metric->set_timestamp(uint64_t(nowMs));
    SetValue(metric, DataType::UInt64, uint64_t(bdSeq));
}

Order Judge(const Payload::Metric& metric)
{
    const bool rebirth = metric.has_name() ? metric.name() == kRebirthName
                                           : metric.has_alias() && metric.alias() == kRebirthAlias;
    if (!rebirth)
        return {Order::Kind::UnknownMetric,
                metric.has_name() ? metric.name() : "alias " + std::to_string(metric.alias())};
    if (metric.value_case() != Payload::Metric::kBooleanValue ||
        (metric.has_datatype() && metric.datatype() != uint32_t(DataType::Boolean)))
        return {Order::Kind::WrongType, kRebirthName};
    return {metric.boolean_value() ? Order::Kind::Rebirth : Order::Kind::None, kRebirthName};
}

} // namespace

std::string NodeTopic(const std::string& group, Kind kind, const std::string& node)
{
    return std::string(kNamespace) + "/" + group + "/" + KindWord(kind) + "/" + node;
}

std::string HostStateTopic(const std::string& hostId)
{
    return std::string(kNamespace) + "/STATE/" + hostId;
}

bool ValidId(const std::string& id)
{
    return !id.empty() && id.find_first_of("+#/") == std::string::npos;
}

std::string EncodeBirth(int64_t nowMs, Sequence bdSeq, const std::vector<Definition>& definitions,
                        const std::vector<Value>& values)
{
    Payload payload;
    payload.set_timestamp(uint64_t(nowMs));
    payload.set_seq(0);
    AddBdSeq(&payload, nowMs, bdSeq);
    Payload::Metric* rebirth = payload.add_metrics();
    rebirth->set_name(kRebirthName);
    rebirth->set_alias(kRebirthAlias);
    rebirth->set_timestamp(uint64_t(nowMs));
    SetValue(rebirth, DataType::Boolean, false);
    for (size_t i = 0; i < definitions.size() && i < values.size(); ++i) {
        Payload::Metric* metric = payload.add_metrics();
        metric->set_name(definitions[i].name);
        metric->set_alias(definitions[i].alias);
        metric->set_timestamp(uint64_t(nowMs));
        SetValue(metric, definitions[i].type, values[i]);
    }
    return Serialised(payload);
}

std::string EncodeData(int64_t nowMs, Sequence seq, const std::vector<Sample>& samples,
                       bool historical)
{
    Payload payload;
    payload.set_timestamp(uint64_t(nowMs));
    payload.set_seq(seq);
    for (const Sample& sample : samples) {
        Payload::Metric* metric = payload.add_metrics();
        metric->set_alias(sample.alias);
        metric->set_timestamp(uint64_t(sample.atMs));
        if (historical)
            metric->set_is_historical(true);
        SetValue(metric, sample.type, sample.value);
    }
    return Serialised(payload);
}

std::string EncodeDeath(int64_t nowMs, Sequence bdSeq)
{
    Payload payload;
    payload.set_timestamp(uint64_t(nowMs));
    AddBdSeq(&payload, nowMs, bdSeq);
    return Serialised(payload);
}

std::vector<Order> ReadCommand(std::string_view payload, size_t maxBytes)
{
    if (payload.size() > maxBytes)
        return {{Order::Kind::TooLarge, {}}};
    Payload command;
    if (!command.ParseFromArray(payload.data(), int(payload.size())))
        return {{Order::Kind::Malformed, {}}};
    std::vector<Order> orders;
    for (const Payload::Metric& metric : command.metrics())
        orders.push_back(Judge(metric));
    return orders;
}

std::optional<bool> HostOnline(std::string_view payload)
{
    const size_t key = payload.find("\"online\"");
    if (key == std::string_view::npos)
        return std::nullopt;
    size_t at = key + 8;
    while (at < payload.size() && (std::isspace(uint8_t(payload[at])) || payload[at] == ':'))
        ++at;
    const std::string_view rest = payload.substr(at);
    if (rest.substr(0, 4) == "true")
        return true;
    if (rest.substr(0, 5) == "false")
        return false;
    return std::nullopt;
}

} // namespace sparkplug
