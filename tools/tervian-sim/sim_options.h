#ifndef SIM_OPTIONS_H
#define SIM_OPTIONS_H

#include <QByteArray>
#include <QHostAddress>
#include <QSet>
#include <QString>
#include <QStringList>

// How the simulated vision application behaves, as chosen on the command line.
struct SimOptions {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 commandPort = 32001;
    quint16 streamPort = 32002;
    double rate = 50;       // records per second
    QByteArray fixedRecord; // without its ";"; empty means a moving joint
    bool streamAlways = false;
    QSet<QByteArray> rejectedProjects; // project names without ".t_p"
    bool rejectAcquisition = false;
    bool noReply = false;
    int delayMs = 0;
    int closeAfterRequests = -1; // -1: never
    int closeAfterRecords = -1;  // -1: never
    bool garbage = false;
    bool pieces = false; // replies and records go out in random-sized pieces
    bool quiet = false;
    QString replay; // a capture the bridge saved, played instead of simulating
    bool loop = false;
    int speed = 1; // a replay's delays and record offsets divided by this
};

enum class ParseOutcome { Run, Help, Error };

// Reads the arguments after the program name; on Error, error says what was wrong.
ParseOutcome parseSimOptions(const QStringList& args, SimOptions& options, QString& error);

extern const char simUsage[];

#endif // SIM_OPTIONS_H
