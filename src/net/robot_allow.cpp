#include "robot_allow.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <optional>

namespace robot_allow
{

namespace
{

std::string Trimmed(const std::string& text)
{
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

// inet_pton takes only four plain decimal octets: no hexadecimal, no leading zeros, no
// shortened forms, unlike inet_addr.
std::optional<uint32_t> Address(const std::string& text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return std::nullopt;
    return ntohl(address.s_addr);
}

std::optional<int> PrefixLength(const std::string& text)
{
    if (text.empty() || text.size() > 2 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    const int length = std::stoi(text);
    return length <= 32 ? std::optional<int>(length) : std::nullopt;
}

std::optional<Range> ParseEntry(const std::string& entry)
{
    const size_t slash = entry.find('/');
    const std::optional<uint32_t> address = Address(entry.substr(0, slash));
    const std::optional<int> length =
        slash == std::string::npos ? 32 : PrefixLength(entry.substr(slash + 1));
    if (!address || !length)
        return std::nullopt;
    const uint32_t mask = *length == 0 ? 0 : ~uint32_t(0) << (32 - *length);
    return Range{*address & mask, mask};
}

} // namespace

AllowList Parse(const std::string& text)
{
    AllowList list;
    list.restricted = !Trimmed(text).empty();
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string entry = Trimmed(text.substr(start, comma - start));
        start = comma + 1;
        if (entry.empty())
            continue;
        if (const std::optional<Range> range = ParseEntry(entry))
            list.ranges.push_back(*range);
        else
            list.malformed.push_back(entry);
    }
    return list;
}

bool Admits(const AllowList& list, uint32_t address)
{
    return !list.restricted ||
           std::any_of(list.ranges.begin(), list.ranges.end(),
                       [&](const Range& r) { return (address & r.mask) == r.network; });
}

} // namespace robot_allow
