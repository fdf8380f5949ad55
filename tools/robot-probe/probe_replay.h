#ifndef PROBE_REPLAY_H
#define PROBE_REPLAY_H

#include "probe_args.h"

#include <functional>
#include <string>

// Plays the robot of a capture the bridge saved: its connections, and the request bytes in the
// pieces and at the spacing recorded (divided by options.speed), and compares each reply with
// the recorded one. Prints one line per difference and a summary; returns the exit status: 0
// all replies alike, 1 some differed, 2 the capture cannot be read. connect opens a connection
// to the bridge, or returns -1 with the reason.
int ReplayRobot(const ProbeOptions& options, const std::function<int(std::string*)>& connect);

#endif // PROBE_REPLAY_H
