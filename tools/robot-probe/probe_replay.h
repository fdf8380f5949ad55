#ifndef PROBE_REPLAY_H
#define PROBE_REPLAY_H

#include "probe_args.h"

#include <functional>
#include <string>

// Plays the robot of a capture the bridge saved: its connections, and the request bytes in the
// pieces and at the spacing recorded (divided by options.speed), and compares each reply with
// the recorded one. Prints one line per difference and a summary; returns the exit status: 0
// all replies alike, 1 some differed, 2 the capture cannot be read. connect opens a connection
// to a port of the bridge's host, or returns -1 with the reason. A simulator replaying the same
// capture there is kept in step: each robot request is sent once the records that reached the
// bridge before it in the recording have reached it again, and none that came after it.
int ReplayRobot(const ProbeOptions& options,
                const std::function<int(int, std::string*)>& connect);

#endif // PROBE_REPLAY_H
