#ifndef WINDOW_TEST_H
#define WINDOW_TEST_H

// Helpers for tests that run a MainWindow in their own process, where it keeps config.txt and
// DebugLog.txt beside the test program.
#include "bridge_process.h"
#include "capture_reader.h"
#include "window_fixture.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QtTest>

#include <functional>
#include <memory>

inline QString TestDir()
{
    return QCoreApplication::applicationDirPath();
}

inline QByteArray TestDebugLog()
{
    return readFile(TestDir() + "/DebugLog.txt");
}

inline QString FaultCapturePath(const char* kind)
{
    return TestDir() + "/capture-last-fault-" + kind + ".pcapng";
}

// The chunks of the fault capture of one kind; none while it has not been written.
inline std::vector<capture::Chunk> FaultCapture(const char* kind)
{
    std::vector<capture::Chunk> chunks;
    std::string error;
    capture::ReadPcapngFile(FaultCapturePath(kind).toStdString(), &chunks, &error);
    return chunks;
}

// Watches for the window's critical boxes: records each one, lets the test act while it is
// open (the callback, given the number of open boxes, returns true once the top one may
// close), then closes it. Past a deadline it closes whatever is open, so a fault fails the
// test instead of hanging it.
class BoxWatcher : public QObject
{
public:
    explicit BoxWatcher(std::function<bool(int)> whileOpen = [](int) { return true; })
        : m_whileOpen(std::move(whileOpen))
    {
        startTimer(10);
    }
    QStringList texts;
    int mostOpenAtOnce = 0;

protected:
    void timerEvent(QTimerEvent*) override
    {
        QList<QMessageBox*> open;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                open << box;
        mostOpenAtOnce = qMax(mostOpenAtOnce, open.size());
        for (QMessageBox* box : open)
            if (!box->property("seen").toBool()) { // the next box may reuse the address
                box->setProperty("seen", true);
                QCOMPARE(box->windowTitle(), QString("Error"));
                QCOMPARE(box->icon(), QMessageBox::Critical);
                QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
                texts << box->text();
            }
        if (!open.isEmpty() && (m_whileOpen(open.size()) || m_giveUp.hasExpired()))
            open.last()->done(QMessageBox::Ok);
    }

private:
    std::function<bool(int)> m_whileOpen;
    QDeadlineTimer m_giveUp{10000};
};

#endif // WINDOW_TEST_H
