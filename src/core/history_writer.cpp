#include "history_writer.h"

#include "debug_log.h"
#include "socket_util.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

namespace
{

// About four minutes of a busy cell (50 replies and 200 records a second), held while the disk
// is full; beyond it the oldest go and are counted.
constexpr size_t kQueueBound = size_t(64) * 1024;
constexpr int64_t kRetryMs = 5000;
constexpr int64_t kTrimEveryMs = 60LL * 1000;
constexpr int64_t kSyncEveryMs = 10LL * 1000;
constexpr int64_t kDayMs = 24LL * 3600 * 1000;

QString Tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

history::Reply ReplyRow(const events::RobotReply& event)
{
    history::Reply row;
    row.atMs = event.atMs;
    row.kind = int(event.request);
    const robot::Reply& told = event.reply;
    row.result = told.length >= 2 ? uint8_t(told.bytes[1]) : -1;
    row.hasValues = told.length == robot::kJointDataReplyLength;
    if (row.hasValues)
        for (size_t i = 0; i < row.hundredths.size(); ++i)
            row.hundredths[i] = robot::DecodeValue(told.bytes.data() + 4 + 2 * i);
    else
        row.told.assign(told.bytes.data(), size_t(told.length));
    row.projectAsked = event.projectAsked;
    row.projectLoaded = event.projectLoaded;
    row.answerMicros = event.answerMicros;
    return row;
}

const char* LinkName(events::Link link)
{
    switch (link) {
    case events::Link::Robot:
        return "robot";
    case events::Link::Command:
        return "command";
    default:
        return "stream";
    }
}

} // namespace

static_assert(int(robot::Request::SetJointId) == 7,
              "history::kRequestKinds follows robot::Request");

HistoryWriter::HistoryWriter(events::Feed& feed, DebugLog& log, const QString& folder,
                             Config config)
    : m_log(log), m_path(FileIn(folder)), m_config(config)
{
    if (m_config.on)
        m_queue = feed.Subscribe(kQueueBound);
}

void HistoryWriter::Start()
{
    if (!m_queue || m_worker.Started())
        return;
    m_state = HistoryState::Recording;
    m_worker.Start([this] { Run(); });
}

QStringList HistoryWriter::TakeReports()
{
    std::lock_guard<std::mutex> lock(m_reportsMutex);
    return std::exchange(m_reports, {});
}

void HistoryWriter::Report(const QString& text)
{
    std::lock_guard<std::mutex> lock(m_reportsMutex);
    m_reports << text;
}

void HistoryWriter::Run()
{
    if (!OpenFile()) {
        m_queue->Close();
        m_state = HistoryState::Stopped;
        m_store.Close();
        return;
    }
    while (!m_worker.Stopping()) {
        const int stop = m_worker.Stopping().Descriptor();
        if (m_state == HistoryState::Paused) {
            // The queue keeps the newest events meanwhile; only the batch held is tried again.
            m_worker.Liveness().Wait([&] { sockets::WaitForAny({stop}, int(kRetryMs)); });
        } else {
            // Asleep while nothing happens; the events of kBatchMs after the first make a batch.
            m_worker.Liveness().Wait([&] {
                sockets::WaitForAny({stop, m_queue->Descriptor()}, MsUntilDue(events::NowMs()));
                sockets::WaitForAny({stop}, kBatchMs);
            });
            Take(events::NowMs());
        }
        WriteBatch();
        if (m_state == HistoryState::Recording) {
            Trim(events::NowMs());
            Sync(events::NowMs());
        }
    }
    Take(events::NowMs() + 1000); // the second under way too
    WriteBatch();
    m_store.Close();
}

// A damaged file is moved aside once; a newer one, or one that cannot be opened, stops the
// history.
bool HistoryWriter::OpenFile()
{
    const std::string path = QFile::encodeName(m_path).toStdString();
    history::Outcome opened = m_store.OpenForWriting(path);
    if (opened == history::Outcome::Damaged) {
        SetAside(m_store.Error());
        opened = m_store.OpenForWriting(path);
    }
    if (opened == history::Outcome::Done) {
        ShareWithFolderGroup(m_path);
        return true;
    }
    if (opened == history::Outcome::Newer) {
        m_log.WriteFlushed(DebugLog::Compose(
            "History off: history.sqlite was written by a newer version of the bridge (",
            m_store.Error(), "); it is left as it is\n"));
        Report(Tr("The history %1 was written by a newer version of the bridge (schema %2). It "
                  "is left as it is and no history is kept. Move it away, or run the newer "
                  "version, to keep a history again.")
                   .arg(m_path)
                   .arg(m_store.FoundVersion()));
    } else {
        m_log.WriteFlushed(DebugLog::Compose(
            "History off: history.sqlite cannot be opened: ", m_store.Error(), "\n"));
        Report(Tr("The history %1 cannot be opened (%2). No history is kept until the bridge "
                  "starts again.")
                   .arg(m_path, QString::fromStdString(m_store.Error())));
    }
    return false;
}

