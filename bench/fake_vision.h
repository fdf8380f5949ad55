#ifndef FAKE_VISION_H
#define FAKE_VISION_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// The vision application as far as the bridge needs it, with exact timing: every DIDE request
// on 32001 is answered with success at once, and records go out on 32002 exactly when the
// harness writes them.
class FakeVision
{
public:
    FakeVision(); // fails the run when 32001 or 32002 is taken
    ~FakeVision();
    FakeVision(const FakeVision&) = delete;
    FakeVision& operator=(const FakeVision&) = delete;

    // Waits until the bridge has loaded its default project, switched acquisition off and
    // connected its stream.
    bool WaitUntilBridgeReady(int timeoutMs);

    // Writes one record and returns the time just before the write.
    int64_t WriteRecord(const std::string& record);

    // Arrival time of the next load-project request for project, or -1 after timeoutMs.
    int64_t WaitForProjectLoad(const std::string& project, int timeoutMs);

private:
    void AnswerRequests();
    void Answer(int socket, const std::string& request, int64_t arrivalNs);

    int m_commandListener;
    int m_streamListener;
    int m_stream = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_setUpDone = false;
    std::map<std::string, int64_t> m_projectLoads; // project name -> latest arrival
    std::thread m_commandThread;
};

#endif // FAKE_VISION_H
