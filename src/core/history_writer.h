// The history writer: keeps what the bridge told the robot, the links, wishes, faults and the
// stream in history.sqlite, from the event feed, on a thread of its own.
#ifndef HISTORY_WRITER_H
#define HISTORY_WRITER_H

#include "events.h"
#include "history_store.h"
#include "worker.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

class DebugLog;

enum class HistoryState {
    Off,       // History=0
    Recording, // also while the file is being opened
    Paused,    // the disk takes no more; tried again every few seconds
    Stopped,   // the file cannot be used (newer schema, cannot be opened): off until restarted
};

// Writes what came in kBatchMs in one transaction, so the robot's thread never waits for the
// disk, and sleeps while nothing comes; a kill loses at most the batch under way, a power cut
// at most the last ten seconds. A disk that fills pauses it and it resumes by
// itself; a damaged file is moved aside and a fresh one started; a file of a newer schema is
// left alone. Old rows go in small steps after a batch, by age and by size.
class HistoryWriter
{
public:
    struct Config {
        bool on = true;
        int days = 30;
        int64_t maxBytes = 1024LL * 1024 * 1024;
    };
    static constexpr int kBatchMs = 100;

    // Subscribes to the feed when on; starts nothing.
    HistoryWriter(events::Feed& feed, DebugLog& log, const QString& folder, Config config);
    ~HistoryWriter() { m_worker.Stop(); }
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    static QString FileIn(const QString& folder) { return folder + "/history.sqlite"; }
    QString Path() const { return m_path; }

    void Start();
    // Writes what it holds, then ends.
    void Stop() { m_worker.Stop(); }

    HistoryState State() const { return m_state; }
    // Texts for the operator (a box in the window, a journal line in the service), each once.
    QStringList TakeReports();
    const Progress& Liveness() { return m_worker.Liveness(); }

private:
    void Run();
    bool OpenFile();
    void SetAside(const std::string& why);
    void Take(int64_t nowMs);
    void Fold(const events::Event& event);
    void CloseSecond(int64_t nowMs);
    void WriteBatch();
    void Pause(const std::string& why);
    int MsUntilDue(int64_t nowMs) const;
    void Trim(int64_t nowMs);
    void Sync(int64_t nowMs);
    void Report(const QString& text);

    DebugLog& m_log;
    const QString m_path;
    const Config m_config;
    std::shared_ptr<events::Queue> m_queue;
    std::atomic<HistoryState> m_state{HistoryState::Off};
    std::mutex m_reportsMutex;
    QStringList m_reports;
    Worker m_worker{"history writer", std::chrono::seconds(10)};

    // The writer thread's own.
    history::Store m_store;
    history::Batch m_batch;
    history::StreamSecond m_second; // records == 0: no second open
    uint64_t m_dropped = 0;
    int64_t m_pausedSinceMs = 0;
    bool m_trimMore = false;
    int64_t m_nextTrimMs = 0;
    bool m_unsynced = false;
    int64_t m_nextSyncMs = 0;
};

#endif // HISTORY_WRITER_H
