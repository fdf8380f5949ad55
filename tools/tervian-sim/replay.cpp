#include "replay.h"

#include "dide_text.h"

#include "capture_reader.h"
#include "measurement_record.h"
#include "robot_protocol.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace
{

QByteArray requestKey(const QByteArray& request)
{
    const QByteArray command = attributeValue(request, "CMD").value_or(QByteArray());
    if (command == "Project_Load")
        return command + ' ' + attributeValue(request, "FILE").value_or(QByteArray());
    return command;
}

bool isAcquisitionOn(const QByteArray& request)
{
    return attributeValue(request, "CMD") == "Device_Acquisition" &&
           attributeValue(request, "STATE") == "on";
}

QByteArray bytesOf(const capture::Chunk& chunk)
{
    return QByteArray(chunk.data.data(), int(chunk.data.size()));
}

// Where the bridge cannot be watched, the pause after its socket is read in which its thread is
// taken to have handed the record on: a guess, which a loaded machine may defeat.
constexpr qint64 kSettleNs = 2000000;

} // namespace

VisionReplay::VisionReplay(const SimOptions& options, const std::vector<capture::Chunk>& chunks,
                           QObject* parent)
    : QObject(parent), m_options(options)
{
    takeCommands(chunks);
    takeRecords(chunks);
    takeRecordsSeen(chunks);
    connect(&m_commandServer, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_commandServer.nextPendingConnection()) {
            if (m_command)
                m_command->abort();
            m_command = socket;
            m_requestBuffer.clear();
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                if (m_command == socket)
                    readRequests();
            });
            say("command client connected");
        }
    });
    connect(&m_streamServer, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_streamServer.nextPendingConnection()) {
            if (m_stream)
                m_stream->abort();
            m_stream = socket;
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            say("stream client connected");
        }
    });
    connect(&m_timelineServer, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_timelineServer.nextPendingConnection()) {
            if (m_timeline)
                m_timeline->abort();
            m_timeline = socket;
            m_timelineBuffer.clear();
            m_allowedNs = std::numeric_limits<qint64>::min();
            m_repliesBeforeNs = std::numeric_limits<qint64>::min();
            m_givenUpNs = std::numeric_limits<qint64>::min();
            m_asked = false;
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(socket, &QTcpSocket::readyRead, this, &VisionReplay::readTimeline);
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                socket->deleteLater();
                if (socket == m_timeline) { // on its own again
                    m_allowedNs = std::numeric_limits<qint64>::max();
                    m_repliesBeforeNs = std::numeric_limits<qint64>::max();
                    m_timelineCheck.stop();
                    releaseHeld();
                    playRecords();
                }
            });
        }
    });
    m_orderCheck.setSingleShot(true);
    m_orderCheck.setInterval(1);
    connect(&m_orderCheck, &QTimer::timeout, this, [this] {
        releaseHeld();
        playRecords();
    });
    m_timelineCheck.setInterval(1);
    connect(&m_timelineCheck, &QTimer::timeout, this, &VisionReplay::answerTimeline);
    m_recordTimer.setSingleShot(true);
    m_recordTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_recordTimer, &QTimer::timeout, this, &VisionReplay::playRecords);
}

// What the vision application sent after each request, up to the next, is its answer.
void VisionReplay::takeCommands(const std::vector<capture::Chunk>& chunks)
{
    QByteArray sent;
    Answer* answer = nullptr;
    qint64 askedAt = 0;
    for (const capture::Chunk& c : chunks) {
        if (c.link != capture::Link::Command)
            continue;
        if (c.event == capture::Event::Opened) {
            sent.clear();
            answer = nullptr;
        } else if (c.event == capture::Event::Sent) {
            sent += bytesOf(c);
            while (const std::optional<QByteArray> request = takeRequest(sent)) {
                m_answers[requestKey(*request)].push_back({});
                answer = &m_answers[requestKey(*request)].back();
                askedAt = c.timeNs;
            }
        } else if (answer &&
                   (c.event == capture::Event::Received || c.event == capture::Event::PeerClosed)) {
            answer->pieces.push_back(
                {(c.timeNs - askedAt) / m_options.speed, bytesOf(c), c.timeNs});
        }
    }
}

