#include "shutdown_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int signalPipe[2] = {-1, -1};
}

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent), m_notifier(nullptr)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::quitOnSignal);

    struct sigaction action = {};
    action.sa_handler = &ShutdownSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

ShutdownSignals::~ShutdownSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

void ShutdownSignals::handle(int)
{
    const char byte = 1;
    ssize_t written = ::write(signalPipe[0], &byte, 1);
    (void)written; // nothing more can be done inside a signal handler
}

void ShutdownSignals::quitOnSignal()
{
    char byte;
    ssize_t got = ::read(signalPipe[1], &byte, 1);
    (void)got;
    // quit() leaves nested loops too, such as an open message box, so the window's destructor
    // runs its normal shutdown once exec() has returned.
    QCoreApplication::quit();
}
