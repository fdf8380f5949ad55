// The vision client: the DIDE command client of the vision application and its thread, which
// starts and stops the stream reader it owns.
#ifndef VISION_CLIENT_H
#define VISION_CLIENT_H

#include "dide_protocol.h"
#include "shared.h"
#include "stream_reader.h"
#include "worker.h"

#include <cstdint>
#include <string>

class VisionClient
{
public:
    struct Config {
        uint16_t commandPort = 32001;
        uint16_t streamPort = 32002;
    };

    VisionClient(Shared& shared, Config config);
    ~VisionClient() { Stop(); }
    VisionClient(const VisionClient&) = delete;
    VisionClient& operator=(const VisionClient&) = delete;

    // Connects to address and sets up projectId, unless the client runs: it counts as running
    // from here until its thread has stopped the stream reader and ended.
    void Start(const std::string& address, const std::string& projectId);
    // Asks the client to stop and returns at once.
    void RequestStop() { m_worker.RequestStop(); }
    // Returns when the client and its reader have ended.
    void Stop() { m_worker.Stop(); }
    const Progress& Liveness() { return m_worker.Liveness(); }
    const Progress& ReaderLiveness() { return m_stream.Liveness(); }

private:
    enum class Exchange { Accepted, Rejected, Lost };
    enum class ExchangeKind { DefaultProject, Acquisition, ProgramSwitch };

    void Run();
    void Begin();
    void End();
    bool SetUpProject(int socket);
    bool SwitchOffAfterLoad(int socket);
    void ServeCommands(int socket);
    bool BringToWishes(int socket);
    void WaitForCommands(int socket);
    bool SwitchAcquisition(int socket, bool on, unsigned asks);
    bool SwitchProgram(int socket, int program, unsigned asks);
    void NoteProjectLoaded(int program);
    void NoteAcquisition(bool on);
    Exchange Transact(int socket, const std::string& request, const char* command,
                      ExchangeKind kind);
    bool ReceiveReply(int socket, const char* command, std::string* reply, bool setUp);
    bool TakeReply(const char* command, std::string* reply, bool* unasked);
    bool ReadUnsolicited(int socket);
    void ReportRejection(Exchange result, const char* logText);
    void SetReady(bool ready);

    Shared& m_shared;
    const Config m_config;
    const capture::Tap m_tap;
    // A send to an application that stopped reading is given up by the keep-alive after about
    // 6 s; everything else between two waits is quick.
    Worker m_worker{"vision client", std::chrono::seconds(10)};

    // The client thread's own; the address and project are set before it starts.
    std::string m_address;
    std::string m_projectId;
    StreamReader m_stream;
    dide::ElementReader m_replyReader; // one per connection
    // The asks whose wish the application rejected.
    struct Refused {
        unsigned laser = 0;
        unsigned program = 0;
    };
    Refused m_refused;
};

#endif // VISION_CLIENT_H
