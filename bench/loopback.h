#ifndef LOOPBACK_H
#define LOOPBACK_H

#include <cstddef>
#include <cstdint>
#include <string>

// Blocking TCP on 127.0.0.1 for the harness, and the one clock all its timings use.
namespace loopback
{

// Monotonic time in nanoseconds.
int64_t NowNs();

void SleepUs(int64_t microseconds);

[[noreturn]] void Fail(const std::string& message);

// A listening socket on 127.0.0.1; port 0 picks a free one. -1 when the port is taken.
int Listen(uint16_t port);
uint16_t PortOf(int socket);

// Waits at most timeoutMs for a connection; -1 when none came.
int Accept(int listenSocket, int timeoutMs);

// One attempt; -1 when refused. Receives on the socket give up after 5 s. Sends go through
// sockets::SendAll, as the bridge's own.
int Connect(uint16_t port);

bool ReceiveExact(int socket, void* data, size_t size);

} // namespace loopback

#endif // LOOPBACK_H
