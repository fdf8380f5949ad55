// Plant telemetry messages as SCADA hosts read them: topics, births, data and deaths of an edge
// node, and the commands and host states it is sent. Pure: bytes in, bytes out.
#ifndef SPARKPLUG_H
#define SPARKPLUG_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sparkplug
{

// The standard's datatype numbers, those this node uses.
enum class DataType : uint32_t {
    Int32 = 3,
    UInt32 = 7,
    UInt64 = 8,
    Double = 10,
    Boolean = 11,
    String = 12,
    DateTime = 13,
};

// A metric's value; which alternative goes with which datatype is the metric's definition.
using Value = std::variant<bool, int64_t, uint64_t, double, std::string>;

struct Definition {
    std::string name; // grouped with "/"
    uint64_t alias = 0;
    DataType type = DataType::String;
};

// One value of one metric, at the time it took it.
struct Sample {
    uint64_t alias = 0;
    DataType type = DataType::String;
    Value value;
    int64_t atMs = 0;
};

// Node message kinds in the topic.
enum class Kind { Birth, Data, Death, Command };

// "spBv1.0/<group>/<NBIRTH|NDATA|NDEATH|NCMD>/<node>".
std::string NodeTopic(const std::string& group, Kind kind, const std::string& node);
std::string HostStateTopic(const std::string& hostId);
// Group, node and host ids: UTF-8, not empty, without "+", "#" or "/".
bool ValidId(const std::string& id);

// The birth/death sequence and the message sequence both count modulo 256.
using Sequence = uint8_t;

// The birth: seq 0, bdSeq, "Node Control/Rebirth" false and every metric with its name, alias,
// datatype and value; values[i] belongs to definitions[i].
std::string EncodeBirth(int64_t nowMs, Sequence bdSeq, const std::vector<Definition>& definitions,
                        const std::vector<Value>& values);
// Data by alias; historical for what was kept while the broker could not be reached.
std::string EncodeData(int64_t nowMs, Sequence seq, const std::vector<Sample>& samples,
                       bool historical);
// The death: a timestamp and bdSeq, no seq.
std::string EncodeDeath(int64_t nowMs, Sequence bdSeq);

// What one metric of a node command asks.
struct Order {
    enum class Kind {
        Rebirth,       // "Node Control/Rebirth" true
        None,          // a known metric that asks nothing (Rebirth false)
        Malformed,     // the payload is no Sparkplug payload
        TooLarge,      // longer than the bound given
        UnknownMetric, // metric: its name, or "alias N"
        WrongType,     // metric: the known metric's name
    };
    Kind kind = Kind::None;
    std::string metric;
};
// The alias that births give "Node Control/Rebirth", so that a host may command it by alias.
constexpr uint64_t kRebirthAlias = 0;
std::vector<Order> ReadCommand(std::string_view payload, size_t maxBytes);

// A primary host's STATE: true or false for {"online": true|false, ...}, nothing when the
// payload says neither.
std::optional<bool> HostOnline(std::string_view payload);

} // namespace sparkplug

#endif // SPARKPLUG_H
