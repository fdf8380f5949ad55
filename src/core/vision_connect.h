// Connecting to the vision application, shared by the command client and the stream reader.
#ifndef VISION_CONNECT_H
#define VISION_CONNECT_H

#include "debug_log.h"
#include "descriptor.h"
#include "worker.h"

#include <cstdint>
#include <string>

// A connection to address:port, or none after a failed attempt and its retry pause, or at a
// stop of the worker. The command client and the stream reader name their peer and themselves
// differently in the log.
Descriptor ConnectOrPause(DebugLog& log, const std::string& address, uint16_t port,
                          const char* peer, const char* owner, Worker& worker);

// Flushes the log and sleeps for pauseMs, or until the worker is stopped; a wait, however long.
void PauseBeforeRetry(DebugLog& log, int pauseMs, Worker& worker);

#endif // VISION_CONNECT_H
