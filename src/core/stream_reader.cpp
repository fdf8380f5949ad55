#include "stream_reader.h"

#include "backoff.h"
#include "socket_util.h"
#include "vision_connect.h"

#include <chrono>

StreamReader::StreamReader(Shared& shared, uint16_t port)
    : m_shared(shared), m_port(port), m_tap{&shared.capture, capture::Link::Stream}
{
}

void StreamReader::Start(const std::string& address)
{
    if (m_worker.Started())
        return;
    m_shared.link.Update([](LinkSnapshot& state) { state.streamReading = true; });
    m_worker.Start([this, address] { Run(address); });
}

void StreamReader::Stop()
{
    if (!m_worker.Started())
        return;
    m_worker.Stop();
    m_shared.link.Update([](LinkSnapshot& state) { state.streamReading = false; });
}

// The stream has no set-up of its own, so a connection that stayed up for a while counts as
// set up: one that breaks sooner is followed by the doubling pause, however much it delivered.
// Every start shows a fresh reader: no record decoded and all values zero.
void StreamReader::Run(std::string address)
{
    m_shared.record.Reset();
    Backoff backoff;
    while (!m_worker.Stopping()) {
        const Descriptor socket = ConnectOrPause(m_shared.log, address, m_port, "TCP device",
                                                 "TCP device thread", m_worker);
        const capture::Session recorded(m_tap, socket.Get());
        if (!socket.IsOpen())
            continue;
        const auto connected = std::chrono::steady_clock::now();
        NoteConnected(true);
        const bool stopped = ReceiveUntilStopped(socket.Get());
        NoteConnected(false);
        if (stopped)
            break;
        m_shared.record.EndConnection();
        if (std::chrono::steady_clock::now() - connected >= Backoff::kProvenAfter)
            backoff.Reset();
        else
            PauseBeforeRetry(m_shared.log, backoff.NextPauseMs(), m_worker);
    }
    m_shared.log.Write("Disconnecting from TCP device\n");
}

void StreamReader::NoteConnected(bool connected)
{
    m_shared.link.Update([connected](LinkSnapshot& state) { state.streamConnected = connected; });
}

// Stores every whole record that arrives, each under its own hold of the record's lock, so the
// robot always reads the flags and values of one record. True when a stop was requested, false
// when the connection broke and has to be made again.
bool StreamReader::ReceiveUntilStopped(int socket)
{
    const auto showTrend = [this](measurement::Clock::time_point decoded,
                                  const measurement::Values& values, bool recognised) {
        m_shared.trend.NoteRecord(decoded, values, recognised);
        m_shared.events.Publish(events::Record{events::NowMs(), values, recognised});
    };
    char block[measurement::kReceiveBytes];
    for (;;) {
        m_shared.log.Flush();
        const sockets::ReceiveResult received = m_worker.Liveness().Wait([&] {
            return sockets::ReceiveWithin(socket, block, sizeof block, sockets::kNoLimit,
                                          m_worker.Stopping().Descriptor(), m_tap);
        });
        if (received.status == sockets::ReceiveStatus::Stopped)
            return true;
        if (received.status == sockets::ReceiveStatus::WaitFailed) {
            ReportFault(m_shared, events::FaultKind::VisionLink,
                        "Error (select) in TCP device. Reconnecting\n");
            return false;
        }
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            ReportFault(m_shared, events::FaultKind::VisionLink,
                        "Error (recv) in TCP device. Reconnecting\n");
            return false;
        }
        if (!m_shared.record.Feed(block, received.length, measurement::Clock::now(), showTrend))
            m_shared.log.Write("Measurement record longer than 4096 bytes dropped\n");
        if (m_worker.Stopping())
            return true;
    }
}
