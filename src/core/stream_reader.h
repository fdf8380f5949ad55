// The stream reader: the client of the vision application's measurement stream and its thread.
#ifndef STREAM_READER_H
#define STREAM_READER_H

#include "shared.h"
#include "worker.h"

#include <cstdint>
#include <string>

class StreamReader
{
public:
    StreamReader(Shared& shared, uint16_t port);
    ~StreamReader() { Stop(); }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Starts reading from address unless it reads already; it reconnects by itself until
    // stopped.
    void Start(const std::string& address);
    // Returns when the thread has ended; the link state then shows it not reading.
    void Stop();
    const Progress& Liveness() { return m_worker.Liveness(); }

private:
    void Run(std::string address);
    void NoteConnected(bool connected);
    bool ReceiveUntilStopped(int socket);

    Shared& m_shared;
    const uint16_t m_port;
    const capture::Tap m_tap;
    Worker m_worker{"stream reader", std::chrono::seconds(3)};
};

#endif // STREAM_READER_H
