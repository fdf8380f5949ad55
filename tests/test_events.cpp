#include "events.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

using namespace events;

class TestEvents : public QObject
{
    Q_OBJECT

private slots:
    void autoResetConsumesOneSignal()
    {
        event_t e = CreateEvent(false, false);
        QCOMPARE(WaitForEvent(e, 0), ETIMEDOUT);
        SetEvent(e);
        SetEvent(e); // a second set before the wait is the same signal
        QCOMPARE(WaitForEvent(e, 0), 0);
        QCOMPARE(WaitForEvent(e, 10), ETIMEDOUT);
        DestroyEvent(e);
    }

    void initialStateAndReset()
    {
        event_t e = CreateEvent(false, true);
        QCOMPARE(WaitForEvent(e, 0), 0);
        SetEvent(e);
        ResetEvent(e);
        QCOMPARE(WaitForEvent(e, 0), ETIMEDOUT);
        DestroyEvent(e);
    }

    void pollOnBusyMutexTimesOutWithoutBlocking()
    {
        event_t e = CreateEvent(false, true);
        pthread_mutex_lock(&e->Mutex);
        int result = -1;
        std::thread poller([&] { result = WaitForEvent(e, 0); });
        poller.join();
        pthread_mutex_unlock(&e->Mutex);
        QCOMPARE(result, ETIMEDOUT);
        QCOMPARE(WaitForEvent(e, 0), 0); // the signal was not consumed
        DestroyEvent(e);
    }

    void timedWaitLastsAtLeastTheTimeout()
    {
        event_t e = CreateEvent(false, false);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(WaitForEvent(e, 30), ETIMEDOUT);
        QVERIFY(clock.elapsed() >= 30);
        DestroyEvent(e);
    }

    void setWakesTimedAndUnlimitedWaiters()
    {
        event_t e = CreateEvent(false, false);
        std::atomic<int> timed{-1}, unlimited{-1};
        std::thread a([&] { timed = WaitForEvent(e, 60000); });
        SetEvent(e);
        a.join();
        QCOMPARE(timed.load(), 0);

        std::thread b([&] { unlimited = WaitForEvent(e, WaitInfinite); });
        SetEvent(e);
        b.join();
        QCOMPARE(unlimited.load(), 0);
        QCOMPARE(WaitForEvent(e, 0), ETIMEDOUT);
        DestroyEvent(e);
    }

    void manualResetWakesAllAndStaysSignalled()
    {
        event_t e = CreateEvent(true, false);
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 4; ++i)
            waiters.emplace_back([&] {
                if (WaitForEvent(e, 60000) == 0)
                    ++woken;
            });
        SetEvent(e);
        for (std::thread& t : waiters)
            t.join();
        QCOMPARE(woken.load(), 4);
        QCOMPARE(WaitForEvent(e, 0), 0);
        QCOMPARE(WaitForEvent(e, 0), 0);
        DestroyEvent(e);
    }
};

QTEST_APPLESS_MAIN(TestEvents)
#include "test_events.moc"
