// Vision command link: the DIDE client on port 32001 and the Connect/Disconnect control.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "dide_protocol.h"
#include "socket_util.h"

#include <unistd.h>

namespace
{

const int kCommandPort = 32001;
const useconds_t kConnectRetryPause = 100000;
const uint64_t kEventWaitMs = 10;

bool Signalled(events::event_t event)
{
    return events::WaitForEvent(event, kEventWaitMs) == 0;
}

} // namespace

void MainWindow::TervianClient()
{
    BeginClient();
    while (!m_bExitScannerThread) {
        m_bTervianOk = false;
        const SOCKET socket = ConnectOrPause(kCommandPort, "Tervian", "Tervian client");
        if (socket == -1)
            continue;
        m_bTervianClientConnected = true;
        if (SetUpProject(socket))
            ServeCommands(socket);
        ::close(socket);
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
// differently in the log. A failed attempt is followed by the retry pause.
SOCKET MainWindow::ConnectOrPause(int port, const char* peer, const char* owner)
{
    const sockets::ConnectResult result = sockets::ConnectWithin1s(m_sIP, uint16_t(port));
    switch (result.step) {
    case sockets::ConnectStep::Connected:
        WriteLog("Connected to ", peer, "\n");
        return result.socket;
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
    usleep(kConnectRetryPause);
    return -1;
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

// One cycle waits 10 ms on each event in a fixed order, so laser on is served before laser
// off when both are pending. Returns when the connection is lost or a stop is requested.
void MainWindow::ServeCommands(SOCKET socket)
{
    for (;;) {
        FlushLog();
        if (Signalled(m_EventActivateLaser) && !SwitchAcquisition(socket, true))
            return;
        if (Signalled(m_EventDeactivateLaser) && !SwitchAcquisition(socket, false))
            return;
        if (Signalled(m_EventSwitchProgram) && !SwitchProgram(socket))
            return;
        if (m_bExitScannerThread)
            return;
    }
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
        m_bBadprojectName = true;
    }
    return result != Exchange::Lost;
}

// Sends one request and judges the one reply. The reply is awaited without a time-out, since
// loading a large project may take long, but a stop request ends the wait.
MainWindow::Exchange MainWindow::Transact(SOCKET socket, const std::string& request,
                                          const char* command, ExchangeKind kind)
{
    const char* lostSuffix = kind == ExchangeKind::DefaultProject ? "\n" : ". Reconnecting\n";
    WriteLog(request, "\n");
    if (!sockets::SendAll(socket, request)) {
        WriteLog("Tervian client: failed to send", lostSuffix);
        return Exchange::Lost;
    }
    char buffer[512];
    const sockets::ReceiveResult received =
        sockets::ReceiveUnlessStopped(socket, buffer, sizeof buffer, m_bExitScannerThread);
    if (received.status == sockets::ReceiveStatus::Stopped)
        return Exchange::Lost;
    // Only a program switch takes a closed connection (an empty reply) as lost at once.
    if (received.status != sockets::ReceiveStatus::Received ||
        (received.length == 0 && kind == ExchangeKind::ProgramSwitch)) {
        WriteLog("Tervian client: failed to recv", lostSuffix);
        return Exchange::Lost;
    }
    const std::string reply(buffer, size_t(received.length));
    WriteLog(reply, "\n");
    return CheckDideReply(reply, command) ? Exchange::Accepted : Exchange::Rejected;
}

void MainWindow::ReportRejection(Exchange result, const char* logText)
{
    if (result != Exchange::Rejected)
        return;
    WriteLog(logText);
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
    pValuesThread = new std::thread(ReadDataThread, this);
}

void MainWindow::StopReader()
{
    if (!m_bReadingData)
        return;
    m_bExitValuesThread = true;
    if (pValuesThread != nullptr) {
        pValuesThread->join();
        delete pValuesThread;
        pValuesThread = nullptr;
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
        if (pScannerThread != nullptr) {
            pScannerThread->join();
            delete pScannerThread;
        }
        pScannerThread = new std::thread(TervianThread, this);
        ui->pushButtonConnect->setText("Disconnect");
    } else {
        ui->pushButtonConnect->setText("Connect");
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
