// Vision command link: the DIDE client on port 32001 and the Connect/Disconnect control.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "backoff.h"
#include "dide_protocol.h"
#include "shutdown_signals.h"
#include "socket_util.h"

#include <algorithm>
#include <chrono>

namespace
{

const int kCommandPort = 32001;
const int kConnectRetryPauseMs = 100;
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

// Takes a pending signal without waiting, not even for the event's lock: a setter holds it while
// it makes the event readable, which is what woke this thread, and waiting for it would put the
// thread to sleep once more before the request goes out. A signal left so costs nothing: the
// wish was stored before it, and the event stays readable, so the next sleep ends at once.
bool Pending(events::event_t event)
{
    return events::WaitForEvent(event, 0) == 0;
}

} // namespace

void MainWindow::TervianClient()
{
    BeginClient();
    Backoff backoff;
    while (!m_bExitScannerThread) {
        m_bTervianOk = false;
        m_bAcquisitionOn = false;
        const Descriptor socket =
            ConnectOrPause(kCommandPort, "Tervian", "Tervian client", m_bExitScannerThread);
        const capture::Session recorded(m_commandTap, socket.Get());
        if (!socket.IsOpen())
            continue;
        m_bTervianClientConnected = true;
        m_replyReader.Clear();
        const SteadyClock::time_point connected = SteadyClock::now();
        if (SetUpProject(socket.Get()))
            ServeCommands(socket.Get());
        if (SteadyClock::now() - connected >= Backoff::kProvenAfter) // reconnected at once
            backoff.Reset();
        else
            PauseBeforeRetry(backoff.NextPauseMs(), m_bExitScannerThread);
        m_bTervianOk = false;
    }
    EndClient();
}

void MainWindow::BeginClient()
{
    m_bTervianClientRunning = true;
    m_bTervianClientConnected = false;
    m_bTervianOk = false;
    m_bError = false;
    m_bShowErrorOnce = false;
}

// Shared by the command client and the stream reader, which name their peer and themselves
// differently in the log. A failed attempt is followed by the retry pause; a stop ends both.
Descriptor MainWindow::ConnectOrPause(int port, const char* peer, const char* owner,
                                      const events::StopRequest& stop)
{
    sockets::ConnectResult result =
        sockets::ConnectWithin1s(m_sIP, uint16_t(port), stop.Descriptor());
    switch (result.step) {
    case sockets::ConnectStep::Connected:
        WriteLog("Connected to ", peer, "\n");
        return std::move(result.socket);
    case sockets::ConnectStep::Stopped:
        return Descriptor();
    case sockets::ConnectStep::CreateFailed:
        WriteLog(owner, ": failed to create socket\n");
        break;
    case sockets::ConnectStep::ConnectFailed:
        WriteLog("Failed to connect to ", peer, ". Retry\n");
        break;
    case sockets::ConnectStep::WaitFailed:
        WriteLog("Failed to connect to ", peer, " (select). Retry\n");
        break;
    case sockets::ConnectStep::PendingError:
        WriteLog("Failed to build a connection to ", peer, ". Retry ", result.error, " ",
                 result.retval, " ", result.errnoValue, "\n");
        break;
    }
    PauseBeforeRetry(kConnectRetryPauseMs, stop);
    return Descriptor();
}

void MainWindow::PauseBeforeRetry(int pauseMs, const events::StopRequest& stop)
{
    FlushLog();
    sockets::WaitForAny({stop.Descriptor()}, pauseMs);
}

// Loads the default project and switches acquisition off. False when the connection is lost;
// a rejection keeps the connection and goes on to serve commands. A rejected default project
// ends a wish for that project (the operator's Connect makes one).
bool MainWindow::SetUpProject(SOCKET socket)
{
    const unsigned programAsks = m_iProgramAsks;
    const int defaultProgram = dide::ProjectNumber(m_sID);
    const bool wished = m_iRobotProgram == defaultProgram;
    const Exchange loaded = Transact(socket, dide::LoadProjectRequest(m_sID), dide::kProjectLoad,
                                     ExchangeKind::DefaultProject);
    ReportRejection(loaded, "Loading default project NOT OK\n");
    if (loaded == Exchange::Rejected && wished)
        m_refused.program = programAsks;
    if (loaded != Exchange::Accepted)
        return loaded != Exchange::Lost;
    NoteProjectLoaded(defaultProgram);
    m_bError = false;
    return SwitchOffAfterLoad(socket);
}

bool MainWindow::SwitchOffAfterLoad(SOCKET socket)
{
    const Exchange off = Transact(socket, dide::AcquisitionRequest(false), dide::kDeviceAcquisition,
                                  ExchangeKind::Acquisition);
    ReportRejection(off, "Switching project off NOT OK\n");
    if (off != Exchange::Accepted)
        return off != Exchange::Lost;
    NoteAcquisition(false);
    m_bError = false;
    m_bTervianOk = true;
    WriteLog("Tervian project is ready\n");
    StartReaderOnce();
    return true;
}

