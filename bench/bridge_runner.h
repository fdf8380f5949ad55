#ifndef BRIDGE_RUNNER_H
#define BRIDGE_RUNNER_H

#include <string>
#include <sys/types.h>

// The bridge as its own process, started from a run folder that holds a copy of the executable
// and a config.txt on loopback (the bridge keeps its config beside itself). It runs offscreen
// and is told to end if the harness dies first.
class BridgeRunner
{
public:
    explicit BridgeRunner(const std::string& runDir);
    ~BridgeRunner(); // stops it when still running
    BridgeRunner(const BridgeRunner&) = delete;
    BridgeRunner& operator=(const BridgeRunner&) = delete;

    // option: a command-line option for the bridge, such as --service, or none.
    void Start(const char* option = nullptr);
    void Stop(); // SIGTERM and wait, SIGKILL after 5 s
    void Kill(); // SIGKILL, as a watchdog's end, and wait

    pid_t Pid() const { return m_pid; }
    double CpuSeconds() const; // user + system time so far
    double RssMegabytes() const;

private:
    std::string m_runDir;
    pid_t m_pid = -1;
};

#endif // BRIDGE_RUNNER_H
