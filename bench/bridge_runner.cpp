#include "bridge_runner.h"

#include "loopback.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string ReadText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool Exited(pid_t pid, int timeoutMs)
{
    const int64_t deadline = loopback::NowNs() + int64_t(timeoutMs) * 1000000;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (loopback::NowNs() > deadline)
            return false;
        loopback::SleepUs(200);
    }
    return true;
}

} // namespace

BridgeRunner::BridgeRunner(const std::string& runDir) : m_runDir(runDir) {}

BridgeRunner::~BridgeRunner()
{
    Stop();
}

void BridgeRunner::Start(const char* option)
{
    const std::string program = m_runDir + "/tervian-bridge";
    const std::string output = m_runDir + "/bridge-output.txt";
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (chdir(m_runDir.c_str()) == 0)
            execl(program.c_str(), program.c_str(), option, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (m_pid == -1)
        loopback::Fail("cannot start " + program);
}

void BridgeRunner::Stop()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    if (!Exited(m_pid, 5000)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
}

void BridgeRunner::Kill()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

// The process's CPU-time clock counts in nanoseconds; the clock ticks of /proc/PID/stat are too
// coarse for an idle process, whose share of a core over 10 s is below one tick.
double BridgeRunner::CpuSeconds() const
{
    clockid_t clock;
    timespec used{};
    if (clock_getcpuclockid(m_pid, &clock) != 0 || clock_gettime(clock, &used) != 0)
        loopback::Fail("cannot read the bridge's CPU time");
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

double BridgeRunner::RssMegabytes() const
{
    const std::string status = ReadText("/proc/" + std::to_string(m_pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0.0 : std::atof(status.c_str() + at + 6) / 1024.0;
}
