#ifndef INSTANCE_GUARD_H
#define INSTANCE_GUARD_H

#include "descriptor.h"

#include <string>

// One bridge per machine (more exactly, per network namespace, which is what the fixed ports
// are per). The guard is a listening unix socket bound to an abstract name: the kernel frees
// the name when its holder dies, by SIGKILL too, so no stale guard ever blocks a start; it needs
// no file, so it works in a folder its user may not write.
//
// Any local user can bind an abstract name, so a name counts as held by a bridge only when its
// holder listens on it and may run this bridge: root, this user, the owner of the bridge's
// settings file, or a member of its group when that group may write it (the operators of an
// installed bridge). A name held by anybody else is passed over for the next of a few names,
// and when a squatter holds them all the bridge starts without a guard rather than not at all.
class InstanceGuard
{
public:
    // True when no bridge holds the guard and this process now holds it (or every name is
    // squatted); false when another bridge holds it, or no socket can be made, which is then
    // taken as held: starting blind could disturb a cell. settingsPath names the bridge's
    // config.txt, whose owner and group say who may run it.
    bool Acquire(const std::string& settingsPath);

private:
    Descriptor m_socket;
};

#endif // INSTANCE_GUARD_H
