#include "simulator.h"

#include "dide_text.h"

#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace
{
// After a stall, at most this many overdue records go out at once; the rest are skipped.
constexpr qint64 maxBurst = 10;
// A reader that falls this far behind misses records, as with the real sensor, instead of
// letting the unsent stream grow without bound.
constexpr qint64 maxUnsentBytes = 64 * 1024;
} // namespace

Simulator::Simulator(const SimOptions& options, QObject* parent)
    : QObject(parent),
      m_options(options), m_command{"command", options.closeAfterRequests, {}, 0, {}},
      m_stream{"stream", options.closeAfterRecords, {}, 0, {}}
{
    connect(&m_commandServer, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_commandServer.nextPendingConnection()) {
            m_requestBuffer.clear();
            adopt(m_command, socket);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                if (m_command.socket == socket)
                    readRequests();
            });
        }
    });
    connect(&m_streamServer, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_streamServer.nextPendingConnection())
            adopt(m_stream, socket);
    });
    connect(&m_ticker, &RecordTicker::ticked, this, &Simulator::streamRecords);
    m_pieceTimer.setInterval(1);
    connect(&m_pieceTimer, &QTimer::timeout, this, &Simulator::writePieces);
    m_motionClock.start();
}

Simulator::~Simulator()
{
    // The servers delete their client sockets only after the members that the sockets'
    // closing signals would reach are gone.
    for (QTcpServer* server : {&m_commandServer, &m_streamServer})
        for (QTcpSocket* socket : server->findChildren<QTcpSocket*>())
            socket->disconnect(this);
}

bool Simulator::listen(QString& error)
{
    if (!m_ticker.isValid()) {
        error = "cannot create the record timer";
        return false;
    }
    const QString address = m_options.address.toString();
    for (auto [server, port] : {std::pair(&m_commandServer, m_options.commandPort),
                                std::pair(&m_streamServer, m_options.streamPort)}) {
        if (!server->listen(m_options.address, port)) {
            error = QString("cannot listen on %1:%2: %3")
                        .arg(address)
                        .arg(port)
                        .arg(server->errorString());
            return false;
        }
    }
    say(QString("listening on %1:%2 and %1:%3")
            .arg(address)
            .arg(m_commandServer.serverPort())
            .arg(m_streamServer.serverPort())
            .toUtf8());
    return true;
}

void Simulator::adopt(Client& client, QTcpSocket* socket)
{
    if (client.socket)
        drop(client);
    client.socket = socket;
    client.count = 0;
    client.unsent.clear();
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    say(QByteArray(client.name) + " client connected");

    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto vanished = [this, &client, socket] {
        if (client.socket == socket)
            drop(client);
    };
    connect(socket, &QTcpSocket::disconnected, this, vanished);
    connect(socket, &QTcpSocket::errorOccurred, this, vanished);
    if (client.closeAfter == 0)
        drop(client);
    updateStreaming();
}

void Simulator::drop(Client& client)
{
    QTcpSocket* socket = client.socket;
    if (!socket)
        return; // already gone, e.g. a write failed and the socket reported it at once
    client.socket = nullptr;
    say(QByteArray(client.name) + " client disconnected");
    // Whatever is still queued for the client goes out before the connection closes.
    socket->write(client.unsent);
    client.unsent.clear();
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
    updateStreaming();
}

void Simulator::readRequests()
{
    m_requestBuffer += m_command.socket->readAll();
    while (m_command.socket) {
        const std::optional<QByteArray> request = takeRequest(m_requestBuffer);
        if (!request)
            break;
        handleRequest(*request);
    }
}

void Simulator::handleRequest(const QByteArray& request)
{
    say("request: " + printable(request));
    // Even with junk for an answer the request takes effect, so that junk records can flow.
    QByteArray reply = answer(request);
    if (m_options.garbage)
        reply = junk(64);
    const bool last = ++m_command.count == m_command.closeAfter;
    if (m_options.noReply) {
        if (last)
            drop(m_command);
    } else if (m_options.delayMs > 0) {
        QTimer::singleShot(m_options.delayMs, this, [this, socket = m_command.socket, reply, last] {
            sendReply(socket, reply, last);
        });
    } else {
        sendReply(m_command.socket, reply, last);
    }
}

