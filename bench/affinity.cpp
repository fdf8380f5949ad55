#include "affinity.h"

#include <dirent.h>
#include <sched.h>

#include <cstdlib>
#include <string>

namespace affinity
{

namespace
{

const cpu_set_t& AllowedCpus()
{
    static const cpu_set_t allowed = [] {
        cpu_set_t set;
        sched_getaffinity(0, sizeof set, &set);
        return set;
    }();
    return allowed;
}

void Apply(pid_t pid, const cpu_set_t& set)
{
    if (pid == 0) {
        sched_setaffinity(0, sizeof set, &set);
        return;
    }
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            sched_setaffinity(pid_t(std::atoi(entry->d_name)), sizeof set, &set);
    closedir(dir);
}

} // namespace

void PinToCpu(pid_t pid, int cpu)
{
    AllowedCpus();
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    Apply(pid, set);
}

void Unpin(pid_t pid)
{
    Apply(pid, AllowedCpus());
}

} // namespace affinity
