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
    void autoResetConsumesOneSignalAndResetClearsIt()
    {
        event_t e = CreateEvent(false, true);
        QCOMPARE(WaitForEvent(e, 0), 0); // created signalled
        QCOMPARE(WaitForEvent(e, 0), ETIMEDOUT);
        SetEvent(e);
        SetEvent(e); // a second set before the wait is the same signal
        QCOMPARE(WaitForEvent(e, 0), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(WaitForEvent(e, 30), ETIMEDOUT);
        QVERIFY(clock.elapsed() >= 30); // a wait never ends before its time-out
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
        std::thread([&] { result = WaitForEvent(e, 0); }).join();
        pthread_mutex_unlock(&e->Mutex);
        QCOMPARE(result, ETIMEDOUT);
        QCOMPARE(WaitForEvent(e, 0), 0); // the signal was not consumed
        DestroyEvent(e);
    }

    void setWakesTimedAndUnlimitedWaiters()
    {
        event_t e = CreateEvent(false, false);
        for (uint64_t timeout : {uint64_t(60000), WaitInfinite}) {
            std::atomic<int> result{-1};
            std::thread waiter([&] { result = WaitForEvent(e, timeout); });
            SetEvent(e);
            waiter.join();
            QCOMPARE(result.load(), 0);
        }
        QCOMPARE(WaitForEvent(e, 0), ETIMEDOUT);
        DestroyEvent(e);
    }

    void manualResetWakesAllAndStaysSignalled()
    {
        event_t e = CreateEvent(true, false);
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 4; ++i)
            waiters.emplace_back([&] { woken += WaitForEvent(e, 60000) == 0; });
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