// Kept for whoever wants to look into it, named with the time it was found. Where the folder
// takes no new files (the installed bin/), it is copied to the home folder and emptied in place.
void HistoryWriter::SetAside(const std::string& why)
{
    m_store.Close();
    const QString name = "/history-damaged-" +
                         QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm-ss") + ".sqlite";
    QString aside = QFileInfo(m_path).path() + name;
    bool moved = QFile::rename(m_path, aside);
    if (moved) {
        QFile::rename(m_path + "-wal", aside + "-wal");
    } else {
        aside = QDir::homePath() + name;
        moved = QFile::copy(m_path, aside) && QFile::copy(m_path + "-wal", aside + "-wal");
        QFile::resize(m_path, 0);
    }
    QFile::resize(m_path + "-wal", 0);
    QFile::resize(m_path + "-shm", 0);
    m_log.WriteFlushed(DebugLog::Compose("History: history.sqlite was damaged (", why,
                                         "); it was moved aside as ", aside.toStdString(),
                                         " and a fresh history started\n"));
    Report(Tr("The history %1 was damaged (%2). It was moved aside as %3 and a fresh history "
              "was started.")
               .arg(m_path, QString::fromStdString(why), moved ? aside : Tr("(removed)")));
}

void HistoryWriter::Take(int64_t nowMs)
{
    for (const events::Event& event : m_queue->TakeAll())
        Fold(event);
    CloseSecond(nowMs);
    if (const uint64_t dropped = m_queue->TakeDropped())
        m_dropped += dropped;
    if (m_dropped > 0 && m_state == HistoryState::Recording) {
        m_batch.faults.push_back({nowMs, "history",
                                  "History: " + std::to_string(m_dropped) +
                                      " events were not kept while the history could not write"});
        m_dropped = 0;
    }
}

void HistoryWriter::Fold(const events::Event& event)
{
    if (const auto* reply = std::get_if<events::RobotReply>(&event)) {
        m_batch.replies.push_back(ReplyRow(*reply));
    } else if (const auto* link = std::get_if<events::LinkChange>(&event)) {
        m_batch.links.push_back({link->atMs, LinkName(link->link), link->up});
    } else if (const auto* wish = std::get_if<events::Wish>(&event)) {
        m_batch.wishes.push_back(
            {wish->atMs, wish->origin == events::Origin::Robot ? "robot" : "operator",
             wish->what == events::Wish::What::Laser ? "laser" : "project", wish->value});
    } else if (const auto* fault = std::get_if<events::Fault>(&event)) {
        m_batch.faults.push_back({fault->atMs, capture::FaultName(fault->kind), fault->text});
    } else if (const auto* record = std::get_if<events::Record>(&event)) {
        const int64_t second = record->atMs / 1000 * 1000;
        if (m_second.records > 0 && m_second.atMs != second)
            CloseSecond(INT64_MAX);
        history::StreamSecond& into = m_second;
        for (size_t i = 0; i < into.min.size(); ++i) {
            const double value = record->values[i];
            into.min[i] = into.records > 0 ? std::min(into.min[i], value) : value;
            into.max[i] = into.records > 0 ? std::max(into.max[i], value) : value;
        }
        into.atMs = second;
        ++into.records;
        into.unrecognised += record->recognised ? 0 : 1;
    }
}

// A second goes into the batch once it has ended.
void HistoryWriter::CloseSecond(int64_t nowMs)
{
    if (m_second.records == 0 || nowMs < m_second.atMs + 1000)
        return;
    m_batch.stream.push_back(m_second);
    m_second = history::StreamSecond();
}

void HistoryWriter::WriteBatch()
{
    const history::Outcome written = m_store.Write(m_batch);
    if (written == history::Outcome::Done) {
        m_unsynced = m_unsynced || !m_batch.Empty();
        m_batch = history::Batch();
        if (m_state == HistoryState::Paused) {
            m_state = HistoryState::Recording;
            m_log.WriteFlushed(DebugLog::Compose("History resumed after a pause of ",
                                                 (events::NowMs() - m_pausedSinceMs) / 1000,
                                                 " s\n"));
        }
    } else if (written == history::Outcome::Damaged) {
        SetAside(m_store.Error());
        if (m_store.OpenForWriting(QFile::encodeName(m_path).toStdString()) !=
            history::Outcome::Done)
            Pause(m_store.Error());
    } else {
        Pause(m_store.Error());
    }
}

void HistoryWriter::Pause(const std::string& why)
{
    if (m_state == HistoryState::Paused)
        return;
    m_state = HistoryState::Paused;
    m_pausedSinceMs = events::NowMs();
    m_log.WriteFlushed(DebugLog::Compose("History paused: history.sqlite takes no more (", why,
                                         "); it is tried again every 5 s\n"));
}

// The wait until the second under way ends or trimming is due.
int HistoryWriter::MsUntilDue(int64_t nowMs) const
{
    int64_t due = m_trimMore ? nowMs : m_nextTrimMs;
    if (m_unsynced)
        due = std::min(due, m_nextSyncMs);
    if (m_second.records > 0)
        due = std::min(due, m_second.atMs + 1000);
    return int(std::clamp<int64_t>(due - nowMs, 0, kTrimEveryMs));
}

// One step per batch while there is more to trim, else one look every kTrimEveryMs.
void HistoryWriter::Trim(int64_t nowMs)
{
    if (!m_trimMore && nowMs < m_nextTrimMs)
        return;
    m_nextTrimMs = nowMs + kTrimEveryMs;
    m_trimMore = m_store.TrimStep(nowMs - m_config.days * kDayMs, m_config.maxBytes);
}

// Commits are not synced one by one; a checkpoint every kSyncEveryMs syncs what they wrote, so a
// power cut loses no more than that.
void HistoryWriter::Sync(int64_t nowMs)
{
    if (!m_unsynced || nowMs < m_nextSyncMs)
        return;
    m_store.Checkpoint();
    m_unsynced = false;
    m_nextSyncMs = nowMs + kSyncEveryMs;
}
