#include "replay.h"

#include "dide_text.h"

#include "capture_reader.h"

#include <QCoreApplication>

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

} // namespace

VisionReplay::VisionReplay(const SimOptions& options, const std::vector<capture::Chunk>& chunks,
                           QObject* parent)
    : QObject(parent), m_options(options)
{
    takeCommands(chunks);
    takeRecords(chunks);
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
            answer->pieces.push_back({(c.timeNs - askedAt) / m_options.speed, bytesOf(c)});
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
            m_segments.back().push_back({(c.timeNs - onAt) / m_options.speed, bytesOf(c)});
    }
}

bool VisionReplay::listen(QString& error)
{
    for (auto [server, port] : {std::pair(&m_commandServer, m_options.commandPort),
                                std::pair(&m_streamServer, m_options.streamPort)}) {
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
            .arg(m_options.commandPort)
            .arg(m_options.streamPort)
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
    else if (attributeValue(request, "CMD") == "Device_Acquisition")
        m_playing = nullptr;
}

void VisionReplay::play(const QPointer<QTcpSocket>& socket, const Piece& piece,
                        const QByteArray& name)
{
    const auto send = [this, socket, piece, name] {
        if (!socket)
            return;
        if (piece.bytes.isEmpty()) {
            say(name + "connection closed, as recorded");
            socket->disconnectFromHost();
            return;
        }
        socket->write(piece.bytes);
        socket->flush();
        if (name == "reply: ")
            say(name + printable(piece.bytes));
    };
    if (piece.offsetNs <= 0)
        send();
    else
        QTimer::singleShot(int(piece.offsetNs / 1000000), Qt::PreciseTimer, this, send);
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
    while (m_next < m_playing->size() && (*m_playing)[m_next].offsetNs <= m_sinceOn.nsecsElapsed())
        play(m_stream, {0, (*m_playing)[m_next++].bytes}, "records: ");
    if (m_next < m_playing->size())
        m_recordTimer.start(
            int(((*m_playing)[m_next].offsetNs - m_sinceOn.nsecsElapsed()) / 1000000));
    else if (m_options.loop && !m_playing->empty())
        m_recordTimer.start(0);
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
