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
    connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::onSignal);

    struct sigaction action = {};
    action.sa_handler = &ShutdownSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
}

ShutdownSignals::~ShutdownSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGUSR1, SIG_DFL);
}

void ShutdownSignals::handle(int signalNumber)
{
    const char byte = char(signalNumber);
    ssize_t written = ::write(signalPipe[0], &byte, 1);
    (void)written; // nothing more can be done inside a signal handler
}

void ShutdownSignals::onSignal()
{
    char byte = 0;
    if (::read(signalPipe[1], &byte, 1) == 1 && byte == SIGUSR1) {
        emit saveRequested();
        return;
    }
    // quit() leaves nested loops too, such as an open message box, so the window's destructor
    // runs its normal shutdown once exec() has returned.
    QCoreApplication::quit();
}
