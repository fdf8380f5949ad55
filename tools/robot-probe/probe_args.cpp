#include "probe_args.h"
#include "probe_reply.h"

#include "robot_protocol.h"

#include <cctype>
#include <cstdlib>

#include <getopt.h>

const char* const kProbeUsage =
    "Usage: robot-probe [--host H] [--port P] [--timeout-ms N] COMMAND [COMMAND ...]\n"
    "       robot-probe [--host H] [--port P] --replay FILE [--speed N] [--tolerance N]\n"
    "Acts as the robot controller: connects to the bridge's robot port, sends the commands\n"
    "in order over one connection and prints one line per reply: the request, the reply in\n"
    "hex and its meaning.\n"
    "\n"
    "Options:\n"
    "  --host H          bridge address (default 127.0.0.1)\n"
    "  --port P          robot port (default 5020)\n"
    "  --timeout-ms N    time to wait for the connection and each reply (default 2000)\n"
    "  --replay FILE     play the robot side of a capture the bridge saved and print each\n"
    "                    reply that differs from the recorded one, or any bytes beyond it;\n"
    "                    in step with tervian-sim --replay of the same file (port 32003)\n"
    "  --speed N         with --replay: play N times faster (default 1; give tervian-sim\n"
    "                    the same)\n"
    "  --tolerance N     with --replay: hundredths a joint value may differ by (default 0)\n"
    "  --help            show this text\n"
    "\n"
    "Commands:\n"
    "  status                                   link status (01 01 06 00)\n"
    "  joint-id                                 joint ID loaded in the vision application\n"
    "  joint-data [--repeat N] [--interval MS]  latest joint measurement, N times\n"
    "  laser on|off|on-measure                  switch the laser\n"
    "  set-joint N                              choose joint ID N (-128 to 255)\n"
    "  raw HEX...                               send these bytes (at least four), e.g.\n"
    "                                           raw 01 01 06 00\n"
    "\n"
    "Exit status: 0 all replies received, 1 connection refused or lost or a reply timed\n"
    "out, 2 bad argument. With --replay: 0 all replies alike, 1 some differed, 2 bad\n"
    "argument or capture.\n";

namespace
{

// Walks the argument list; every parse step reports its own error.
class ArgReader
{
public:
    ArgReader(const std::vector<std::string>& args, std::string* error)
        : m_args(args), m_error(error)
    {
    }
    bool atEnd() const { return m_next >= m_args.size(); }
    const std::string& peek() const { return m_args[m_next]; }
    std::string take() { return m_args[m_next++]; }

    bool fail(const std::string& message)
    {
        *m_error = message;
        return false;
    }

    bool takeValue(const std::string& option, std::string* value)
    {
        if (atEnd())
            return fail(option + " needs a value");
        *value = take();
        return true;
    }

    bool number(const std::string& option, const std::string& text, long min, long max,
                long* number)
    {
        char* end = nullptr;
        *number = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || *number < min || *number > max)
            return fail(option + " wants a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max) + ", not '" + text + "'");
        return true;
    }

