#ifndef SOCKET_UTIL_H
#define SOCKET_UTIL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// The socket steps that the vision command client and the measurement stream reader share.
namespace sockets
{

enum class ConnectStep { Connected, CreateFailed, ConnectFailed, WaitFailed, PendingError };

struct ConnectResult {
    ConnectStep step;
    int socket;     // open and blocking when Connected, otherwise -1 (already closed)
    int error;      // for PendingError: the socket's pending error (SO_ERROR)
    int retval;     // for PendingError: the result of reading it
    int errnoValue; // for PendingError: errno right after that read
};

// Connects a blocking IPv4 TCP socket to address (dotted decimal, as inet_addr reads it) and
// port, giving the connection at most 1 s to be established. The connection gets the bound of
// EnableKeepAlive.
ConnectResult ConnectWithin1s(const std::string& address, uint16_t port);

// Sends all of data, continuing after a short send. False when a send fails; a closed peer
// is reported that way instead of by SIGPIPE.
bool SendAll(int socket, const std::string& data);

// A peer that vanishes without closing is noticed after about 6 s: 3 s of silence and three
// unanswered keep-alive probes 1 s apart, or 6 s of sent data left unacknowledged.
void EnableKeepAlive(int socket);

enum class ReceiveStatus { Received, WaitFailed, ReceiveFailed, Stopped, TimedOut };

struct ReceiveResult {
    ReceiveStatus status;
    int length; // bytes received when Received; 0 means the peer closed the connection
};

// One receive of at most size bytes. It waits for data in steps of 1 s; after every idle step
// it pauses 10 ms and gives up with Stopped once stop is set. There is no overall time-out.
ReceiveResult ReceiveUnlessStopped(int socket, char* buffer, size_t size,
                                   const std::atomic<bool>& stop);

// One receive of at most size bytes, waiting at most timeoutMs for data in steps of at most
// 1 s; Stopped once stop is seen after a step, TimedOut when the time is up.
ReceiveResult ReceiveWithin(int socket, char* buffer, size_t size, int timeoutMs,
                            const std::atomic<bool>& stop);

// One receive of what is waiting now, without waiting; TimedOut when nothing is.
ReceiveResult ReceiveWaiting(int socket, char* buffer, size_t size);

} // namespace sockets

#endif // SOCKET_UTIL_H
