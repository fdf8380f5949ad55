#include "dide_protocol.h"

#include "c_numbers.h"

#include <climits>
#include <cmath>

namespace dide
{

namespace
{

const char kRequestHead[] = "<DIDE DIR=\"Request\" CMD=\"";

// An attribute is found by the first occurrence of its name anywhere in the reply; its value
// starts two bytes after the name (the '=' and the opening quote are skipped unread) and ends
// before the next double quote, or at the end of the reply. False when the name is missing
// or stands so near the end that the value would start past it.
bool AttributeValue(std::string_view reply, std::string_view name, std::string_view* value)
{
    const size_t at = reply.find(name);
    if (at == std::string_view::npos)
        return false;
    const size_t begin = at + name.size() + 2;
    if (begin > reply.size())
        return false;
    const size_t end = reply.find('"', begin);
    *value = reply.substr(begin, end == std::string_view::npos ? end : end - begin);
    return true;
}

// The '>' that ends the tag opened at start, or npos while it has not arrived.
size_t TagEnd(std::string_view text, size_t start)
{
    bool quoted = false;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        else if (text[i] == '>' && !quoted)
            return i;
    }
    return std::string_view::npos;
}

} // namespace

size_t ReplyLength(std::string_view received)
{
    const size_t start = received.find("<DIDE");
    const size_t tagEnd = start == std::string_view::npos ? start : TagEnd(received, start);
    if (tagEnd == std::string_view::npos)
        return 0;
    if (received[tagEnd - 1] == '/')
        return tagEnd + 1;
    const size_t endTag = received.find("</DIDE", tagEnd);
    const size_t end = endTag == std::string_view::npos ? endTag : TagEnd(received, endTag);
    return end == std::string_view::npos ? 0 : end + 1;
}

std::string LoadProjectRequest(const std::string& projectName)
{
    return std::string(kRequestHead) + kProjectLoad + "\" FILE=\"" + projectName + ".t_p\"/>";
}

std::string AcquisitionRequest(bool on)
{
    return std::string(kRequestHead) + kDeviceAcquisition +
           (on ? "\" STATE=\"on\" />" : "\" STATE=\"off\" />");
}

bool IsSuccessReply(const std::string& reply, const std::string& command)
{
    std::string_view direction, replyCommand;
    return AttributeValue(reply, "DIR", &direction) && direction == "ReplyOk" &&
           AttributeValue(reply, "CMD", &replyCommand) && replyCommand == command;
}

bool ReadValue(const std::string& reply, int* value)
{
    *value = 0;
    std::string_view text;
    if (!AttributeValue(reply, "VALUE", &text))
        return false;
    const std::string number(text.substr(0, text.find(".t_p")));
    char* end = nullptr;
    const long parsed = cnumbers::ParseLong(number.c_str(), &end);
    if (end != number.c_str() + number.size())
        return false;
    *value = int(parsed);
    return true;
}

int ProjectNumber(const std::string& projectId)
{
    const double number = std::trunc(cnumbers::ParseDouble(projectId.c_str(), nullptr));
    if (std::isnan(number))
        return 0;
    if (number >= double(INT_MAX))
        return INT_MAX;
    if (number <= double(INT_MIN))
        return INT_MIN;
    return int(number);
}

} // namespace dide