    // The options from here up to the first word that is none, read by getopt_long (as
    // --name value or --name=value); take(name, value) is given each in turn.
    template <typename Take> bool takeOptions(const option* options, Take take)
    {
        std::vector<std::string> words{"robot-probe"};
        words.insert(words.end(), m_args.begin() + long(m_next), m_args.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        optind = 0; // a fresh scan each time
        opterr = 0;
        int index = -1;
        for (int found;
             (found = getopt_long(int(words.size()), argv.data(), "+:", options, &index)) != -1;
             index = -1) {
            const std::string word = argv[optind - 1];
            if (found == '?')
                return fail("unknown option '" + word + "' (see --help)");
            if (found == ':')
                return fail(word + " needs a value");
            if (!take(std::string("--") + options[index].name, optarg ? optarg : ""))
                return false;
        }
        m_next += size_t(optind - 1);
        return true;
    }

private:
    const std::vector<std::string>& m_args;
    std::string* m_error;
    size_t m_next = 0;
};

std::string Bytes(const robot::RequestFrame& request)
{
    return std::string(request.begin(), request.end());
}

bool IsHexToken(const std::string& token)
{
    for (char c : token)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return !token.empty();
}

bool ParseJointData(ArgReader* reader, ProbeOptions* options)
{
    static const option kOptions[] = {
        {"repeat", required_argument, nullptr, 0}, {"interval", required_argument, nullptr, 0}, {}};
    long repeat = 1;
    long interval = 0;
    if (!reader->takeOptions(kOptions, [&](const std::string& name, const std::string& value) {
            const bool isRepeat = name == "--repeat";
            return reader->number(name, value, isRepeat ? 1 : 0, 1000000,
                                  isRepeat ? &repeat : &interval);
        }))
        return false;
    options->exchanges.push_back(
        {"joint-data", Bytes(robot::kJointDataRequest), repeat, int(interval)});
    return true;
}
bool ParseLaser(ArgReader* reader, ProbeOptions* options)
{
    std::string mode;
    if (!reader->takeValue("laser", &mode))
        return false;
    std::string request;
    if (mode == "on")
        request = Bytes(robot::kLaserOnRequest);
    else if (mode == "off")
        request = Bytes(robot::kLaserOffRequest);
    else if (mode == "on-measure")
        request = Bytes(robot::kLaserOnAndMeasureRequest);
    else
        return reader->fail("laser wants on, off or on-measure, not '" + mode + "'");
    options->exchanges.push_back({"laser " + mode, request});
    return true;
}

bool ParseSetJoint(ArgReader* reader, ProbeOptions* options)
{
    long jointId = 0;
    std::string text;
    if (!reader->takeValue("set-joint", &text) ||
        !reader->number("set-joint", text, -128, 255, &jointId))
        return false;
    const uint8_t idByte = static_cast<uint8_t>(jointId & 0xFF);
    options->exchanges.push_back(
        {"set-joint " + std::to_string(jointId), Bytes(robot::SetJointIdRequest(idByte))});
    return true;
}

// Hex bytes may be given one per argument or run together; they end at the next command.
bool ParseRaw(ArgReader* reader, ProbeOptions* options)
{
    std::string request;
    while (!reader->atEnd() && IsHexToken(reader->peek())) {
        const std::string token = reader->take();
        if (token.size() % 2 != 0)
            return reader->fail("raw wants whole bytes of two hex digits, not '" + token + "'");
        for (size_t i = 0; i < token.size(); i += 2)
            request += static_cast<char>(std::strtol(token.substr(i, 2).c_str(), nullptr, 16));
    }
    // The bridge takes requests four bytes at a time: a shorter one it waits for, unanswered.
    if (request.size() < 4)
        return reader->fail("raw needs at least four hex bytes, e.g. raw 01 01 06 00: the bridge "
                            "takes requests four bytes at a time and answers no shorter one");
    if (request.size() > 512)
        return reader->fail("raw sends at most 512 bytes");
    options->exchanges.push_back({"raw " + HexBytes(request), request});
    return true;
}

bool ParseCommand(const std::string& word, ArgReader* reader, ProbeOptions* options)
{
    if (word == "status")
        options->exchanges.push_back({word, Bytes(robot::kStatusRequest)});
    else if (word == "joint-id")
        options->exchanges.push_back({word, Bytes(robot::kJointIdRequest)});
    else if (word == "joint-data")
        return ParseJointData(reader, options);
    else if (word == "laser")
        return ParseLaser(reader, options);
    else if (word == "set-joint")
        return ParseSetJoint(reader, options);
    else if (word == "raw")
        return ParseRaw(reader, options);
    else
        return reader->fail("unknown command '" + word + "' (see --help)");
    return true;
}

} // namespace

bool ParseProbeArgs(const std::vector<std::string>& args, ProbeOptions* options, std::string* error)
{
    static const option kOptions[] = {{"host", required_argument, nullptr, 0},
                                      {"port", required_argument, nullptr, 0},
                                      {"timeout-ms", required_argument, nullptr, 0},
                                      {"replay", required_argument, nullptr, 0},
                                      {"speed", required_argument, nullptr, 0},
                                      {"tolerance", required_argument, nullptr, 0},
                                      {"help", no_argument, nullptr, 0},
                                      {}};
    ArgReader reader(args, error);
    const bool read =
        reader.takeOptions(kOptions, [&](const std::string& name, const std::string& value) {
            if (name == "--help")
                options->help = true;
            else if (name == "--host")
                options->host = value;
            else if (name == "--replay")
                options->replay = value;
            if (name == "--help" || name == "--host" || name == "--replay")
                return true;
            const bool speed = name == "--speed";
            const bool tolerance = name == "--tolerance";
            const bool port = name == "--port";
            long number = 0;
            if (!reader.number(name, value, tolerance ? 0 : 1,
                               speed || tolerance ? 100000
                               : port             ? 65535
                                                  : 3600000,
                               &number))
                return false;
            *(speed       ? &options->speed
              : tolerance ? &options->tolerance
              : port      ? &options->port
                          : &options->timeoutMs) = int(number);
            return true;
        });
    if (!read || options->help)
        return read;
    while (!reader.atEnd())
        if (!ParseCommand(reader.take(), &reader, options))
            return false;
    if (options->exchanges.empty() && options->replay.empty())
        return reader.fail("no command given (see --help)");
    return true;
}
