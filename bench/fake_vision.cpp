#include "fake_vision.h"

#include "loopback.h"
#include "socket_util.h"

#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr uint16_t kCommandPort = 32001;
constexpr uint16_t kStreamPort = 32002;
constexpr int kStopCheckMs = 100;

// The text between name=" and the next quote, empty when the attribute is missing.
std::string Attribute(const std::string& element, const std::string& name)
{
    const size_t start = element.find(name + "=\"");
    if (start == std::string::npos)
        return "";
    const size_t valueStart = start + name.size() + 2;
    return element.substr(valueStart, element.find('"', valueStart) - valueStart);
}

std::string WithoutExtension(const std::string& file)
{
    return file.substr(0, file.rfind(".t_p"));
}

} // namespace

FakeVision::FakeVision()
    : m_commandListener(loopback::Listen(kCommandPort)),
      m_streamListener(loopback::Listen(kStreamPort))
{
    if (m_commandListener == -1 || m_streamListener == -1)
        loopback::Fail("ports 32001 and 32002 must be free on 127.0.0.1");
    m_commandThread = std::thread(&FakeVision::AnswerRequests, this);
}

FakeVision::~FakeVision()
{
    m_stop = true;
    m_commandThread.join();
    for (int socket : {m_stream, m_streamListener, m_commandListener})
        if (socket != -1)
            close(socket);
}

bool FakeVision::WaitUntilBridgeReady(int timeoutMs)
{
    const int64_t deadline = loopback::NowNs() + int64_t(timeoutMs) * 1000000;
    m_stream = loopback::Accept(m_streamListener, timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    const int64_t leftNs = std::max<int64_t>(deadline - loopback::NowNs(), 0);
    return m_stream != -1 &&
           m_changed.wait_for(lock, std::chrono::nanoseconds(leftNs), [&] { return m_setUpDone; });
}

int64_t FakeVision::WriteRecord(const std::string& record)
{
    const int64_t now = loopback::NowNs();
    if (!sockets::SendAll(m_stream, record, capture::Tap()))
        loopback::Fail("the bridge closed the measurement stream");
    return now;
}

int64_t FakeVision::WaitForProjectLoad(const std::string& project, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool arrived = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                            [&] { return m_projectLoads.count(project) > 0; });
    if (!arrived)
        return -1;
    const int64_t arrival = m_projectLoads[project];
    m_projectLoads.erase(project);
    return arrival;
}

// Serves one command connection after the other; the bridge reconnects when one breaks.
void FakeVision::AnswerRequests()
{
    int socket = -1;
    char buffer[512];
    while (!m_stop) {
        if (socket == -1) {
            socket = loopback::Accept(m_commandListener, kStopCheckMs);
            continue;
        }
        pollfd ready{socket, POLLIN, 0};
        if (poll(&ready, 1, kStopCheckMs) != 1)
            continue;
        const ssize_t length = recv(socket, buffer, sizeof buffer, 0);
        const int64_t arrival = loopback::NowNs();
        if (length <= 0) {
            close(socket);
            socket = -1;
            continue;
        }
        Answer(socket, std::string(buffer, size_t(length)), arrival);
    }
    if (socket != -1)
        close(socket);
}

void FakeVision::Answer(int socket, const std::string& request, int64_t arrivalNs)
{
    const std::string command = Attribute(request, "CMD");
    const std::string reply = "<DIDE DIR=\"ReplyOk\" CMD=\"" + command + "\"/>";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (command == "Project_Load")
            m_projectLoads[WithoutExtension(Attribute(request, "FILE"))] = arrivalNs;
        else if (command == "Device_Acquisition")
            m_setUpDone = true;
    }
    m_changed.notify_all();
    sockets::SendAll(socket, reply, capture::Tap());
}
