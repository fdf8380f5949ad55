#ifndef FUZZ_WINDOW_H
#define FUZZ_WINDOW_H

#include "loopback_config.h"
#include "window_fixture.h"

#include <QApplication>

#include <cstdlib>

// One bridge window per fuzzer process, made on first use. Its worker threads are stopped at
// once, so the fuzzer's thread is the only one touching it, and its debug log goes to
// /dev/null, so that millions of inputs can run with the log on without filling the disk.
// The window still starts the robot server and dials 127.0.0.1 for a moment, so scripts/fuzz.sh
// runs every fuzzer in a private network namespace (or under the ports lock).
inline WindowFixture& FuzzWindow()
{
    static WindowFixture* const window = [] {
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv);
        WriteLoopbackConfig(QCoreApplication::applicationDirPath(), {{"DebugLog", "1"}});
        auto* fixture = new WindowFixture;
        fixture->StopWorkers();
        fixture->DiscardLog();
        return fixture;
    }();
    return *window;
}

// Stops the fuzzer when a property of the code under test does not hold; libFuzzer then saves
// the input that broke it.
inline void Require(bool property)
{
    if (!property)
        std::abort();
}

#endif // FUZZ_WINDOW_H
