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
        // A poll that finds the mutex busy times out at once and leaves the signal.
        SetEvent(e);
        pthread_mutex_lock(&e->Mutex);
        int result = -1;
        std::thread([&] { result = WaitForEvent(e, 0); }).join();
        pthread_mutex_unlock(&e->Mutex);
        QCOMPARE(result, ETIMEDOUT);
        QCOMPARE(WaitForEvent(e, 0), 0);
        DestroyEvent(e);
    }

    // One waiter of an auto-reset event, four of a manual-reset one, timed and unlimited.
    void setWakesTimedAndUnlimitedWaiters()
    {
        for (const bool manual : {false, true}) {
            event_t e = CreateEvent(manual, false);
            for (const uint64_t timeout : {uint64_t(60000), WaitInfinite}) {
                std::atomic<int> woken{0};
                std::vector<std::thread> waiters;
                for (int i = 0; i < (manual ? 4 : 1); ++i)
                    waiters.emplace_back([&] { woken += WaitForEvent(e, timeout) == 0; });
                SetEvent(e);
                for (std::thread& waiter : waiters)
                    waiter.join();
                QCOMPARE(woken.load(), int(waiters.size()));
                QCOMPARE(WaitForEvent(e, 0), manual ? 0 : ETIMEDOUT); // manual stays signalled
                ResetEvent(e);
            }
            DestroyEvent(e);
        }
    }
};

QTEST_APPLESS_MAIN(TestEvents)
#include "test_events.moc"
