// Vision command link: the DIDE client on port 32001 and the Connect/Disconnect control.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "dide_protocol.h"
#include "socket_util.h"

#include <algorithm>
#include <chrono>

namespace
{

const int kCommandPort = 32001;
const int kConnectRetryPauseMs = 100;
// A reply that has not begun by then means the application hangs; loading a large project may
// take long, so the bound is generous. Once begun, the rest of a reply comes at once.
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

// Takes a pending signal without waiting.
bool Pending(events::event_t event)
{
    return events::TakeEvent(event) == 0;
}

} // namespace

void MainWindow::TervianClient()
{
    BeginClient();
    LostRequests lost;
    while (!m_bExitScannerThread) {
        m_bTervianOk = false;
        const Descriptor socket =
            ConnectOrPause(kCommandPort, "Tervian", "Tervian client", m_bExitScannerThread);
        const capture::Session recorded(m_commandTap, socket.Get());
        if (!socket.IsOpen())
            continue;
        m_bTervianClientConnected = true;
        if (SetUpProject(socket.Get()) && CatchUp(socket.Get(), &lost))
            ServeCommands(socket.Get(), &lost);
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
    FlushLog();
    sockets::WaitForAny({stop.Descriptor()}, kConnectRetryPauseMs);
    return Descriptor();
}

// Loads the default project and switches acquisition off. False when the connection is lost;
// a rejection keeps the connection and goes on to serve commands.
bool MainWindow::SetUpProject(SOCKET socket)
{
    const Exchange loaded = Transact(socket, dide::LoadProjectRequest(m_sID), dide::kProjectLoad,
                                     ExchangeKind::DefaultProject);
    ReportRejection(loaded, "Loading default project NOT OK\n");
    if (loaded != Exchange::Accepted)
        return loaded != Exchange::Lost;
    m_iTervianProgram = dide::ProjectNumber(m_sID);
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
    SetLaserOn(false);
    m_bError = false;
    m_bTervianOk = true;
    WriteLog("Tervian project is ready\n");
    StartReaderOnce();
    return true;
}

// The robot's requests that a lost connection kept from being carried out are made right
// after the set-up, with its latest wishes: the program it asked for last, the laser state it
// set last (laser requests made meanwhile are served here too, so their order is not lost).
// False when the connection is lost again.
bool MainWindow::CatchUp(SOCKET socket, LostRequests* lost)
{
    if (lost->program) {
        Pending(m_EventSwitchProgram);
        if (m_iRobotProgram != m_iTervianProgram && !SwitchProgram(socket))
            return false;
        lost->program = false;
    }
    const bool onAsked = Pending(m_EventActivateLaser);
    const bool offAsked = Pending(m_EventDeactivateLaser);
    if (lost->laser || onAsked || offAsked) {
        if (!SwitchAcquisition(socket, m_bLaserWanted))
            return false;
        lost->laser = false;
    }
    return true;
}

// One cycle serves what has come, in a fixed order: what the application sent unasked, then
// laser on before laser off before the program switch, and then sleeps until more comes.
// Returns when the connection is lost or a stop is requested; a request that the lost
// connection kept from being carried out is noted in lost.
void MainWindow::ServeCommands(SOCKET socket, LostRequests* lost)
{
    for (;;) {
        FlushLog();
        if (!ReadUnsolicited(socket))
            return;
        if (Pending(m_EventActivateLaser) && !SwitchAcquisition(socket, true)) {
            lost->laser = true;
            return;
        }
        if (Pending(m_EventDeactivateLaser) && !SwitchAcquisition(socket, false)) {
            lost->laser = true;
            return;
        }
        if (Pending(m_EventSwitchProgram) && !SwitchProgram(socket)) {
            lost->program = true;
            return;
        }
        if (m_bExitScannerThread)
            return;
        WaitForCommands(socket);
    }
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

bool MainWindow::SwitchAcquisition(SOCKET socket, bool on)
{
    const Exchange result = Transact(socket, dide::AcquisitionRequest(on), dide::kDeviceAcquisition,
                                     ExchangeKind::Acquisition);
    ReportRejection(result, on ? "Setting Project on NOT OK\n" : "Setting Project off NOT OK\n");
    if (result == Exchange::Accepted) {
        m_bError = false;
        SetLaserOn(on);
    }
    return result != Exchange::Lost;
}

// A rejected switch is only remembered in m_bBadprojectName: the robot keeps working with the
// project that is loaded, so it is no error of the vision link.
bool MainWindow::SwitchProgram(SOCKET socket)
{
    m_bBadprojectName = false;
    const int program = m_iRobotProgram;
    const Exchange result = Transact(socket, dide::LoadProjectRequest(std::to_string(program)),
                                     dide::kProjectLoad, ExchangeKind::ProgramSwitch);
    if (result == Exchange::Accepted)
        m_iTervianProgram = program;
    if (result == Exchange::Rejected) {
        WriteLog("Bad project name\n");
        m_capture.NoteFault();
        m_bBadprojectName = true;
    }
    return result != Exchange::Lost;
}

// Sends one request and judges its reply, which must be the next thing the application
// sends: what it sent unasked before is read and logged first.
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
    if (!ReceiveReply(socket, &reply, setUp))
        return Exchange::Lost;
    WriteLog(reply, "\n");
    return CheckDideReply(reply, command) ? Exchange::Accepted : Exchange::Rejected;
}

// Receives until the reply's element has ended, in as many pieces as it comes. A stop ends the
// wait at once. False when the connection is lost or has to be given up: an
// application that closes it, hangs, or sends no end of a reply is out of step for good.
bool MainWindow::ReceiveReply(SOCKET socket, std::string* reply, bool setUp)
{
    char buffer[512];
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(kReplyStartMs);
    for (;;) {
        const sockets::ReceiveResult received =
            sockets::ReceiveWithin(socket, buffer, sizeof buffer, MillisecondsUntil(due),
                                   m_bExitScannerThread.Descriptor(), m_commandTap);
        if (received.status == sockets::ReceiveStatus::Stopped)
            return false;
        if (received.status == sockets::ReceiveStatus::TimedOut) {
            m_capture.NoteFault();
            WriteLog(reply->empty() ? "Tervian client: no reply within 30 s. Reconnecting\n"
                                    : "Tervian client: reply not ended within 2 s. Reconnecting\n");
            return false;
        }
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            WriteLog(setUp ? "Tervian client: failed to recv\n"
                           : "Tervian client: failed to recv. Reconnecting\n");
            return false;
        }
        if (reply->empty())
            due = Clock::now() + std::chrono::milliseconds(kReplyRestMs);
        reply->append(buffer, size_t(received.length));
        if (TakeWholeReply(reply))
            return true;
        if (reply->size() > kMaxReplyBytes) {
            WriteLog("Tervian client: reply longer than 64 KiB. Reconnecting\n");
            return false;
        }
    }
}

