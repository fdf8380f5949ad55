#ifndef AFFINITY_H
#define AFFINITY_H

#include <sys/types.h>

// Round trips on loopback take a few microseconds when client and server share a CPU and ten
// times as long when a wake-up crosses to the other one, and the scheduler picks either by
// chance. The round-trip comparison therefore pins both sides to one CPU.
namespace affinity
{

// Every thread of process pid, or the calling thread for pid 0, on cpu only.
void PinToCpu(pid_t pid, int cpu);

// Back on every CPU that this process may use.
void Unpin(pid_t pid);

} // namespace affinity

#endif // AFFINITY_H
