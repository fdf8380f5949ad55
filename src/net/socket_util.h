#ifndef SOCKET_UTIL_H
#define SOCKET_UTIL_H

#include "capture.h"
#include "descriptor.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include <netinet/in.h>

// The socket steps that the vision command client, the measurement stream reader and the robot
// server share. A stop is a descriptor that becomes readable when a stop is requested (the
// core's StopRequest); every wait here ends at once when it does.
namespace sockets
{

enum class ConnectStep {
    Connected,
    CreateFailed,
    ConnectFailed,
    WaitFailed,
    PendingError,
    Stopped
};

struct ConnectResult {
    ConnectStep step;
    Descriptor socket; // open and blocking when Connected, otherwise none
    int error;         // for PendingError: the socket's pending error (SO_ERROR)
    int retval;        // for PendingError: the result of reading it
    int errnoValue;    // for PendingError: errno right after that read; otherwise errno at the
                       // step that failed
};

// Connects a blocking IPv4 TCP socket to address (dotted decimal, as inet_addr reads it) and
// port, giving the connection at most 1 s to be established. The connection gets the bound of
// EnableKeepAlive.
ConnectResult ConnectWithin1s(const std::string& address, uint16_t port, int stop);

// The same for any address and time-out; stop may be -1 for none.
ConnectResult ConnectWithin(const sockaddr_in& server, int timeoutMs, int stop);

// Every function below that moves bytes records them, and a peer's close, through its tap; a
// receive or send that fails counts as a lost link there.

// Sends all of data, continuing after a short send. False when a send fails; a closed peer
// is reported that way instead of by SIGPIPE.
bool SendAll(int socket, const std::string& data, const capture::Tap& tap);
bool SendAll(int socket, const char* data, size_t size, const capture::Tap& tap);

// One send that never waits: what the socket cannot take now fails it (-1), as does a closed
// peer, without SIGPIPE. Returns what send returned.
long SendNow(int socket, const char* data, size_t size, const capture::Tap& tap);

// One blocking receive; returns what recv returned.
long Receive(int socket, char* buffer, size_t size, const capture::Tap& tap);

// A peer that vanishes without closing is noticed after about 6 s: 3 s of silence and three
// unanswered keep-alive probes 1 s apart, or 6 s of sent data left unacknowledged.
void EnableKeepAlive(int socket);

// Time-out that waits without limit.
constexpr int kNoLimit = -1;

enum class Wake { Ready, Stopped, TimedOut, Failed };

// Sleeps until socket is readable (data, a close or an error), stop is, or timeoutMs has passed.
// A stop comes first; a signal that interrupts the sleep does not end it.
Wake WaitReadable(int socket, int stop, int timeoutMs);

// Sleeps until one of descriptors (eight at most) is readable, closed or failed, or timeoutMs
// has passed. A signal or a failed poll may end it early, so callers look at all of them after.
void WaitForAny(std::initializer_list<int> descriptors, int timeoutMs);

enum class ReceiveStatus { Received, WaitFailed, ReceiveFailed, Stopped, TimedOut };

struct ReceiveResult {
    ReceiveStatus status;
    int length; // bytes received when Received; 0 means the peer closed the connection
};

// One receive of at most size bytes, waiting at most timeoutMs (or kNoLimit) for data.
ReceiveResult ReceiveWithin(int socket, char* buffer, size_t size, int timeoutMs, int stop,
                            const capture::Tap& tap);

// One receive of what is waiting now, without waiting; TimedOut when nothing is.
ReceiveResult ReceiveWaiting(int socket, char* buffer, size_t size, const capture::Tap& tap);

} // namespace sockets

#endif // SOCKET_UTIL_H
