#ifndef SIMULATOR_H
#define SIMULATOR_H

#include "joint_motion.h"
#include "record_ticker.h"
#include "sim_options.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <random>

// The vision application as the bridge sees it: a DIDE command port and a measurement stream
// port, each serving one client at a time. A newcomer replaces the client before it, as the
// bridge reconnects without always closing its old connection first.
class Simulator : public QObject
{
    Q_OBJECT

public:
    explicit Simulator(const SimOptions& options, QObject* parent = nullptr);
    ~Simulator() override;

    // Opens both ports; on failure error says why.
    bool listen(QString& error);

private:
    struct Client {
        const char* name;
        int closeAfter; // requests or records on one connection; -1: never
        QPointer<QTcpSocket> socket;
        int count = 0;
        QByteArray unsent; // with --pieces: what waits for the next piece
    };

    void adopt(Client& client, QTcpSocket* socket);
    void drop(Client& client);
    void readRequests();
    void handleRequest(const QByteArray& request);
    QByteArray answer(const QByteArray& request);
    bool switchAcquisition(const QByteArray& request);
    void sendReply(const QPointer<QTcpSocket>& socket, const QByteArray& reply, bool last);
    void updateStreaming();
    void streamRecords(qint64 due);
    void sendRecord();
    void writeOut(Client& client, const QByteArray& bytes);
    void writePieces();
    QByteArray junk(int maxLength);
    void say(const QByteArray& line) const;

    const SimOptions m_options;
    QTcpServer m_commandServer;
    QTcpServer m_streamServer;
    Client m_command;
    Client m_stream;
    QByteArray m_requestBuffer;
    bool m_acquisition = false;

    QTimer m_pieceTimer;
    RecordTicker m_ticker;
    QElapsedTimer m_motionClock; // since start-up, so the joint moves on between sessions
    JointMotion m_motion;
    std::mt19937 m_random;
};

#endif // SIMULATOR_H
