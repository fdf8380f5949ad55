#include "sim_options.h"

#include <QMap>

#include <climits>
#include <cmath>
#include <functional>

const char simUsage[] =
    R"(Usage: tervian-sim [options]
Simulates the Tervian vision application: answers DIDE requests on the command port and
streams measurement records "status,X,Z,width,zdiff,area;" on the stream port.

  --address A                listen address for both ports (default 127.0.0.1)
  --command-port N           DIDE command port (default 32001)
  --stream-port N            measurement stream port (default 32002)
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
  --help                     show this text

Prints one line per event on stdout: "listening on A:32001 and A:32002",
"command client connected", "request: <text>", "reply: <text>", "stream client connected",
"acquisition on", "acquisition off", "command client disconnected",
"stream client disconnected".
Exit codes: 0 after SIGTERM/SIGINT or --help, 1 when a port cannot be opened, 2 for bad options
or a capture that cannot be read.
)";

namespace
{

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
    if (!parseCount(text, 65535, value) || value == 0)
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
    const QMap<QString, bool*> flags{{"--stream-always", &o.streamAlways},
                                     {"--reject-acquisition", &o.rejectAcquisition},
                                     {"--no-reply", &o.noReply},
                                     {"--garbage", &o.garbage},
                                     {"--pieces", &o.pieces},
                                     {"--quiet", &o.quiet},
                                     {"--loop", &o.loop}};
    using Setter = std::function<bool(const QString&)>;
    const QMap<QString, Setter> valued{
        {"--address", [&](const QString& v) { return o.address.setAddress(v); }},
        {"--command-port", [&](const QString& v) { return parsePort(v, o.commandPort); }},
        {"--stream-port", [&](const QString& v) { return parsePort(v, o.streamPort); }},
        {"--rate", [&](const QString& v) { return parseRate(v, o.rate); }},
        {"--values", [&](const QString& v) { return parseRecord(v, o.fixedRecord); }},
        {"--reject-project",
         [&](const QString& v) {
             o.rejectedProjects.insert(v.toUtf8());
             return true;
         }},
        {"--replay",
         [&](const QString& v) {
             o.replay = v;
             return !v.isEmpty();
         }},
        {"--delay-ms", [&](const QString& v) { return parseCount(v, 600000, o.delayMs); }},
        {"--close-after-requests",
         [&](const QString& v) { return parseCount(v, INT_MAX, o.closeAfterRequests); }},
        {"--close-after-records",
         [&](const QString& v) { return parseCount(v, INT_MAX, o.closeAfterRecords); }},
    };

    for (int i = 0; i < args.size(); ++i) {
        QString name = args[i];
        QString value;
        const int equals = name.startsWith("--") ? name.indexOf('=') : -1;
        if (equals > 0) {
            value = name.mid(equals + 1);
            name.truncate(equals);
        }
        if (name == "--help" && equals < 0)
            return ParseOutcome::Help;
        if (flags.contains(name) && equals < 0) {
            *flags[name] = true;
            continue;
        }
        if (!valued.contains(name)) {
            error = "unknown option " + args[i];
            return ParseOutcome::Error;
        }
        if (equals < 0) {
            if (i + 1 == args.size()) {
                error = name + " needs a value";
                return ParseOutcome::Error;
            }
            value = args[++i];
        }
        if (!valued[name](value)) {
            error = QString("bad value for %1: %2").arg(name, value);
            return ParseOutcome::Error;
        }
    }
    if (o.commandPort == o.streamPort) {
        error = "the command and stream ports must differ";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}
