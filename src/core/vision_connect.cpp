#include "vision_connect.h"
#include "socket_util.h"

namespace
{

const int kConnectRetryPauseMs = 100;

} // namespace

Descriptor ConnectOrPause(DebugLog& log, const std::string& address, uint16_t port,
                          const char* peer, const char* owner, Worker& worker)
{
    sockets::ConnectResult result =
        sockets::ConnectWithin1s(address, port, worker.Stopping().Descriptor());
    switch (result.step) {
    case sockets::ConnectStep::Connected:
        log.Write("Connected to ", peer, "\n");
        return std::move(result.socket);
    case sockets::ConnectStep::Stopped:
        return Descriptor();
    case sockets::ConnectStep::CreateFailed:
        log.Write(owner, ": failed to create socket\n");
        break;
    case sockets::ConnectStep::ConnectFailed:
        log.Write("Failed to connect to ", peer, ". Retry\n");
        break;
    case sockets::ConnectStep::WaitFailed:
        log.Write("Failed to connect to ", peer, " (select). Retry\n");
        break;
    case sockets::ConnectStep::PendingError:
        log.Write("Failed to build a connection to ", peer, ". Retry ", result.error, " ",
                  result.retval, " ", result.errnoValue, "\n");
        break;
    }
    PauseBeforeRetry(log, kConnectRetryPauseMs, worker);
    return Descriptor();
}

void PauseBeforeRetry(DebugLog& log, int pauseMs, Worker& worker)
{
    log.Flush();
    worker.Liveness().Wait([&] { sockets::WaitForAny({worker.Stopping().Descriptor()}, pauseMs); });
}
