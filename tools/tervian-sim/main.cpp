// tervian-sim: a stand-in for the Tervian vision application, so that the bridge can be built,
// run and tested without the cell.
#include "replay.h"
#include "shutdown_signals.h"
#include "sim_options.h"
#include "simulator.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // scripts follow the event lines as they come
    // As early as possible, so that a script stopping the simulator right after starting it
    // still gets an orderly exit.
    ShutdownSignals shutdownSignals;

    SimOptions options;
    QString error;
    switch (parseSimOptions(app.arguments().mid(1), options, error)) {
    case ParseOutcome::Help:
        std::fputs(simUsage, stdout);
        return 0;
    case ParseOutcome::Error:
        std::fprintf(stderr, "tervian-sim: %s (see --help)\n", qPrintable(error));
        return 2;
    case ParseOutcome::Run:
        break;
    }

    if (!options.replay.isEmpty())
        return runVisionReplay(options);
    Simulator simulator(options);
    if (!simulator.listen(error)) {
        std::fprintf(stderr, "tervian-sim: %s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
