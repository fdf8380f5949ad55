#ifndef FAKE_BROKER_H
#define FAKE_BROKER_H

#include <atomic>
#include <cstdint>
#include <thread>

// An MQTT broker as far as a connect goes, on a free loopback port: every connection's CONNECT
// is answered with a CONNACK that accepts it; after that the broker either reads and discards
// whatever comes, or never reads again, as a broker that hangs.
class FakeBroker
{
public:
    explicit FakeBroker(bool reads);
    ~FakeBroker();
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    uint16_t Port() const { return m_port; }

private:
    void Serve();

    const bool m_reads;
    int m_listener;
    uint16_t m_port;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

#endif // FAKE_BROKER_H