// Cuts the received text after the reply's element; what came after it was sent unasked.
bool MainWindow::TakeWholeReply(std::string* received)
{
    const size_t length = dide::ReplyLength(*received);
    if (length == 0)
        return false;
    if (length < received->size())
        WriteLog("Unsolicited from Tervian: ", received->substr(length), "\n");
    received->resize(length);
    return true;
}

// Reads and logs what the application sent unasked, so it is never taken for the reply to a
// later request. False when it has closed the connection, which is noticed this way while idle.
bool MainWindow::ReadUnsolicited(SOCKET socket)
{
    char buffer[512];
    for (int read = 0; read < kMaxUnsolicitedReads; ++read) {
        const sockets::ReceiveResult received =
            sockets::ReceiveWaiting(socket, buffer, sizeof buffer, m_commandTap);
        if (received.status == sockets::ReceiveStatus::TimedOut)
            return true;
        if (received.status != sockets::ReceiveStatus::Received || received.length == 0) {
            WriteLog("Tervian closed the command connection. Reconnecting\n");
            return false;
        }
        WriteLog("Unsolicited from Tervian: ", std::string(buffer, size_t(received.length)), "\n");
    }
    return true;
}

void MainWindow::ReportRejection(Exchange result, const char* logText)
{
    if (result != Exchange::Rejected)
        return;
    WriteLog(logText);
    m_capture.NoteFault();
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
    pValuesThread = std::make_unique<std::thread>(ReadDataThread, this);
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
        m_bExitScannerThread = false;
        m_bTervianClientRunning = true;
        if (pScannerThread != nullptr)
            pScannerThread->join();
        pScannerThread = std::make_unique<std::thread>(TervianThread, this);
        ui->pushButtonConnect->setText(tr("Disconnect"));
    } else {
        ui->pushButtonConnect->setText(tr("Connect"));
        m_bExitScannerThread = true;
        m_bExitValuesThread = true;
    }
}

bool MainWindow::CheckDideReply(const std::string& reply, const std::string& command)
{
    return dide::IsSuccessReply(reply, command);
}

bool MainWindow::GetDideValue(const std::string& reply, int* value)
{
    return dide::ReadValue(reply, value);
}
