#include "shutdown_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

int signalPipe[2] = {-1, -1};
// Set by the handler before its wake-up byte, so that a byte lost to a full pair loses nothing.
std::atomic<bool> quitPending{false};
std::atomic<bool> savePending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set inside a signal handler");

sigset_t HandledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&set, signalNumber);
    return set;
}

} // namespace

sigset_t ShutdownSignals::BlockInThisThread()
{
    const sigset_t set = HandledSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    return previous;
}

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) == 0) {
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
    // Without the pair the default actions apply, which end the process: still better than
    // signals that stay blocked for good.
    const sigset_t set = HandledSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

ShutdownSignals::~ShutdownSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGUSR1, SIG_DFL);
}

void ShutdownSignals::handle(int signalNumber)
{
    const int savedErrno = errno;
    (signalNumber == SIGUSR1 ? savePending : quitPending) = true;
    const char byte = 0;
    ssize_t written = ::write(signalPipe[0], &byte, 1);
    (void)written; // a full pair already holds a wake-up
    errno = savedErrno;
}

void ShutdownSignals::onSignal()
{
    char bytes[256];
    while (::read(signalPipe[1], bytes, sizeof bytes) > 0) {
    }
    if (savePending.exchange(false))
        emit saveRequested();
    // quit() leaves nested loops too, such as an open message box, so the window's destructor
    // runs its normal shutdown once exec() has returned.
    if (quitPending.exchange(false))
        QCoreApplication::quit();
}
