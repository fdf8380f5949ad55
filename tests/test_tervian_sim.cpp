// tervian-sim as the bridge meets it: the bridge's own requests answered, the record stream
// and exit codes. Its fault options are exercised by the vision link and fault tests.
#include "bridge_process.h"
#include "dide_protocol.h"
#include "sim_process.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace
{

const QByteArray kLoad5 = QByteArray::fromStdString(dide::LoadProjectRequest("5"));
const QByteArray kOn = QByteArray::fromStdString(dide::AcquisitionRequest(true));
const QByteArray kOff = QByteArray::fromStdString(dide::AcquisitionRequest(false));
const QByteArray kLoadOk = R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)";
const QByteArray kAcquisitionOk = R"(<DIDE DIR="ReplyOk" CMD="Device_Acquisition"/>)";

std::unique_ptr<QTcpSocket> connectTo(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost("127.0.0.1", port);
    socket->waitForConnected(3000);
    return socket;
}

// What one read brings back after the request; empty when nothing comes within 3 s.
QByteArray exchange(QTcpSocket& socket, const QByteArray& request)
{
    socket.write(request);
    return socket.waitForReadyRead(3000) ? socket.readAll() : QByteArray();
}

// The whole records among what arrives until count records have come or 5 s pass.
QList<QByteArray> readRecords(QTcpSocket& stream, int count)
{
    QByteArray text;
    for (QDeadlineTimer deadline(5000);
         text.count(';') < count && stream.waitForReadyRead(int(deadline.remainingTime()));)
        text += stream.readAll();
    return text.split(';').mid(0, text.count(';')); // without the part after the last ";"
}

} // namespace

class TestTervianSim : public QObject
{
    Q_OBJECT

private slots:
    void answersAndStreamsOnlyWhileAcquisitionIsOn()
    {
        SimProcess sim({"--rate", "200"});
        QVERIFY(sim.started());
        auto command = connectTo(32001);
        auto stream = connectTo(32002);
        QCOMPARE(exchange(*command, kLoad5), kLoadOk);
        QVERIFY(!stream->waitForReadyRead(300));
        QCOMPARE(exchange(*command, kOn), kAcquisitionOk);
        const QList<QByteArray> records = readRecords(*stream, 50);
        QVERIFY(records.size() >= 50);
        for (const QByteArray& record : records)
            QVERIFY2(
                QRegularExpression(R"(^[0-2](,-?\d{1,2}\.\d{3}){5}$)").match(record).hasMatch(),
                record.constData());
        QCOMPARE(exchange(*command, kOff), kAcquisitionOk);
        QVERIFY(sim.waitFor("request: " + kOff + "\nacquisition off\n"));
        stream->waitForReadyRead(100); // records sent before the reply may still be on the way
        stream->readAll();
        QVERIFY(!stream->waitForReadyRead(300));
        QCOMPARE(sim.terminate(), 0);
    }

    void exitCodes()
    {
        QCOMPARE(SimProcess({"--rate", "0"}).exitCode(), 2);
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 32002));
        SimProcess busy;
        QCOMPARE(busy.exitCode(), 1);
        QVERIFY(busy.process().readAllStandardError().contains("32002"));
    }
};

QTEST_GUILESS_MAIN(TestTervianSim)
#include "test_tervian_sim.moc"
