#include "dide_text.h"

#include <cctype>

namespace
{
// Beyond this, bytes without an element end are junk; they are answered as one bad request
// instead of being collected forever.
constexpr int maxRequestLength = 4096;
// Keeps every reply, echoed command included, within one 512-byte receive of the bridge.
constexpr int maxEchoedCommand = 256;
} // namespace

std::optional<QByteArray> takeRequest(QByteArray& buffer)
{
    int start = 0;
    while (start < buffer.size() && std::isspace(static_cast<unsigned char>(buffer[start])))
        ++start;
    buffer.remove(0, start);

    // A ">" inside a quoted value, for example in a project name, does not end the element.
    bool quoted = false;
    for (int i = 0; i < buffer.size(); ++i) {
        if (buffer[i] == '"')
            quoted = !quoted;
        else if (buffer[i] == '>' && !quoted) {
            const QByteArray request = buffer.left(i + 1);
            buffer.remove(0, i + 1);
            return request;
        }
    }
    if (buffer.size() < maxRequestLength)
        return std::nullopt;
    const QByteArray junk = buffer;
    buffer.clear();
    return junk;
}

std::optional<QByteArray> attributeValue(const QByteArray& element, const QByteArray& name)
{
    const QByteArray key = name + "=\"";
    for (int at = element.indexOf(key); at >= 0; at = element.indexOf(key, at + 1)) {
        if (at == 0 || !std::isspace(static_cast<unsigned char>(element[at - 1])))
            continue; // part of a longer name or of a value
        const int begin = at + key.size();
        const int end = element.indexOf('"', begin);
        if (end < 0)
            return std::nullopt;
        return element.mid(begin, end - begin);
    }
    return std::nullopt;
}

QByteArray projectName(const QByteArray& file)
{
    return file.endsWith(".t_p") ? file.chopped(4) : file;
}

QByteArray dideReply(bool ok, const QByteArray& command)
{
    return QByteArray("<DIDE DIR=\"") + (ok ? "ReplyOk" : "ReplyError") + "\" CMD=\"" +
           command.left(maxEchoedCommand) + "\"/>";
}

QByteArray printable(const QByteArray& text)
{
    QByteArray line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            line += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            line += c;
    }
    return line;
}
