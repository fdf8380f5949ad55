#include "vision_client.h"

#include "backoff.h"
#include "socket_util.h"
#include "vision_connect.h"

#include <algorithm>
#include <chrono>

namespace
{

// A reply that has not begun by then, counted from the request, means the application hangs;
// loading a large project may take long, so the bound is generous. Events of the application's
// own meanwhile neither shorten nor stretch it. Once begun, the rest of an element comes at
// once: that bound starts at each element.
const int kReplyStartMs = 30000;
const int kReplyRestMs = 2000;
// More than this without the end of the element is no reply but a peer out of its mind.
const size_t kMaxReplyBytes = 64 * 1024;
// Unasked bytes read in one go at most, so that a babbling peer cannot hold the loop.
const int kMaxUnsolicitedReads = 16;

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point due)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
    return std::max(int(left.count()), 0);
}

} // namespace

VisionClient::VisionClient(Shared& shared, Config config)
    : m_shared(shared), m_config(config), m_tap{&shared.capture, capture::Link::Command},
      m_stream(shared, config.streamPort)
{
}

// The handle of an ended client is joined before it is replaced.
void VisionClient::Start(const std::string& address, const std::string& projectId)
{
    if (m_shared.link.Snapshot().clientRunning)
        return;
    m_shared.link.Update([](LinkSnapshot& state) { state.clientRunning = true; });
    m_worker.Join();
    m_address = address;
    m_projectId = projectId;
    m_worker.Start([this] { Run(); });
}

void VisionClient::Run()
{
    Begin();
    Backoff backoff;
    while (!m_worker.Stopping()) {
        m_shared.link.Update([](LinkSnapshot& state) {
            state.visionReady = false;
            state.acquisitionOn = false;
        });
        const Descriptor socket = ConnectOrPause(m_shared.log, m_address, m_config.commandPort,
                                                 "Tervian", "Tervian client", m_worker);
        const capture::Session recorded(m_tap, socket.Get());
        if (!socket.IsOpen())
            continue;
        m_shared.link.Update([](LinkSnapshot& state) { state.clientConnected = true; });
        m_replyReader.Clear();
        const Clock::time_point connected = Clock::now();
        if (SetUpProject(socket.Get()))
            ServeCommands(socket.Get());
        if (Clock::now() - connected >= Backoff::kProvenAfter) // reconnected at once
            backoff.Reset();
        else
            PauseBeforeRetry(m_shared.log, backoff.NextPauseMs(), m_worker);
        SetReady(false);
    }
    End();
}

void VisionClient::Begin()
{
    m_shared.link.Update([](LinkSnapshot& state) {
        state.clientConnected = false;
        state.visionReady = false;
        state.visionError = false;
    });
}

// The reader is joined before the client counts as stopped, so that nobody who sees the client
// stopped can meet a reader still running.
void VisionClient::End()
{
    m_stream.Stop();
    m_shared.link.Update([](LinkSnapshot& state) {
        state.clientRunning = false;
        state.clientConnected = false;
        state.visionReady = false;
        state.visionError = true;
    });
    m_shared.log.Write("Disconnecting from Tervian\n");
}

void VisionClient::SetReady(bool ready)
{
    m_shared.link.Update([ready](LinkSnapshot& state) { state.visionReady = ready; });
}

// Loads the default project and switches acquisition off. False when the connection is lost;
// a rejection keeps the connection and goes on to serve commands. A rejected default project
// ends a wish for that project (the operator's Connect makes one).
bool VisionClient::SetUpProject(int socket)
{
    const LinkSnapshot wishes = m_shared.link.Snapshot();
    const int defaultProgram = dide::ProjectNumber(m_projectId);
    const Exchange loaded = Transact(socket, dide::LoadProjectRequest(m_projectId),
                                     dide::kProjectLoad, ExchangeKind::DefaultProject);
    ReportRejection(loaded, "Loading default project NOT OK\n");
    if (loaded == Exchange::Rejected && wishes.projectWanted == defaultProgram)
        m_refused.program = wishes.projectAsks;
    if (loaded != Exchange::Accepted)
        return loaded != Exchange::Lost;
    NoteProjectLoaded(defaultProgram);
    m_shared.link.Update([](LinkSnapshot& state) { state.visionError = false; });
    return SwitchOffAfterLoad(socket);
}

bool VisionClient::SwitchOffAfterLoad(int socket)
{
    const Exchange off = Transact(socket, dide::AcquisitionRequest(false), dide::kDeviceAcquisition,
                                  ExchangeKind::Acquisition);
    ReportRejection(off, "Switching project off NOT OK\n");
    if (off != Exchange::Accepted)
        return off != Exchange::Lost;
    NoteAcquisition(false);
    m_shared.link.Update([](LinkSnapshot& state) {
        state.visionError = false;
        state.visionReady = true;
    });
    m_shared.log.Write("Tervian project is ready\n");
    // The reader lives from the first completed set-up until the client stops; reconnecting the
    // command port leaves it running.
    m_stream.Start(m_address);
    return true;
}

