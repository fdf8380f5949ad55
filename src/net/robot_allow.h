#ifndef ROBOT_ALLOW_H
#define ROBOT_ALLOW_H

#include <cstdint>
#include <string>
#include <vector>

// The RobotAllow setting: which IPv4 peers may hold the robot port. Pure text and numbers.
namespace robot_allow
{

struct Range {
    uint32_t network; // host byte order, host bits cleared
    uint32_t mask;
};

struct AllowList {
    bool restricted = false;            // false: the setting is blank and everybody is admitted
    std::vector<Range> ranges;          // the well-formed entries
    std::vector<std::string> malformed; // entries that are neither address nor range, ignored
};

// A comma-separated list of dotted IPv4 addresses ("10.0.0.7") and CIDR ranges
// ("10.0.0.0/24"); blanks around entries and empty entries are ignored. A malformed entry never
// widens the list: a text that is not blank but lists no valid entry (" , " too) admits no one.
AllowList Parse(const std::string& text);

// address in host byte order.
bool Admits(const AllowList& list, uint32_t address);

} // namespace robot_allow

#endif // ROBOT_ALLOW_H
