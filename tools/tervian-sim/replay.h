#ifndef REPLAY_H
#define REPLAY_H

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
#include <map>
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
    };

    VisionReplay(const SimOptions& options, const std::vector<capture::Chunk>& chunks,
                 QObject* parent = nullptr);

    bool listen(QString& error);

private:
    struct Answer {
        std::vector<Piece> pieces;
    };

    void takeCommands(const std::vector<capture::Chunk>& chunks);
    void takeRecords(const std::vector<capture::Chunk>& chunks);
    void readRequests();
    void handleRequest(const QByteArray& request);
    void play(const QPointer<QTcpSocket>& socket, const Piece& piece, const QByteArray& name);
    void startRecords();
    void playRecords();
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
};

// Runs the replay until SIGTERM or SIGINT; returns the exit status (2 for a capture that
// cannot be read, 1 for a port that cannot be opened).
int runVisionReplay(const SimOptions& options);

#endif // REPLAY_H