// Records, and closes of the stream, from each acquisition-on up to the next.
void VisionReplay::takeRecords(const std::vector<capture::Chunk>& chunks)
{
    QByteArray sent;
    qint64 onAt = 0;
    for (const capture::Chunk& c : chunks) {
        if (c.link == capture::Link::Command && c.event == capture::Event::Opened)
            sent.clear();
        if (c.link == capture::Link::Command && c.event == capture::Event::Sent) {
            sent += bytesOf(c);
            while (const std::optional<QByteArray> request = takeRequest(sent)) {
                if (isAcquisitionOn(*request)) {
                    m_segments.emplace_back();
                    onAt = c.timeNs;
                }
            }
        }
        if (c.link == capture::Link::Stream && !m_segments.empty() &&
            (c.event == capture::Event::Received || c.event == capture::Event::PeerClosed))
            m_segments.back().push_back(
                {(c.timeNs - onAt) / m_options.speed, bytesOf(c), c.timeNs});
    }
}

// The bridge may have received a record, but not yet stored it, when a robot request read the
// latest: the recorded reply then carries the record before it. Or it may have stored one it
// received while answering: the reply carries that later record. The replay must show that
// request the same, so the records up to the one it saw, and no later one, wait for it.
void VisionReplay::takeRecordsSeen(const std::vector<capture::Chunk>& chunks)
{
    struct Stored {
        qint64 atNs;
        std::string encoded; // as the robot receives the values
    };
    std::vector<Stored> stored;
    measurement::RecordJoiner joiner;
    measurement::Values values{};
    qint64 jointDataAt = -1;
    for (const capture::Chunk& c : chunks) {
        if (c.link == capture::Link::Stream && c.event == capture::Event::Received) {
            bool overlong = false;
            measurement::BlockReader reader(
                joiner.Join(c.data.data(), int(c.data.size()), &overlong));
            for (measurement::Record r; reader.NextRecord(&r);) {
                std::copy_n(r.values.begin(), r.valueCount, values.begin());
                std::string encoded(2 * values.size(), '\0');
                for (size_t i = 0; i < values.size(); ++i)
                    robot::EncodeValue(values[i], &encoded[2 * i]);
                stored.push_back({c.timeNs, encoded});
            }
        } else if (c.link == capture::Link::Stream && c.event != capture::Event::Sent) {
            joiner.Clear();
        } else if (c.link == capture::Link::Robot && c.event == capture::Event::Received) {
            const bool jointData =
                c.data.size() == robot::kRequestLength &&
                robot::ClassifyRequest(c.data.data()) == robot::Request::JointData;
            jointDataAt = jointData ? c.timeNs : -1;
        } else if (c.link == capture::Link::Robot && c.event == capture::Event::Sent &&
                   jointDataAt != -1 && c.data.size() == size_t(robot::kJointDataReplyLength)) {
            const std::string seen = c.data.substr(4);
            const auto latest = std::find_if(stored.rbegin(), stored.rend(), [&](const Stored& s) {
                return s.atNs < jointDataAt;
            });
            const auto later = std::find_if(stored.rbegin(), latest, [&](const Stored& s) {
                return s.encoded == seen;
            });
            const bool sawLatest = latest != stored.rend() && latest->encoded == seen;
            if (!sawLatest && later != latest)
                m_seenAt[jointDataAt] = later->atNs + 1;
            else if (!sawLatest && latest != stored.rend() && std::next(latest) != stored.rend() &&
                     std::next(latest)->encoded == seen)
                m_seenAt[jointDataAt] = latest->atNs;
            jointDataAt = -1;
        }
    }
}