// Serves the wishes of the robot and the operator as they come, and after every set-up the
// ones that stand, until the connection is lost or a stop is requested.
void VisionClient::ServeCommands(int socket)
{
    while (!m_worker.Stopping() && ReadUnsolicited(socket) && BringToWishes(socket))
        WaitForCommands(socket);
}

// Brings the application to the latest wishes, project first: records measured under the old
// project must not pass for the new one's. The wake only says that a wish may have changed, so
// it is taken before the wishes are read. False when the connection is lost.
bool VisionClient::BringToWishes(int socket)
{
    while (!m_worker.Stopping()) {
        m_shared.link.TakeWish();
        const LinkSnapshot state = m_shared.link.Snapshot();
        if (state.projectAsks != m_refused.program && state.projectWanted != state.loadedProject) {
            if (!SwitchProgram(socket, state.projectWanted, state.projectAsks))
                return false;
        } else if (state.laserAsks != m_refused.laser && state.laserWanted != state.acquisitionOn) {
            if (!SwitchAcquisition(socket, state.laserWanted, state.laserAsks))
                return false;
        } else {
            return true;
        }
    }
    return true;
}

// Sleeps until the application sends something or closes, a wish is made, or a stop. What the
// cycle logged is flushed first, as nothing may come for a long time.
void VisionClient::WaitForCommands(int socket)
{
    m_shared.log.Flush();
    m_worker.Liveness().Wait([&] {
        sockets::WaitForAny(
            {socket, m_shared.link.WishDescriptor(), m_worker.Stopping().Descriptor()},
            sockets::kNoLimit);
    });
}

// A rejection leaves the laser lamp and the status reply with what the application confirmed.
bool VisionClient::SwitchAcquisition(int socket, bool on, unsigned asks)
{
    const Exchange result = Transact(socket, dide::AcquisitionRequest(on), dide::kDeviceAcquisition,
                                     ExchangeKind::Acquisition);
    ReportRejection(result, on ? "Setting Project on NOT OK\n" : "Setting Project off NOT OK\n");
    if (result == Exchange::Accepted) {
        m_shared.link.Update([](LinkSnapshot& state) { state.visionError = false; });
        NoteAcquisition(on);
    }
    if (result == Exchange::Rejected) {
        m_refused.laser = asks;
        m_shared.link.Update([](LinkSnapshot& state) { state.laserOn = state.acquisitionOn; });
    }
    return result != Exchange::Lost;
}

// Records count from the moment acquisition is confirmed on: the time and the flag change
// together.
void VisionClient::NoteAcquisition(bool on)
{
    const Clock::time_point now = Clock::now();
    m_shared.link.Update([on, now](LinkSnapshot& state) {
        if (on && !state.acquisitionOn)
            state.acquisitionSince = now;
        state.acquisitionOn = on;
        state.laserOn = on;
    });
}

// Records count from the load on, as from acquisition-on: the time and the number change
// together, so a robot that sees the new project also sees its records judged by it.
void VisionClient::NoteProjectLoaded(int program)
{
    const Clock::time_point now = Clock::now();
    m_shared.link.Update([program, now](LinkSnapshot& state) {
        state.projectLoadedAt = now;
        state.loadedProject = program;
    });
}

// A rejected switch is only logged: the robot keeps working with the project that is loaded,
// so it is no error of the vision link.
bool VisionClient::SwitchProgram(int socket, int program, unsigned asks)
{
    const Exchange result = Transact(socket, dide::LoadProjectRequest(std::to_string(program)),
                                     dide::kProjectLoad, ExchangeKind::ProgramSwitch);
    if (result == Exchange::Accepted)
        NoteProjectLoaded(program);
    if (result == Exchange::Rejected) {
        ReportFault(m_shared, events::FaultKind::Rejection, "Bad project name\n");
        m_shared.capture.NoteFault(capture::Fault::Rejection);
        m_refused.program = asks;
    }
    return result != Exchange::Lost;
}

// Sends one request and judges its reply: the first element the application sends that
// answers this command. What it sent unasked before is read and logged first.
VisionClient::Exchange VisionClient::Transact(int socket, const std::string& request,
                                              const char* command, ExchangeKind kind)
{
    const bool setUp = kind == ExchangeKind::DefaultProject;
    if (!ReadUnsolicited(socket))
        return Exchange::Lost;
    m_shared.log.Write(request, "\n");
    if (!sockets::SendAll(socket, request, m_tap)) {
        ReportFault(m_shared, events::FaultKind::VisionLink,
                    setUp ? "Tervian client: failed to send\n"
                          : "Tervian client: failed to send. Reconnecting\n");
        return Exchange::Lost;
    }
    std::string reply;
    if (!ReceiveReply(socket, command, &reply, setUp))
        return Exchange::Lost;
    m_shared.log.Write(reply, "\n");
    return dide::JudgeReply(reply, command) == dide::Verdict::Accepted ? Exchange::Accepted
                                                                       : Exchange::Rejected;
}