QByteArray Simulator::answer(const QByteArray& request)
{
    const QByteArray command = attributeValue(request, "CMD").value_or(QByteArray());
    if (attributeValue(request, "DIR") != "Request")
        return dideReply(false, command);
    if (command == "Project_Load") {
        const std::optional<QByteArray> file = attributeValue(request, "FILE");
        return dideReply(file && !m_options.rejectedProjects.contains(projectName(*file)), command);
    }
    if (command == "Device_Acquisition")
        return dideReply(switchAcquisition(request), command);
    return dideReply(false, command);
}

bool Simulator::switchAcquisition(const QByteArray& request)
{
    const QByteArray state = attributeValue(request, "STATE").value_or(QByteArray());
    if (m_options.rejectAcquisition || (state != "on" && state != "off"))
        return false;
    m_acquisition = state == "on";
    say(m_acquisition ? "acquisition on" : "acquisition off");
    updateStreaming();
    return true;
}

void Simulator::sendReply(const QPointer<QTcpSocket>& socket, const QByteArray& reply, bool last)
{
    if (!socket || socket != m_command.socket)
        return; // the client that asked has gone
    writeOut(m_command, reply);
    say("reply: " + printable(reply));
    if (last)
        drop(m_command);
}

void Simulator::updateStreaming()
{
    const bool wanted = m_stream.socket && (m_acquisition || m_options.streamAlways);
    if (wanted && !m_ticker.isActive())
        m_ticker.start(m_options.rate);
    else if (!wanted && m_ticker.isActive())
        m_ticker.stop();
}

void Simulator::streamRecords(qint64 due)
{
    for (qint64 i = 0; i < std::min(due, maxBurst) && m_ticker.isActive(); ++i)
        sendRecord();
}

void Simulator::sendRecord()
{
    QTcpSocket* socket = m_stream.socket;
    if (socket->bytesToWrite() + m_stream.unsent.size() > maxUnsentBytes)
        return;
    if (m_options.garbage)
        writeOut(m_stream, junk(48));
    else if (!m_options.fixedRecord.isEmpty())
        writeOut(m_stream, m_options.fixedRecord + ';');
    else
        writeOut(m_stream, m_motion.recordAt(m_motionClock.nsecsElapsed() / 1e9));
    if (++m_stream.count == m_stream.closeAfter)
        drop(m_stream);
}

// One write, flushed at once, so that without --pieces a reply or record arrives whole in one
// receive; with it, the bytes wait for the piece timer.
void Simulator::writeOut(Client& client, const QByteArray& bytes)
{
    if (!m_options.pieces) {
        client.socket->write(bytes);
        client.socket->flush();
        return;
    }
    client.unsent += bytes;
    if (!m_pieceTimer.isActive())
        m_pieceTimer.start();
}

void Simulator::writePieces()
{
    bool more = false;
    for (Client* client : {&m_command, &m_stream}) {
        if (!client->socket || client->unsent.isEmpty())
            continue;
        const int size = std::uniform_int_distribution<int>(1, client->unsent.size())(m_random);
        client->socket->write(client->unsent.left(size));
        client->socket->flush();
        client->unsent.remove(0, size);
        more = more || !client->unsent.isEmpty();
    }
    if (!more)
        m_pieceTimer.stop();
}

QByteArray Simulator::junk(int maxLength)
{
    QByteArray bytes(std::uniform_int_distribution<int>(1, maxLength)(m_random), '\0');
    for (char& byte : bytes)
        byte = char(std::uniform_int_distribution<int>(0, 255)(m_random));
    return bytes;
}

void Simulator::say(const QByteArray& line) const
{
    if (!m_options.quiet)
        std::printf("%s\n", line.constData());
}