// Serves the wishes of the robot and the operator as they come, and after every set-up the
// ones that stand, until the connection is lost or a stop is requested.
void MainWindow::ServeCommands(SOCKET socket)
{
    while (!m_bExitScannerThread && ReadUnsolicited(socket) && BringToWishes(socket))
        WaitForCommands(socket);
}

// Brings the application to the latest wishes, project first: records measured under the old
// project must not pass for the new one's. The events only say that a wish may have changed,
// so they are taken before the wishes are read. False when the connection is lost.
bool MainWindow::BringToWishes(SOCKET socket)
{
    while (!m_bExitScannerThread) {
        Pending(m_EventSwitchProgram);
        Pending(m_EventActivateLaser);
        Pending(m_EventDeactivateLaser);
        const unsigned programAsks = m_iProgramAsks;
        const int program = m_iRobotProgram;
        const unsigned laserAsks = m_iLaserAsks;
        const bool laserOn = m_bLaserWanted;
        if (programAsks != m_refused.program && program != m_iTervianProgram) {
            if (!SwitchProgram(socket, program, programAsks))
                return false;
        } else if (laserAsks != m_refused.laser && laserOn != m_bAcquisitionOn) {
            if (!SwitchAcquisition(socket, laserOn, laserAsks))
                return false;
        } else {
            return true;
        }
    }
    return true;
}

// Sleeps until the application sends something or closes, an event is signalled, or a stop.
// What the cycle logged is flushed first, as nothing may come for a long time.
void MainWindow::WaitForCommands(SOCKET socket)
{
    FlushLog();
    sockets::WaitForAny({socket, events::DescriptorOf(m_EventActivateLaser),
                         events::DescriptorOf(m_EventDeactivateLaser),
                         events::DescriptorOf(m_EventSwitchProgram),
                         m_bExitScannerThread.Descriptor()},
                        sockets::kNoLimit);
}

// A rejection leaves the laser lamp and the status reply with what the application confirmed.
bool MainWindow::SwitchAcquisition(SOCKET socket, bool on, unsigned asks)
{
    const Exchange result = Transact(socket, dide::AcquisitionRequest(on), dide::kDeviceAcquisition,
                                     ExchangeKind::Acquisition);
    ReportRejection(result, on ? "Setting Project on NOT OK\n" : "Setting Project off NOT OK\n");
    if (result == Exchange::Accepted) {
        m_bError = false;
        NoteAcquisition(on);
    }
    if (result == Exchange::Rejected) {
        m_refused.laser = asks;
        SetLaserOn(m_bAcquisitionOn);
    }
    return result != Exchange::Lost;
}

// Records count from the moment acquisition is confirmed on: the time is stored before the flag,
// so a reader that sees the flag sees the time too.
void MainWindow::NoteAcquisition(bool on)
{
    if (on && !m_bAcquisitionOn)
        m_tLaserSwitchedOn = SteadyClock::now();
    m_bAcquisitionOn = on;
    SetLaserOn(on);
}

// Records count from the load on, as from acquisition-on: the time is stored before the number,
// so a robot that sees the new project also sees its records judged by it.
void MainWindow::NoteProjectLoaded(int program)
{
    m_tProjectLoaded = SteadyClock::now();
    m_iTervianProgram = program;
}

// A rejected switch is only remembered in m_bBadprojectName: the robot keeps working with the
// project that is loaded, so it is no error of the vision link.
bool MainWindow::SwitchProgram(SOCKET socket, int program, unsigned asks)
{
    m_bBadprojectName = false;
    const Exchange result = Transact(socket, dide::LoadProjectRequest(std::to_string(program)),
                                     dide::kProjectLoad, ExchangeKind::ProgramSwitch);
    if (result == Exchange::Accepted)
        NoteProjectLoaded(program);
    if (result == Exchange::Rejected) {
        WriteLog("Bad project name\n");
        m_capture.NoteFault(capture::Fault::Rejection);
        m_bBadprojectName = true;
        m_refused.program = asks;
    }
    return result != Exchange::Lost;
}

// Sends one request and judges its reply: the first element the application sends that
// answers this command. What it sent unasked before is read and logged first.
MainWindow::Exchange MainWindow::Transact(SOCKET socket, const std::string& request,
                                          const char* command, ExchangeKind kind)
{
    const bool setUp = kind == ExchangeKind::DefaultProject;
    if (!ReadUnsolicited(socket))
        return Exchange::Lost;
    WriteLog(request, "\n");
    if (!sockets::SendAll(socket, request, m_commandTap)) {
        WriteLog(setUp ? "Tervian client: failed to send\n"
                       : "Tervian client: failed to send. Reconnecting\n");
        return Exchange::Lost;
    }
    std::string reply;
    if (!ReceiveReply(socket, command, &reply, setUp))
        return Exchange::Lost;
    WriteLog(reply, "\n");
    return dide::JudgeReply(reply, command) == dide::Verdict::Accepted ? Exchange::Accepted
                                                                       : Exchange::Rejected;
}