// Receives until the reply has come, in as many pieces as it comes. A stop ends the wait at
// once. False when the connection is lost or has to be given up: an application that closes
// it, hangs, or sends no end of an element is out of step for good.
bool VisionClient::ReceiveReply(int socket, const char* command, std::string* reply, bool setUp)
{
    char buffer[512];
    bool begun = false;
    const Clock::time_point startDue = Clock::now() + std::chrono::milliseconds(kReplyStartMs);
    Clock::time_point due = startDue;
    for (;;) {
        bool unasked = false;
        if (TakeReply(command, reply, &unasked))
            return true;
        if (unasked) {
            begun = false;
            due = startDue;
        }
        if (!begun && m_replyReader.Begun() > 0) {
            begun = true;
            due = Clock::now() + std::chrono::milliseconds(kReplyRestMs);
        }
        if (m_replyReader.Begun() > kMaxReplyBytes) {
            ReportFault(m_shared, events::FaultKind::VisionLink,
                        "Tervian client: reply longer than 64 KiB. Reconnecting\n");
            return false;
        }
        // A wait with a deadline: the worker comes back from it by itself.
        const sockets::ReceiveResult received = m_worker.Liveness().Wait([&] {
            return sockets::ReceiveWithin(socket, buffer, sizeof buffer, MillisecondsUntil(due),
                                          m_worker.Stopping().Descriptor(), m_tap);
        });
        if (received.status == sockets::ReceiveStatus::Stopped)
            return false;
        if (received.status == sockets::ReceiveStatus::TimedOut) {
            m_shared.capture.NoteFault(capture::Fault::NoReply);
            ReportFault(m_shared, events::FaultKind::NoReply,
                        begun ? "Tervian client: reply not ended within 2 s. Reconnecting\n"
                              : "Tervian client: no reply within 30 s. Reconnecting\n");
            return false;
        }
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            ReportFault(m_shared, events::FaultKind::VisionLink,
                        setUp ? "Tervian client: failed to recv\n"
                              : "Tervian client: failed to recv. Reconnecting\n");
            return false;
        }
        m_replyReader.Feed(std::string_view(buffer, size_t(received.length)));
    }
}

// Takes what has come whole: true with the reply to command, if it is there. The elements that
// answer something else, and bytes that are no element, are logged as unasked; unasked is set
// when an element was among them.
bool VisionClient::TakeReply(const char* command, std::string* reply, bool* unasked)
{
    std::string text;
    for (;;) {
        const dide::ElementReader::Piece piece = m_replyReader.Next(&text);
        if (piece == dide::ElementReader::Piece::None)
            return false;
        const bool element = piece == dide::ElementReader::Piece::Element;
        if (element && command != nullptr &&
            dide::JudgeReply(text, command) != dide::Verdict::Unrelated) {
            *reply = std::move(text);
            return true;
        }
        m_shared.log.Write("Unsolicited from Tervian: ", text, "\n");
        if (element)
            m_shared.link.Update([](LinkSnapshot& state) { ++state.unsolicitedElements; });
        *unasked = *unasked || element;
    }
}

// Reads and logs what the application sent unasked, so it is never taken for the reply to a
// later request. False when it has closed the connection, which is noticed this way while idle,
// or has begun an element that outgrew every reply.
bool VisionClient::ReadUnsolicited(int socket)
{
    char buffer[512];
    for (int read = 0; read < kMaxUnsolicitedReads; ++read) {
        const sockets::ReceiveResult received =
            sockets::ReceiveWaiting(socket, buffer, sizeof buffer, m_tap);
        if (received.status == sockets::ReceiveStatus::TimedOut)
            break;
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            ReportFault(m_shared, events::FaultKind::VisionLink,
                        "Tervian closed the command connection. Reconnecting\n");
            return false;
        }
        m_replyReader.Feed(std::string_view(buffer, size_t(received.length)));
    }
    std::string none;
    bool unasked = false;
    TakeReply(nullptr, &none, &unasked);
    if (m_replyReader.Begun() > kMaxReplyBytes) {
        ReportFault(m_shared, events::FaultKind::VisionLink,
                    "Tervian client: reply longer than 64 KiB. Reconnecting\n");
        return false;
    }
    return true;
}

void VisionClient::ReportRejection(Exchange result, const char* logText)
{
    if (result != Exchange::Rejected)
        return;
    ReportFault(m_shared, events::FaultKind::Rejection, logText);
    m_shared.capture.NoteFault(capture::Fault::Rejection);
    m_shared.link.Update([](LinkSnapshot& state) {
        state.visionError = true;
        ++state.visionFailures;
    });
}
