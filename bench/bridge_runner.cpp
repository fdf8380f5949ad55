#include "bridge_runner.h"

#include "loopback.h"

#include <csignal>
#include <cstdlib>
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
        loopback::SleepUs(2000);
    }
    return true;
}

} // namespace

BridgeRunner::BridgeRunner(const std::string& runDir) : m_runDir(runDir) {}

BridgeRunner::~BridgeRunner()
{
    Stop();
}

void BridgeRunner::Start()
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
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
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

// Fields 14 and 15 of /proc/PID/stat, counted after the parenthesised program name.
double BridgeRunner::CpuSeconds() const
{
    const std::string stat = ReadText("/proc/" + std::to_string(m_pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 14; ++i)
        fields >> field;
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double BridgeRunner::RssMegabytes() const
{
    const std::string status = ReadText("/proc/" + std::to_string(m_pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0.0 : std::atof(status.c_str() + at + 6) / 1024.0;
}
