#include "sim_options.h"

#include <climits>
#include <cmath>
#include <functional>
#include <vector>

#include <getopt.h>

const char simUsage[] =
    R"(Usage: tervian-sim [options]
Simulates the Tervian vision application: answers DIDE requests on the command port and
streams measurement records "status,X,Z,width,zdiff,area;" on the stream port.

  --address A                listen address for both ports (default 127.0.0.1)
  --command-port N           DIDE command port (default 32001; 0: any free port)
  --stream-port N            measurement stream port (default 32002; 0: any free port)
  --rate HZ                  records per second while acquisition is on (default 50)
  --values S,X,Z,W,D,A       stream this fixed record instead of a plausibly moving joint
  --stream-always            stream even while acquisition is off
  --reject-project NAME      answer Project_Load of NAME (given without ".t_p") with an error
                             reply; repeatable
  --reject-acquisition       error reply to every Device_Acquisition
  --no-reply                 accept requests, never answer
  --delay-ms N               delay every reply by N ms
  --close-after-requests N   close the command connection after N requests
  --close-after-records N    close the stream connection after N records
  --garbage                  answer requests and stream with random junk bytes
  --pieces                   write every reply and record in random-sized pieces, about a
                             millisecond apart, as a slow or small-MTU link delivers them
  --quiet                    print no event lines
  --replay FILE              play the vision application from a capture the bridge saved:
                             recorded replies to the same requests, recorded records after
                             each acquisition-on
  --loop                     with --replay: play the records again when they run out
  --speed N                  with --replay: play N times faster, as robot-probe --speed N
                             plays the robot (default 1)
  --help                     show this text

Prints one line per event on stdout: "listening on A:32001 and A:32002" (the ports bound),
"command client connected", "request: <text>", "reply: <text>", "stream client connected",
"acquisition on", "acquisition off", "command client disconnected",
"stream client disconnected".
Exit codes: 0 after SIGTERM/SIGINT or --help, 1 when a port cannot be opened, 2 for bad options
or a capture that cannot be read.
)";

namespace
{

// getopt_long's value for the first entry of the table; below it are its own '?' and ':'.
constexpr int kFirstOption = 256;

bool parseCount(const QString& text, int max, int& out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0 || value > max)
        return false;
    out = value;
    return true;
}

bool parsePort(const QString& text, quint16& out)
{
    int value = 0;
    if (!parseCount(text, 65535, value))
        return false;
    out = quint16(value);
    return true;
}

bool parseRate(const QString& text, double& out)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0 || value > 100000)
        return false;
    out = value;
    return true;
}

bool parseRecord(const QString& text, QByteArray& out)
{
    const QStringList fields = text.split(',');
    if (fields.size() != 6)
        return false;
    bool ok = false;
    fields[0].toInt(&ok);
    for (int i = 1; ok && i < fields.size(); ++i)
        fields[i].toDouble(&ok);
    if (ok)
        out = text.toLatin1();
    return ok;
}

} // namespace

ParseOutcome parseSimOptions(const QStringList& args, SimOptions& o, QString& error)
{
    using Setter = std::function<bool(const QString&)>;
    struct Option {
        const char* name;
        bool* flag;   // set by the option alone
        Setter value; // or given its value
    };
    const Option table[] = {
        {"help", nullptr, {}},
        {"stream-always", &o.streamAlways, {}},
        {"reject-acquisition", &o.rejectAcquisition, {}},
        {"no-reply", &o.noReply, {}},
        {"garbage", &o.garbage, {}},
        {"pieces", &o.pieces, {}},
        {"quiet", &o.quiet, {}},
        {"loop", &o.loop, {}},
        {"address", nullptr, [&](const QString& v) { return o.address.setAddress(v); }},
        {"command-port", nullptr, [&](const QString& v) { return parsePort(v, o.commandPort); }},
        {"stream-port", nullptr, [&](const QString& v) { return parsePort(v, o.streamPort); }},
        {"rate", nullptr, [&](const QString& v) { return parseRate(v, o.rate); }},
        {"values", nullptr, [&](const QString& v) { return parseRecord(v, o.fixedRecord); }},
        {"reject-project", nullptr,
         [&](const QString& v) {
             o.rejectedProjects.insert(v.toUtf8());
             return true;
         }},
        {"replay", nullptr,
         [&](const QString& v) {
             o.replay = v;
             return !v.isEmpty();
         }},
        {"speed", nullptr,
         [&](const QString& v) { return parseCount(v, 100000, o.speed) && o.speed > 0; }},
        {"delay-ms", nullptr, [&](const QString& v) { return parseCount(v, 600000, o.delayMs); }},
        {"close-after-requests", nullptr,
         [&](const QString& v) { return parseCount(v, INT_MAX, o.closeAfterRequests); }},
        {"close-after-records", nullptr,
         [&](const QString& v) { return parseCount(v, INT_MAX, o.closeAfterRecords); }},
    };
    std::vector<option> options;
    for (const Option& entry : table)
        options.push_back({entry.name, entry.value ? required_argument : no_argument, nullptr,
                           kFirstOption + int(options.size())});
    options.push_back({});

    std::vector<QByteArray> words{"tervian-sim"};
    for (const QString& arg : args)
        words.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    optind = 0; // a fresh scan
    opterr = 0;
    for (int found; (found = getopt_long(int(words.size()), argv.data(), "+:", options.data(),
                                         nullptr)) != -1;) {
        const QString word = QString::fromLocal8Bit(argv[optind - 1]);
        if (found == '?' || found < kFirstOption) {
            error = found == ':' ? word + " needs a value" : "unknown option " + word;
            return ParseOutcome::Error;
        }
        const Option& entry = table[found - kFirstOption];
        if (entry.flag != nullptr)
            *entry.flag = true;
        else if (!entry.value)
            return ParseOutcome::Help;
        else if (!entry.value(QString::fromLocal8Bit(optarg))) {
            error =
                QString("bad value for --%1: %2").arg(entry.name, QString::fromLocal8Bit(optarg));
            return ParseOutcome::Error;
        }
    }
    if (optind < int(words.size())) {
        error = "unknown option " + QString::fromLocal8Bit(argv[optind]);
        return ParseOutcome::Error;
    }
    if (o.commandPort == o.streamPort && o.commandPort != 0) {
        error = "the command and stream ports must differ";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}