bool VisionReplay::listen(QString& error)
{
    for (auto [server, port] :
         {std::pair(&m_commandServer, m_options.commandPort),
          std::pair(&m_streamServer, m_options.streamPort),
          std::pair(&m_timelineServer, quint16(capture::kReplayTimelinePort))}) {
        if (!server->listen(m_options.address, port)) {
            error = QString("cannot listen on %1:%2: %3")
                        .arg(m_options.address.toString())
                        .arg(port)
                        .arg(server->errorString());
            return false;
        }
    }
    say(QString("replaying on %1:%2 and %1:%3")
            .arg(m_options.address.toString())
            .arg(m_commandServer.serverPort())
            .arg(m_streamServer.serverPort())
            .toUtf8());
    return true;
}

void VisionReplay::readRequests()
{
    m_requestBuffer += m_command->readAll();
    while (const std::optional<QByteArray> request = takeRequest(m_requestBuffer))
        handleRequest(*request);
}

void VisionReplay::handleRequest(const QByteArray& request)
{
    say("request: " + printable(request));
    const auto found = m_answers.find(requestKey(request));
    if (found == m_answers.end()) {
        const QByteArray command = attributeValue(request, "CMD").value_or(QByteArray());
        say("not in the capture, answered with success: " + printable(request));
        play(m_command, {0, dideReply(true, command)}, "reply: ");
    } else {
        std::deque<Answer>& answers = found->second;
        answers.front().played = true;
        const Answer answer = answers.front();
        if (answers.size() > 1)
            answers.pop_front();
        if (answer.pieces.empty())
            say("silence, as recorded");
        for (const Piece& piece : answer.pieces)
            play(m_command, piece, "reply: ");
    }
    if (isAcquisitionOn(request))
        startRecords();
    else if (attributeValue(request, "CMD") == "Device_Acquisition" && m_options.loop)
        m_playing = nullptr;
    // Without --loop the records play on: what the application sent after an acquisition-off
    // (the rest of the record it was sending, those already on their way) is in the recording,
    // and the recording stops where the application stopped.
}

void VisionReplay::play(const QPointer<QTcpSocket>& socket, const Piece& piece,
                        const QByteArray& name)
{
    if (piece.offsetNs <= 0) {
        sendInTurn({socket, piece, name});
        return;
    }
    const auto scheduled = m_scheduled.insert(piece.capturedNs);
    QTimer::singleShot(int(piece.offsetNs / 1000000), Qt::PreciseTimer, this, [=] {
        m_scheduled.erase(scheduled);
        sendInTurn({socket, piece, name});
    });
}

// A recorded piece that came after the robot request in flight, in the recording, waits for that
// request's reply, as the records do: a reply sped up or slow in the recording must not change
// what the robot is told. Unlike records it waits for no earlier moment than the request's own:
// the bridge had it in time, whichever record the request saw. The pieces that wait keep their
// order.
void VisionReplay::sendInTurn(const Outgoing& out)
{
    if (out.piece.capturedNs != 0 && !m_options.loop &&
        (out.piece.capturedNs >= m_repliesBeforeNs || !m_held.empty() ||
         !mayFollow(m_command, out.piece.capturedNs))) {
        m_held.push_back(out);
        releaseHeld();
        return;
    }
    send(out);
}

void VisionReplay::releaseHeld()
{
    while (!m_held.empty() &&
           (m_held.front().piece.capturedNs < m_repliesBeforeNs || m_options.loop)) {
        if (!mayFollow(m_command, m_held.front().piece.capturedNs)) {
            m_orderCheck.start();
            return;
        }
        const Outgoing out = m_held.front();
        m_held.pop_front();
        send(out);
    }
}

