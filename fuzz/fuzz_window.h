#ifndef FUZZ_WINDOW_H
#define FUZZ_WINDOW_H

#include "mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QSettings>

#include <cstdlib>

// One bridge window per fuzzer process, made on first use. Its worker threads are stopped at
// once, so the fuzzer's thread is the only one touching it, and its debug log goes to
// /dev/null, so that millions of inputs can run with the log on without filling the disk.
// The window still starts the robot server and dials 127.0.0.1 for a moment, so scripts/fuzz.sh
// runs every fuzzer in a private network namespace (or under the ports lock).
class TestAccess
{
public:
    static MainWindow& Window()
    {
        static MainWindow* const window = Create();
        return *window;
    }

    // Stops the fuzzer when a property of the code under test does not hold; libFuzzer then
    // saves the input that broke it.
    static void Require(bool property)
    {
        if (!property)
            std::abort();
    }

private:
    static MainWindow* Create()
    {
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv);
        WriteLoopbackConfig();
        MainWindow* window = new MainWindow;
        StopWorkers(window);
        DiscardLog(window);
        return window;
    }

    static void WriteLoopbackConfig()
    {
        QSettings settings(QCoreApplication::applicationDirPath() + "/config.txt",
                           QSettings::IniFormat);
        settings.setValue("ScannerIP", "127.0.0.1");
        settings.setValue("ProjectID", "1");
        settings.setValue("DebugLog", "1");
    }

    static void StopWorkers(MainWindow* w)
    {
        w->m_bExitRobotThread = true;
        w->m_bExitScannerThread = true;
        w->m_bExitValuesThread = true;
        for (auto* thread : {&w->pRobotThread, &w->pScannerThread, &w->pValuesThread})
            if (*thread != nullptr) {
                (*thread)->join();
                thread->reset();
            }
    }

    static void DiscardLog(MainWindow* w)
    {
        w->m_logFile.Close(QDateTime::currentDateTime());
        w->m_logFile.Open("/dev/null", "/dev/null");
        w->m_logFile.Configure(0, false);
    }

public:
    // One input to one fuzzer; each fuzzer defines the entry it uses.
    static void ProcessRobotBlock(const uint8_t* data, size_t size);
    static void DecodeBlock(const uint8_t* data, size_t size);
    static void JudgeReply(const uint8_t* data, size_t size);
};

#endif // FUZZ_WINDOW_H
