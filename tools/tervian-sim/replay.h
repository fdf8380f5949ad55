#ifndef REPLAY_H
#define REPLAY_H

#include "bridge_watch.h"
#include "sim_options.h"

#include "capture.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <deque>
#include <limits>
#include <map>
#include <set>
#include <vector>

// Plays the vision application from a capture the bridge saved. Each DIDE request is answered
// with the reply recorded for the same command (and, for a project load, the same file), in the
// recorded pieces and after the recorded delay, with a recorded silence or close played as
// such; each acquisition-on starts the records streamed after the next recorded one, at their
// recorded offsets and in their recorded pieces.
class VisionReplay : public QObject
{
    Q_OBJECT

public:
    // Bytes the vision application sent (or, when empty, its close of the connection), some
    // time after the moment they follow.
    struct Piece {
        qint64 offsetNs;
        QByteArray bytes;
        qint64 capturedNs = 0; // when the bridge recorded it; 0 for what the capture lacks
    };

    VisionReplay(const SimOptions& options, const std::vector<capture::Chunk>& chunks,
                 QObject* parent = nullptr);

    bool listen(QString& error);

private:
    struct Answer {
        std::vector<Piece> pieces;
        bool played = false;
    };
    struct Outgoing {
        QPointer<QTcpSocket> socket;
        Piece piece;
        QByteArray name; // of the event line
    };

    void takeCommands(const std::vector<capture::Chunk>& chunks);
    void takeRecords(const std::vector<capture::Chunk>& chunks);
    void takeRecordsSeen(const std::vector<capture::Chunk>& chunks);
    void readRequests();
    void handleRequest(const QByteArray& request);
    void play(const QPointer<QTcpSocket>& socket, const Piece& piece, const QByteArray& name);
    void sendInTurn(const Outgoing& out);
    void releaseHeld();
    bool mayFollow(const QPointer<QTcpSocket>& socket, qint64 capturedNs);
    void send(const Outgoing& out);
    void startRecords();
    void playRecords();
    bool pendingBefore(qint64 capturedNs) const;
    void readTimeline();
    void answerTimeline();
    BridgeWatch::Taken takenIn(const QPointer<QTcpSocket>& socket, BridgeWatch& watch);
    void say(const QByteArray& line) const;

    const SimOptions m_options;
    QTcpServer m_commandServer;
    QTcpServer m_streamServer;
    QPointer<QTcpSocket> m_command;
    QPointer<QTcpSocket> m_stream;
    QByteArray m_requestBuffer;

    // Recorded answers by request key, in recorded order; the last is kept for requests
    // beyond those recorded.
    std::map<QByteArray, std::deque<Answer>> m_answers;
    std::vector<std::vector<Piece>> m_segments; // records after each acquisition-on
    size_t m_segment = 0;                       // the next to play
    const std::vector<Piece>* m_playing = nullptr;
    size_t m_next = 0;
    QElapsedTimer m_sinceOn;
    QTimer m_recordTimer;

    // robot-probe --replay, kept in step: records recorded from m_allowedNs on wait until it
    // asks for a later request's; it hears back once the bridge has taken in all before it.
    QTcpServer m_timelineServer;
    QPointer<QTcpSocket> m_timeline;
    QByteArray m_timelineBuffer;
    qint64 m_allowedNs = std::numeric_limits<qint64>::max();
    bool m_asked = false;
    qint64 m_askedNs = 0; // the robot request's moment, as the probe asked for it
    // Replies recorded from this moment on wait for the robot request in flight.
    qint64 m_repliesBeforeNs = std::numeric_limits<qint64>::max();
    // Robot requests that saw another record than the last one the bridge had received before
    // them (an older one, or one it received while answering): asked for as if they came just
    // after the record they saw.
    std::map<qint64, qint64> m_seenAt;
    // What the bridge did not ask for before the probe gave up waiting: it holds back no later ask.
    qint64 m_givenUpNs = std::numeric_limits<qint64>::min();
    // The bridge's threads that read the two links, as it names them.
    BridgeWatch m_streamWatch{"stream reader"};
    BridgeWatch m_commandWatch{"vision client"};
    bool m_toldUnwatched = false;
    QElapsedTimer m_readSince; // all asked for has been read, where the bridge is not watched

    QTimer m_timelineCheck;
    std::multiset<qint64> m_scheduled; // capture times of pieces waiting for their moment
    std::deque<Outgoing> m_held;     // recorded replies waiting for the robot's reply or their turn
    QPointer<QTcpSocket> m_lastSent; // the connection of the recorded piece sent last
    QTimer m_orderCheck;             // looks again whether a piece's turn has come
};

// Runs the replay until SIGTERM or SIGINT; returns the exit status (2 for a capture that
// cannot be read, 1 for a port that cannot be opened).
int runVisionReplay(const SimOptions& options);

#endif // REPLAY_H
