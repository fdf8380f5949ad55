#include "dide_protocol.h"

#include "c_numbers.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace dide
{

namespace
{

const char kRequestHead[] = "<DIDE DIR=\"Request\" CMD=\"";

const std::string_view kElementStart = "<DIDE";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool AllBlank(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), IsBlank);
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

// The length of the element that text begins with, or 0 while it has not ended.
size_t ElementLength(std::string_view text)
{
    const size_t tagEnd = TagEnd(text, 0);
    if (tagEnd == std::string_view::npos)
        return 0;
    if (text[tagEnd - 1] == '/')
        return tagEnd + 1;
    const size_t endTag = text.find("</DIDE", tagEnd);
    const size_t end = endTag == std::string_view::npos ? endTag : TagEnd(text, endTag);
    return end == std::string_view::npos ? 0 : end + 1;
}

// Where the held text may still begin an element: its first "<DIDE", or the end of the text
// that could begin one once more bytes come.
size_t PossibleStart(std::string_view text)
{
    const size_t found = text.find(kElementStart);
    if (found != std::string_view::npos)
        return found;
    for (size_t at = text.size() > kElementStart.size() ? text.size() - kElementStart.size() : 0;
         at < text.size(); ++at)
        if (kElementStart.substr(0, text.size() - at) == text.substr(at))
            return at;
    return text.size();
}

} // namespace

void ElementReader::Feed(std::string_view bytes)
{
    m_held.append(bytes);
}

ElementReader::Piece ElementReader::Next(std::string* text)
{
    for (;;) {
        const size_t start = PossibleStart(m_held);
        if (start > 0) {
            text->assign(m_held, 0, start);
            m_held.erase(0, start);
            if (!AllBlank(*text))
                return Piece::Between;
            continue;
        }
        const size_t length = Begun() > 0 ? ElementLength(m_held) : 0;
        if (length == 0)
            return Piece::None;
        text->assign(m_held, 0, length);
        m_held.erase(0, length);
        return Piece::Element;
    }
}

size_t ElementReader::Begun() const
{
    return std::string_view(m_held).substr(0, kElementStart.size()) == kElementStart ? m_held.size()
                                                                                     : 0;
}

bool Attribute(std::string_view element, std::string_view name, std::string* value)
{
    size_t at = kElementStart.size();
    for (;;) {
        while (at < element.size() && IsBlank(element[at]))
            ++at;
        const size_t nameEnd = element.find_first_of("= \t\r\n/>", at);
        const size_t equals = element.find_first_not_of(" \t\r\n", nameEnd);
        if (nameEnd == at || equals == std::string_view::npos || element[equals] != '=')
            return false;
        const size_t open = element.find_first_not_of(" \t\r\n", equals + 1);
        if (open == std::string_view::npos || (element[open] != '"' && element[open] != '\''))
            return false;
        const size_t close = element.find(element[open], open + 1);
        if (close == std::string_view::npos)
            return false;
        if (element.substr(at, nameEnd - at) == name) {
            value->assign(element.substr(open + 1, close - open - 1));
            return true;
        }
        at = close + 1;
    }
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

Verdict JudgeReply(std::string_view element, std::string_view command)
{
    std::string direction, replyCommand;
    if (!Attribute(element, "CMD", &replyCommand) || replyCommand != command ||
        !Attribute(element, "DIR", &direction) || direction.rfind("Reply", 0) != 0)
        return Verdict::Unrelated;
    return direction == "ReplyOk" ? Verdict::Accepted : Verdict::Rejected;
}

bool ReadValue(const std::string& reply, int* value)
{
    *value = 0;
    std::string text;
    if (!Attribute(reply, "VALUE", &text))
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
