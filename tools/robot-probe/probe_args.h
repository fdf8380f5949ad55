#ifndef PROBE_ARGS_H
#define PROBE_ARGS_H

#include <string>
#include <vector>

// One request to send, sent `repeat` times with a pause between, and the name under which
// each reply is printed.
struct Exchange {
    std::string name;
    std::string request;
    long repeat = 1;
    int intervalMs = 0;
};

struct ProbeOptions {
    std::string host = "127.0.0.1";
    int port = 5020;
    int timeoutMs = 2000;
    bool help = false;
    std::string replay; // a capture whose robot side is played instead of commands
    int speed = 1;
    int tolerance = 0; // hundredths a replayed joint value may differ by
    std::vector<Exchange> exchanges;
};

// Fills options from the arguments after the program name; on a bad argument returns false
// with a message that names it.
bool ParseProbeArgs(const std::vector<std::string>& args, ProbeOptions* options,
                    std::string* error);

extern const char* const kProbeUsage;

#endif // PROBE_ARGS_H
