#ifndef INSTANCE_GUARD_H
#define INSTANCE_GUARD_H

// One bridge per machine (more exactly, per network namespace, which is what the fixed ports
// are per). The guard is a unix socket bound to a fixed abstract name: the kernel frees the
// name when its holder dies, by SIGKILL too, so no stale lock ever blocks a restart; it needs
// no file, so it works in a folder its user may not write; and any user sees any other's.
class InstanceGuard
{
public:
    InstanceGuard() = default;
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // True when this process now holds the name; false when another bridge holds it (or no
    // socket can be made, which is then taken as taken: starting blind could disturb a cell).
    bool Acquire();

private:
    int m_socket = -1;
};

#endif // INSTANCE_GUARD_H