// The bridge received what the application sent on its two connections in the recorded order,
// and judges a record by it (measured before or after the acquisition or project it confirmed):
// so a recorded piece goes only once all that was recorded before it on the other connection
// has gone and the bridge has taken that in.
bool VisionReplay::mayFollow(const QPointer<QTcpSocket>& socket, qint64 capturedNs)
{
    if (m_options.loop)
        return true;
    if (socket == m_command) {
        // Not for a record held back for the robot request in flight: that request came after
        // this piece in the recording, and may hang on it.
        const qint64 record = m_playing && m_next < m_playing->size()
                                  ? (*m_playing)[m_next].capturedNs
                                  : std::numeric_limits<qint64>::max();
        if (record < capturedNs && record < m_allowedNs)
            return false;
    } else if ((!m_scheduled.empty() && *m_scheduled.begin() < capturedNs) ||
               (!m_held.empty() && m_held.front().piece.capturedNs < capturedNs)) {
        return false;
    }
    if (!m_lastSent || m_lastSent == socket)
        return true;
    BridgeWatch& watch = m_lastSent == m_stream ? m_streamWatch : m_commandWatch;
    return takenIn(m_lastSent, watch) != BridgeWatch::Taken::NotYet;
}

void VisionReplay::send(const Outgoing& out)
{
    if (!out.socket)
        return;
    if (out.piece.capturedNs != 0)
        m_lastSent = out.socket;
    if (out.piece.bytes.isEmpty()) {
        say(out.name + "connection closed, as recorded");
        out.socket->disconnectFromHost();
        return;
    }
    out.socket->write(out.piece.bytes);
    out.socket->flush();
    if (out.name == "reply: ")
        say(out.name + printable(out.piece.bytes));
}

void VisionReplay::startRecords()
{
    if (m_segment == m_segments.size() && m_options.loop)
        m_segment = 0;
    if (m_segment == m_segments.size()) {
        say("all recorded records played");
        m_playing = nullptr;
        return;
    }
    say("acquisition on: playing the records of recorded acquisition " +
        QByteArray::number(qulonglong(m_segment + 1)));
    m_playing = &m_segments[m_segment++];
    m_next = 0;
    m_sinceOn.start();
    playRecords();
}

void VisionReplay::playRecords()
{
    if (!m_playing)
        return;
    if (m_next == m_playing->size() && m_options.loop && !m_playing->empty()) {
        m_next = 0;
        m_sinceOn.start();
    }
    while (m_next < m_playing->size() &&
           (*m_playing)[m_next].offsetNs <= m_sinceOn.nsecsElapsed() &&
           ((*m_playing)[m_next].capturedNs < m_allowedNs || m_options.loop)) {
        const Piece& next = (*m_playing)[m_next];
        if (!mayFollow(m_stream, next.capturedNs)) {
            m_orderCheck.start();
            return;
        }
        send({m_stream, {0, next.bytes, next.capturedNs}, "records: "});
        ++m_next;
    }
    if (m_next < m_playing->size() && (*m_playing)[m_next].capturedNs >= m_allowedNs &&
        !m_options.loop)
        return; // held until the robot has had its reply
    // Rounded up: a timer that comes back at once until the next record is due spins, and takes
    // the processor from the bridge being replayed.
    if (m_next < m_playing->size())
        m_recordTimer.start(
            int((std::max<qint64>(0, (*m_playing)[m_next].offsetNs - m_sinceOn.nsecsElapsed()) +
                 999999) /
                1000000));
    else if (m_options.loop && !m_playing->empty())
        m_recordTimer.start(0);
}

