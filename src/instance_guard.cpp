#include "instance_guard.h"

#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// Leading NUL: the abstract namespace, which has no file behind it.
const char kGuardName[] = "\0tervian-bridge.instance";

} // namespace

InstanceGuard::~InstanceGuard()
{
    if (m_socket != -1)
        ::close(m_socket);
}

bool InstanceGuard::Acquire()
{
    // Close-on-exec, so that a viewer started from the window never inherits the name and
    // keeps it after the bridge has gone.
    m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket == -1)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, kGuardName, sizeof kGuardName - 1);
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + sizeof kGuardName - 1);
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) == 0)
        return true;
    ::close(m_socket);
    m_socket = -1;
    return false;
}
