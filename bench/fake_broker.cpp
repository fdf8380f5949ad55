#include "fake_broker.h"

#include "loopback.h"

#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FakeBroker::FakeBroker(bool reads) : m_reads(reads), m_listener(loopback::Listen(0))
{
    if (m_listener == -1)
        loopback::Fail("cannot listen for the fake broker");
    m_port = loopback::PortOf(m_listener);
    m_thread = std::thread([this] { Serve(); });
}

FakeBroker::~FakeBroker()
{
    m_stop = true;
    m_thread.join();
    close(m_listener);
}

// A node that gives up on a broker that does not answer its pings connects again, so
// connections are taken as long as the broker runs; each is kept until the end.
void FakeBroker::Serve()
{
    const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
    std::vector<int> connections;
    while (!m_stop) {
        const int connection = loopback::Accept(m_listener, 100);
        if (connection != -1) {
            char connect[1024];
            if (recv(connection, connect, sizeof connect, 0) > 0)
                send(connection, connack, sizeof connack, MSG_NOSIGNAL);
            connections.push_back(connection);
        }
        for (int open : connections) {
            pollfd readable{open, POLLIN, 0};
            char discarded[65536];
            while (m_reads && poll(&readable, 1, 0) > 0 &&
                   recv(open, discarded, sizeof discarded, MSG_DONTWAIT) > 0)
                ;
        }
    }
    for (int open : connections)
        close(open);
}