// Whether anything the application sent before capturedNs in the recording is still to come:
// records of the segment playing or of one the bridge has not yet asked for, replies waiting for
// their moment, their turn or their request. What an acquisition-off cut short counts as played.
bool VisionReplay::pendingBefore(qint64 capturedNs) const
{
    if (m_playing && m_next < m_playing->size() && (*m_playing)[m_next].capturedNs < capturedNs)
        return true;
    const auto awaited = [&](const std::vector<Piece>& pieces) {
        return !pieces.empty() && pieces.front().capturedNs >= m_givenUpNs &&
               pieces.front().capturedNs < capturedNs;
    };
    for (size_t s = m_segment; s < m_segments.size(); ++s)
        if (awaited(m_segments[s]))
            return true;
    if (!m_scheduled.empty() && *m_scheduled.begin() < capturedNs)
        return true;
    if (!m_held.empty() && m_held.front().piece.capturedNs < capturedNs)
        return true;
    for (const auto& [key, answers] : m_answers)
        for (const Answer& answer : answers)
            if (!answer.played && awaited(answer.pieces))
                return true;
    return false;
}

void VisionReplay::readTimeline()
{
    m_timelineBuffer += m_timeline->readAll();
    for (int end; (end = m_timelineBuffer.indexOf('\n')) != -1;) {
        if (m_asked)
            m_givenUpNs = m_allowedNs;
        m_askedNs = m_timelineBuffer.left(end).toLongLong();
        const auto seen = m_seenAt.find(m_askedNs);
        m_allowedNs = seen != m_seenAt.end() ? seen->second : m_askedNs;
        m_repliesBeforeNs = m_askedNs;
        m_asked = true;
        m_timelineBuffer.remove(0, end + 1);
    }
    releaseHeld();
    playRecords();
    answerTimeline();
}

// Answers once the records before the asked moment are written and taken in by the bridge:
// read from its sockets and handed on by the threads that read them.
void VisionReplay::answerTimeline()
{
    if (!m_timeline || !m_asked)
        return;
    const BridgeWatch::Taken stream = takenIn(m_stream, m_streamWatch);
    const BridgeWatch::Taken command = takenIn(m_command, m_commandWatch);
    if ((pendingBefore(m_allowedNs) && !m_options.loop) || stream == BridgeWatch::Taken::NotYet ||
        command == BridgeWatch::Taken::NotYet) {
        m_readSince.invalidate();
        m_timelineCheck.start();
        return;
    }
    if (stream == BridgeWatch::Taken::Unknown || command == BridgeWatch::Taken::Unknown) {
        if (!m_readSince.isValid())
            m_readSince.start();
        if (m_readSince.nsecsElapsed() < kSettleNs) {
            m_timelineCheck.start();
            return;
        }
    }
    m_readSince.invalidate();
    m_timelineCheck.stop();
    m_timeline->write(QByteArray::number(m_askedNs) + '\n');
    m_timeline->flush();
    m_asked = false;
}

BridgeWatch::Taken VisionReplay::takenIn(const QPointer<QTcpSocket>& socket, BridgeWatch& watch)
{
    if (!socket)
        return BridgeWatch::Taken::Yes;
    if (socket->bytesToWrite() > 0)
        return BridgeWatch::Taken::NotYet;
    const BridgeWatch::Taken taken = watch.Check(*socket);
    if (taken == BridgeWatch::Taken::Unknown && !m_toldUnwatched) {
        std::fprintf(stderr,
                     "tervian-sim: cannot see whether the bridge has taken in what was sent: %s; "
                     "kept in step by a pause instead, so a reply may carry an older record\n",
                     qPrintable(watch.Reason()));
        m_toldUnwatched = true;
    }
    return taken;
}

void VisionReplay::say(const QByteArray& line) const
{
    if (!m_options.quiet)
        std::printf("%s\n", line.constData());
}

int runVisionReplay(const SimOptions& options)
{
    std::vector<capture::Chunk> chunks;
    std::string error;
    if (!capture::ReadPcapngFile(options.replay.toStdString(), &chunks, &error)) {
        std::fprintf(stderr, "tervian-sim: %s\n", error.c_str());
        return 2;
    }
    VisionReplay replay(options, chunks);
    QString listenError;
    if (!replay.listen(listenError)) {
        std::fprintf(stderr, "tervian-sim: %s\n", qPrintable(listenError));
        return 1;
    }
    return QCoreApplication::exec();
}