// Receives until the reply has come, in as many pieces as it comes. A stop ends the wait at
// once. False when the connection is lost or has to be given up: an application that closes
// it, hangs, or sends no end of an element is out of step for good.
bool MainWindow::ReceiveReply(SOCKET socket, const char* command, std::string* reply, bool setUp)
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
            WriteLog("Tervian client: reply longer than 64 KiB. Reconnecting\n");
            return false;
        }
        const sockets::ReceiveResult received =
            sockets::ReceiveWithin(socket, buffer, sizeof buffer, MillisecondsUntil(due),
                                   m_bExitScannerThread.Descriptor(), m_commandTap);
        if (received.status == sockets::ReceiveStatus::Stopped)
            return false;
        if (received.status == sockets::ReceiveStatus::TimedOut) {
            m_capture.NoteFault(capture::Fault::NoReply);
            WriteLog(begun ? "Tervian client: reply not ended within 2 s. Reconnecting\n"
                           : "Tervian client: no reply within 30 s. Reconnecting\n");
            return false;
        }
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            WriteLog(setUp ? "Tervian client: failed to recv\n"
                           : "Tervian client: failed to recv. Reconnecting\n");
            return false;
        }
        m_replyReader.Feed(std::string_view(buffer, size_t(received.length)));
    }
}

// Takes what has come whole: true with the reply to command, if it is there. The elements that
// answer something else, and bytes that are no element, are logged as unasked; unasked is set
// when an element was among them.
bool MainWindow::TakeReply(const char* command, std::string* reply, bool* unasked)
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
        WriteLog("Unsolicited from Tervian: ", text, "\n");
        *unasked = *unasked || element;
    }
}

// Reads and logs what the application sent unasked, so it is never taken for the reply to a
// later request. False when it has closed the connection, which is noticed this way while idle,
// or has begun an element that outgrew every reply.
bool MainWindow::ReadUnsolicited(SOCKET socket)
{
    char buffer[512];
    for (int read = 0; read < kMaxUnsolicitedReads; ++read) {
        const sockets::ReceiveResult received =
            sockets::ReceiveWaiting(socket, buffer, sizeof buffer, m_commandTap);
        if (received.status == sockets::ReceiveStatus::TimedOut)
            break;
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            WriteLog("Tervian closed the command connection. Reconnecting\n");
            return false;
        }
        m_replyReader.Feed(std::string_view(buffer, size_t(received.length)));
    }
    std::string none;
    bool unasked = false;
    TakeReply(nullptr, &none, &unasked);
    if (m_replyReader.Begun() > kMaxReplyBytes) {
        WriteLog("Tervian client: reply longer than 64 KiB. Reconnecting\n");
        return false;
    }
    return true;
}

void MainWindow::ReportRejection(Exchange result, const char* logText)
{
    if (result != Exchange::Rejected)
        return;
    WriteLog(logText);
    m_capture.NoteFault(capture::Fault::Rejection);
    m_bError = true;
    m_bShowErrorOnce = true;
}

// The reader lives from the first completed set-up until the client stops; reconnecting the
// command port leaves it running.
void MainWindow::StartReaderOnce()
{
    if (m_bReadingData)
        return;
    m_bReadingData = true;
    m_bExitValuesThread = false;
    pValuesThread = StartWithoutSignals(ReadDataThread, this);
}

void MainWindow::StopReader()
{
    if (!m_bReadingData)
        return;
    m_bExitValuesThread = true;
    if (pValuesThread != nullptr) {
        pValuesThread->join();
        pValuesThread.reset();
    }
    m_bReadingData = false;
}

void MainWindow::EndClient()
{
    StopReader();
    m_bTervianClientRunning = false;
    m_bTervianClientConnected = false;
    m_bTervianOk = false;
    m_bError = true;
    WriteLog("Disconnecting from Tervian\n");
}

// The client is marked running before its thread starts, so a second press can never start
// a second client; the handle of an ended client is joined before it is replaced.
void MainWindow::ConnectToTervian()
{
    if (!m_bTervianClientRunning) {
        m_sIP = ui->lineEditIP->text().toUtf8().toStdString();
        m_sID = ui->lineEditProjectID->text().toUtf8().toStdString();
        // The operator's project stands until the robot asks for another.
        RequestProgram(dide::ProjectNumber(m_sID));
        m_bExitScannerThread = false;
        m_bTervianClientRunning = true;
        if (pScannerThread != nullptr)
            pScannerThread->join();
        pScannerThread = StartWithoutSignals(TervianThread, this);
        ui->pushButtonConnect->setText(tr("Disconnect"));
    } else {
        ui->pushButtonConnect->setText(tr("Connect"));
        m_bExitScannerThread = true;
        m_bExitValuesThread = true;
    }
}
