#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "CList.h"
#include "CStringArray.h"
#include "Thread.h"
#include "Timer.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(SupportEvent, CountsWakeUpsGivenWhileNobodyWaits) {
    EWEvent event("counting");
    event.Notify();
    event.SetEvent();
    event.Notify();
    event.ResetEvent();  // keeps pending wake-ups
    event.Reset();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Lock(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(SupportEvent, TimedWaitExpiresAfterItsTimeout) {
    EWEvent event;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(event.Wait(150));
    EXPECT_GE(ElapsedMs(start), 140);
}

TEST(SupportEvent, DeadlineCarriesMicrosecondsIntoSeconds) {
    timeval now{100, 900000};
    timespec deadline = EWEvent::DeadlineAfter(now, 1500);
    EXPECT_EQ(deadline.tv_sec, 102);
    EXPECT_EQ(deadline.tv_nsec, 400000000L);

    timeval edge{7, 999999};
    deadline = EWEvent::DeadlineAfter(edge, 999);
    EXPECT_EQ(deadline.tv_sec, 8);
    EXPECT_EQ(deadline.tv_nsec, 998999000L);

    deadline = EWEvent::DeadlineAfter(timeval{5, 0}, 0);
    EXPECT_EQ(deadline.tv_sec, 5);
    EXPECT_EQ(deadline.tv_nsec, 0);
}

TEST(SupportEvent, UnlimitedWaitReturnsOnlyAfterNotify) {
    EWEvent event;
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = event.Wait(EWEvent::kInfinite); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(woke.load());
    event.Notify();
    waiter.join();
    EXPECT_TRUE(woke.load());
}

class Runner : public IRunAble {
public:
    void ThreadFun() override {
        ran = true;
        throw 42;  // must be swallowed by the thread body
    }
    std::atomic<bool> ran{false};
};

TEST(SupportThread, RunsItsRunnableAndSwallowsExceptions) {
    Runner runner;
    EWThread thread;
    ASSERT_TRUE(thread.Start(&runner));
    EXPECT_TRUE(thread.Stop());
    EXPECT_TRUE(runner.ran.load());
}

TEST(SupportThread, LockIsHeldAgainstOtherThreads) {
    CCriticalSection lock;
    ASSERT_TRUE(lock.Lock());
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock.Lock();
        entered = true;
        lock.Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered.load());
    ASSERT_TRUE(lock.Unlock());
    other.join();
    EXPECT_TRUE(entered.load());
}

class TickCounter : public ITimerAble {
public:
    void TimerFun(int id) override {
        lastId = id;
        if (ticks.fetch_add(1) == 0)
            firstTickMs = ElapsedMs(start);
    }
    Clock::time_point start = Clock::now();
    std::atomic<int> ticks{0};
    std::atomic<int> lastId{0};
    std::atomic<long> firstTickMs{-1};
};

TEST(SupportTimer, SleepFirstWaitsOnePeriodBeforeTheFirstCall) {
    Timer timer(1, 300, 0);
    TickCounter client;
    ASSERT_TRUE(timer.startTimer(&client));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(client.ticks.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(timer.stopTimer());
    EXPECT_GE(client.ticks.load(), 1);
    EXPECT_GE(client.firstTickMs.load(), 290);
    EXPECT_EQ(client.lastId.load(), 1);
}

TEST(SupportTimer, CallFirstTicksAtOnceAndStopsWhenStopped) {
    Timer timer(7, 1000, 1);
    TickCounter client;
    ASSERT_TRUE(timer.startTimer(&client));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(client.ticks.load(), 1);
    EXPECT_EQ(client.lastId.load(), 7);
    EXPECT_TRUE(timer.stopTimer());
    int ticks = client.ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(client.ticks.load(), ticks);
}

SBuffer MakeBuffer(BYTE tag) {
    SBuffer buffer{1, new BYTE[1]};
    buffer.pData[0] = tag;
    return buffer;
}

TEST(SupportList, KeepsNewestFirstAndRemovesTheOldestAtTheTail) {
    CList list(0);
    for (BYTE tag = 0; tag < 11; ++tag)
        ASSERT_NE(list.AddHead(MakeBuffer(tag)), nullptr);
    ASSERT_EQ(list.GetCount(), 11);
    SBuffer oldest = list.RemoveTail();
    EXPECT_EQ(oldest.pData[0], 0);
    delete[] oldest.pData;
    ASSERT_EQ(list.GetCount(), 10);
    _POSITION* position = list.GetHeadPosition();
    BYTE expected = 10;
    while (position != nullptr) {
        SBuffer* buffer = list.GetNext(position);
        EXPECT_EQ(buffer->pData[0], expected--);
    }
    EXPECT_EQ(expected, 0);
}

TEST(SupportList, RemovingTheLastNodeEmptiesHeadAndTail) {
    CList list;
    list.AddHead(MakeBuffer(5));
    SBuffer only = list.RemoveTail();
    delete[] only.pData;
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    list.AddHead(MakeBuffer(6));
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
}

TEST(SupportList, RemoveTailOfEmptyListIsAContractBreach) {
    CList list;
    EXPECT_DEATH(list.RemoveTail(), "m_nCount != 0");
}

TEST(SupportStringArray, InsertsAtIndexesAndCopies) {
    CStringArray rows;
    EXPECT_EQ(rows.Add("v"), 1);
    rows.InsertAt(0, "p");
    rows.InsertAt(1, "connected");
    rows.InsertAt(3, "last");
    ASSERT_EQ(rows.Getl(), 4);
    EXPECT_STREQ(rows.GetAt(0), "p");
    EXPECT_STREQ(rows.GetAt(1), "connected");
    EXPECT_STREQ(rows.GetAt(2), "v");
    EXPECT_STREQ(rows.GetAt(3), "last");

    CStringArray copy;
    copy.Add("stale");
    copy.Copy(rows);
    ASSERT_EQ(copy.Getl(), 4);
    EXPECT_STREQ(copy.GetAt(2), "v");
    EXPECT_NE(copy.GetAt(2), rows.GetAt(2));  // owned copies
    rows.RemoveAll();
    EXPECT_EQ(rows.Getl(), 0);
    EXPECT_STREQ(copy.GetAt(0), "p");
}

TEST(SupportStringArray, ContractBreachesNameTheirCondition) {
    CStringArray rows;
    EXPECT_DEATH(rows.GetAt(0), "index >= 0 && index < m_nArrayCount && m_nArrayCount > 0");
    EXPECT_DEATH(rows.InsertAt(1, "x"), "p >= 0 && p <= m_nArrayCount && pszString != __null");
    EXPECT_DEATH(rows.Add(nullptr), "Assertion failed: pszString != __null, file .*CStringArray");
}

}  // namespace
