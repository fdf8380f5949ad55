#include "instance_guard.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

const char kGuardName[] = "tervian-bridge.instance";
// The first name and the ones a bridge takes when squatters hold those before them.
constexpr int kGuardNames = 4;
// Between a holder's bind and its listen a probe is refused; asked once more after this pause.
constexpr useconds_t kListenGraceUs = 100 * 1000;

struct GuardAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

// Leading NUL: the abstract namespace, which has no file behind it.
GuardAddress AddressOf(int index)
{
    const std::string name =
        std::string(1, '\0') + kGuardName + (index == 0 ? "" : "." + std::to_string(index));
    GuardAddress guard;
    guard.address.sun_family = AF_UNIX;
    std::memcpy(guard.address.sun_path, name.data(), name.size());
    guard.length = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
    return guard;
}

// The groups of a process: /proc/PID/status is readable for every user.
std::vector<gid_t> GroupsOf(const ucred& holder)
{
    std::vector<gid_t> groups{holder.gid};
    std::ifstream status("/proc/" + std::to_string(holder.pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Groups:", 0) == 0) {
            std::istringstream numbers(line.substr(7));
            for (gid_t group; numbers >> group;)
                groups.push_back(group);
        }
    return groups;
}

bool MayRunBridge(const ucred& holder, const std::string& settingsPath)
{
    if (holder.uid == 0 || holder.uid == ::geteuid())
        return true;
    struct stat settings;
    if (::stat(settingsPath.c_str(), &settings) != 0)
        return false;
    const std::vector<gid_t> groups = GroupsOf(holder);
    return holder.uid == settings.st_uid ||
           ((settings.st_mode & S_IWGRP) != 0 &&
            std::find(groups.begin(), groups.end(), settings.st_gid) != groups.end());
}

// A name whose holder does not listen, or lets no one connect, is not held by a bridge. taken:
// binding the name failed, so a refusal may come from a holder about to listen.
bool HeldByABridge(const GuardAddress& guard, const std::string& settingsPath, bool taken)
{
    for (int attempt = 0; attempt < (taken ? 2 : 1); ++attempt) {
        const Descriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&guard.address),
                      guard.length) == 0) {
            ucred holder{};
            socklen_t size = sizeof holder;
            return ::getsockopt(probe.Get(), SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0 &&
                   MayRunBridge(holder, settingsPath);
        }
        if (errno != ECONNREFUSED || !taken)
            return false;
        ::usleep(kListenGraceUs);
    }
    return false;
}

} // namespace

bool InstanceGuard::Acquire(const std::string& settingsPath)
{
    // Every name is looked at, so that a bridge that took a later name while a squatter held an
    // earlier one is still found after the squatter has gone.
    for (int index = 0; index < kGuardNames; ++index) {
        const GuardAddress guard = AddressOf(index);
        bool taken = false; // by somebody else
        if (!m_socket.IsOpen()) {
            // Close-on-exec, so that a viewer started from the window never inherits the name
            // and keeps it after the bridge has gone.
            Descriptor candidate(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (!candidate.IsOpen())
                return false;
            if (::bind(candidate.Get(), reinterpret_cast<const sockaddr*>(&guard.address),
                       guard.length) == 0 &&
                ::listen(candidate.Get(), SOMAXCONN) == 0) {
                m_socket = std::move(candidate);
                continue;
            }
            taken = true;
        }
        if (HeldByABridge(guard, settingsPath, taken)) {
            m_socket = Descriptor();
            return false;
        }
    }
    return true;
}
