// tervian-sim as the bridge meets it: replies, the record stream, fault modes and exit codes.
#include "bridge_process.h"
#include "sim_process.h"

#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

namespace
{

const QByteArray loadProject5 = R"(<DIDE DIR="Request" CMD="Project_Load" FILE="5.t_p"/>)";
const QByteArray acquisitionOn = R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="on" />)";
const QByteArray acquisitionOff = R"(<DIDE DIR="Request" CMD="Device_Acquisition" STATE="off" />)";
const QByteArray loadOk = R"(<DIDE DIR="ReplyOk" CMD="Project_Load"/>)";
const QByteArray acquisitionOk = R"(<DIDE DIR="ReplyOk" CMD="Device_Acquisition"/>)";
const QByteArray loadError = R"(<DIDE DIR="ReplyError" CMD="Project_Load"/>)";
const QByteArray acquisitionError = R"(<DIDE DIR="ReplyError" CMD="Device_Acquisition"/>)";

std::unique_ptr<QTcpSocket> connectTo(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost("127.0.0.1", port);
    socket->waitForConnected(3000);
    return socket;
}

// What one read brings back after the request; empty when nothing comes within timeoutMs.
QByteArray exchange(QTcpSocket& socket, const QByteArray& request, int timeoutMs = 3000)
{
    socket.write(request);
    return socket.waitForReadyRead(timeoutMs) ? socket.readAll() : QByteArray();
}

// Reads until at least count records have come, or timeoutMs passes; returns them whole.
QList<QByteArray> readRecords(QTcpSocket& stream, int count, int timeoutMs = 5000)
{
    QByteArray text;
    QDeadlineTimer deadline(timeoutMs);
    while (text.count(';') < count && stream.waitForReadyRead(int(deadline.remainingTime())))
        text += stream.readAll();
    QList<QByteArray> records = text.split(';');
    records.removeLast(); // the part after the last ";", if any
    return records;
}

bool isPlausibleRecord(const QByteArray& record)
{
    const QList<QByteArray> fields = record.split(',');
    bool ok = fields.size() == 6;
    if (ok)
        fields[0].toInt(&ok);
    for (int i = 1; ok && i < fields.size(); ++i) {
        const double value = fields[i].toDouble(&ok);
        ok = ok && std::abs(value) < 327;
    }
    return ok;
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
        QCOMPARE(exchange(*command, loadProject5), loadOk);
        QVERIFY(!stream->waitForReadyRead(300));

        QCOMPARE(exchange(*command, acquisitionOn), acquisitionOk);
        const QList<QByteArray> records = readRecords(*stream, 50);
        QVERIFY(records.size() >= 50);
        for (const QByteArray& record : records)
            QVERIFY2(isPlausibleRecord(record), record.constData());

        QCOMPARE(exchange(*command, acquisitionOff), acquisitionOk);
        stream->waitForReadyRead(100); // records sent before the reply may still be on the way
        stream->readAll();
        QVERIFY(!stream->waitForReadyRead(300));
        QVERIFY(sim.waitFor("request: " + acquisitionOff + "\nacquisition off\n"));
        QCOMPARE(sim.terminate(), 0);
    }

    void rejectsWhatItIsToldTo()
    {
        SimProcess sim(
            {"--reject-project", "7", "--reject-project", "000002", "--reject-acquisition"});
        QVERIFY(sim.started());
        auto command = connectTo(32001);
        auto stream = connectTo(32002);
        QCOMPARE(exchange(*command, R"(<DIDE DIR="Request" CMD="Project_Load" FILE="7.t_p"/>)"),
                 loadError);
        QCOMPARE(
            exchange(*command, R"(<DIDE DIR="Request" CMD="Project_Load" FILE="000002.t_p"/>)"),
            loadError);
        QCOMPARE(exchange(*command, R"(<DIDE DIR="Request" CMD="Project_Load" FILE="2.t_p"/>)"),
                 loadOk);
        QCOMPARE(exchange(*command, acquisitionOn), acquisitionError);
        QVERIFY(!stream->waitForReadyRead(300));
    }

    void streamsFixedValuesEvenWithoutAcquisition()
    {
        SimProcess sim({"--stream-always", "--values", "1,2.5,-3,0.75,0.1,4", "--rate", "500"});
        QVERIFY(sim.started());
        auto stream = connectTo(32002);
        const QList<QByteArray> records = readRecords(*stream, 20);
        QVERIFY(records.size() >= 20);
        QCOMPARE(records.count("1,2.5,-3,0.75,0.1,4"), records.size());
    }

    void staysSilentWithNoReply()
    {
        SimProcess sim({"--no-reply"});
        QVERIFY(sim.started());
        auto command = connectTo(32001);
        QCOMPARE(exchange(*command, loadProject5, 500), QByteArray());
        QVERIFY(sim.waitFor("request: " + loadProject5));
        QCOMPARE(sim.terminate(), 0);
    }

    void closesAfterRequestsAndServesTheNextClient()
    {
        SimProcess sim({"--close-after-requests", "2"});
        QVERIFY(sim.started());
        auto first = connectTo(32001);
        QCOMPARE(exchange(*first, loadProject5), loadOk);
        QCOMPARE(exchange(*first, acquisitionOn), acquisitionOk);
        QVERIFY(first->state() == QAbstractSocket::UnconnectedState ||
                first->waitForDisconnected(3000));

        // A newcomer replaces the client before it, which may vanish without a word.
        auto second = connectTo(32001);
        auto third = connectTo(32001);
        QVERIFY(second->waitForDisconnected(3000));
        third->abort();
        auto fourth = connectTo(32001);
        QCOMPARE(exchange(*fourth, loadProject5), loadOk);
    }

    void closesAfterRecordsOnEveryConnection()
    {
        SimProcess sim({"--close-after-records", "5", "--stream-always", "--rate", "1000"});
        QVERIFY(sim.started());
        for (int connection = 0; connection < 2; ++connection) {
            auto stream = connectTo(32002);
            QCOMPARE(readRecords(*stream, 6, 3000).size(), 5);
            QCOMPARE(stream->state(), QAbstractSocket::UnconnectedState);
        }
    }

    void exitsWithTwoOnBadOptions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("unknown") << QStringList{"--bogus"};
        QTest::newRow("missing value") << QStringList{"--delay-ms"};
        QTest::newRow("zero rate") << QStringList{"--rate", "0"};
        QTest::newRow("port range") << QStringList{"--command-port", "70000"};
        QTest::newRow("same ports") << QStringList{"--stream-port=32001"};
        QTest::newRow("short record") << QStringList{"--values", "0,1,2"};
        QTest::newRow("bad number") << QStringList{"--values", "0,1,2,x,4,5"};
        QTest::newRow("bad address") << QStringList{"--address", "nowhere"};
    }

    void exitsWithTwoOnBadOptions()
    {
        QFETCH(QStringList, options);
        SimProcess sim(options);
        QCOMPARE(sim.exitCode(), 2);
        QVERIFY(!sim.process().readAllStandardError().isEmpty());
    }

    void exitsWithOneWhenAPortIsBusy()
    {
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 32002));
        SimProcess sim;
        QCOMPARE(sim.exitCode(), 1);
        QVERIFY(sim.process().readAllStandardError().contains("32002"));
    }
};

QTEST_GUILESS_MAIN(TestTervianSim)
#include "test_tervian_sim.moc"
