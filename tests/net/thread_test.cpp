// Thread objects and the hand-off of work from worker threads to the main
// thread: where and when routines run, errors travelling back, order of
// service, waits that serve, and threads that destroy themselves.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "base/SysUtils.h"
#include "net/Thread.h"
#include "net/WinSocket.h"
#include "net_support.h"

namespace korimo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace testing_support;

class HandOffTest : public testing::Test {
 protected:
  void SetUp() override { MainThread::Register(); }
  const std::thread::id MainId = std::this_thread::get_id();
};

TEST_F(HandOffTest, RoutineRunsOnMainThreadWhileWorkerWaits) {
  std::thread::id ranOn;
  bool routineEnded = false, endSeenByWorker = false;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    RunOnMainThread([&] {
      ranOn = std::this_thread::get_id();
      routineEnded = true;
    });
    endSeenByWorker = routineEnded;
    returned = true;
  });
  ASSERT_TRUE(AwaitQueuedHandOff());
  EXPECT_FALSE(returned);
  EXPECT_EQ(MainThread::ServePending(), 1);
  worker.join();
  EXPECT_EQ(ranOn, MainId);
  EXPECT_TRUE(endSeenByWorker);
  EXPECT_EQ(MainThread::ServePending(), 0);

  // On the main thread itself the routine simply runs.
  bool ran = false;
  RunOnMainThread([&] { ran = MainThread::IsCurrent(); });
  EXPECT_TRUE(ran);
}

template <typename E>
bool IsExactly(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return typeid(e) == typeid(E);
  } catch (...) {
    return false;
  }
}

TEST_F(HandOffTest, ErrorOfRoutineIsRaisedAgainInWorker) {
  struct Case {
    const char* Name;
    std::function<void()> Raise;
    bool (*SameType)(const std::exception_ptr&);
    const char* Message;
  };
  const Case cases[] = {
      {"socket error", [] { throw ESocketError("socket \x83\x5c"); }, IsExactly<ESocketError>, "socket \x83\x5c"},
      {"abort", [] { throw EAbort("quiet"); }, IsExactly<EAbort>, "quiet"},
      {"conversion", [] { throw EConvertError("'x' bad"); }, IsExactly<EConvertError>, "'x' bad"},
      {"standard error", [] { throw std::runtime_error("plain"); }, IsExactly<std::runtime_error>, "plain"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    std::exception_ptr caught;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      try {
        RunOnMainThread(k.Raise);
      } catch (...) {
        caught = std::current_exception();
      }
      done = true;
    });
    // The main thread carries on: serving does not raise.
    EXPECT_NO_THROW(EXPECT_TRUE(WaitUntil([&] { return done.load(); })));
    worker.join();
    ASSERT_TRUE(caught);
    EXPECT_TRUE(k.SameType(caught));
    try {
      std::rethrow_exception(caught);
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), k.Message);
    }
  }
}

TEST_F(HandOffTest, QueuedHandOffsRunOnceEachInArrivalOrder) {
  constexpr int kWorkers = 6;
  std::vector<int> order;
  std::atomic<int> inside{0};
  int maxInside = 0;
  bool allOnMain = true;
  std::atomic<int> returned{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      RunOnMainThread([&, i] {
        maxInside = std::max(maxInside, ++inside);
        allOnMain = allOnMain && MainThread::IsCurrent();
        order.push_back(i);
        --inside;
      });
      ++returned;
    });
    // The next worker starts only once this one's hand-off is queued.
    EXPECT_TRUE(AwaitQueuedHandOff());
  }
  EXPECT_EQ(returned, 0);
  EXPECT_EQ(MainThread::ServePending(), kWorkers);
  EXPECT_TRUE(WaitUntil([&] { return returned == kWorkers; }));
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(maxInside, 1);
  EXPECT_TRUE(allOnMain);
}

TEST_F(HandOffTest, ManyWorkersAtOnceAreServedOneAtATime) {
  constexpr int kWorkers = 8, kEach = 50;
  std::atomic<int> inside{0};
  int maxInside = 0, total = 0;
  bool allOnMain = true;
  std::vector<std::vector<int>> seen(kWorkers);
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      for (int j = 0; j < kEach; ++j) {
        RunOnMainThread([&, i, j] {
          maxInside = std::max(maxInside, ++inside);
          allOnMain = allOnMain && MainThread::IsCurrent();
          seen[i].push_back(j);
          ++total;
          --inside;
        });
      }
      ++finished;
      MainThread::Notify();
    });
  }
  MainThread::WaitServing([&] { return finished == kWorkers; });
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(total, kWorkers * kEach);
  EXPECT_EQ(maxInside, 1);
  EXPECT_TRUE(allOnMain);
  std::vector<int> expected;
  for (int j = 0; j < kEach; ++j) expected.push_back(j);
  for (int i = 0; i < kWorkers; ++i) EXPECT_EQ(seen[i], expected) << "worker " << i;
}

// A routine that shows a modal box keeps its worker waiting; the box's own
// loop still serves the other workers.
TEST_F(HandOffTest, ModalLoopInsideRoutineServesOthers) {
  std::atomic<bool> firstReturned{false}, secondReturned{false};
  bool secondRanInsideFirst = false;
  bool inFirst = false;
  std::thread second;
  std::thread first([&] {
    RunOnMainThread([&] {
      inFirst = true;
      second = std::thread([&] {
        RunOnMainThread([&] { secondRanInsideFirst = inFirst; });
        secondReturned = true;
      });
      EXPECT_TRUE(WaitUntil([&] { return secondReturned.load(); }));
      EXPECT_FALSE(firstReturned);
      inFirst = false;
    });
    firstReturned = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return firstReturned.load(); }));
  first.join();
  second.join();
  EXPECT_TRUE(secondRanInsideFirst);
}

// --- thread objects ---

class THandOffThread : public TThread {
 public:
  std::thread::id RanOn;
  bool Ran = false;

 protected:
  void RunThread() override {
    RunOnMainThread([this] {
      RanOn = std::this_thread::get_id();
      Ran = true;
    });
  }
};

TEST_F(HandOffTest, WaitForOnMainThreadServesHandOffs) {
  THandOffThread t;
  ASSERT_TRUE(t.Start());
  EXPECT_TRUE(t.Started());
  t.WaitFor();  // would never return if the wait did not serve
  EXPECT_TRUE(t.Finished());
  EXPECT_TRUE(t.Ran);
  EXPECT_EQ(t.RanOn, MainId);
}

std::atomic<int> gDestroyed{0};
std::atomic<int> gFinished{0};

// Ends at once; counts its end and its destruction.
class TQuickThread : public TThread {
 public:
  ~TQuickThread() override { ++gDestroyed; }

 protected:
  void RunThread() override {}
  void FinishThread() override { ++gFinished; }
};

TEST_F(HandOffTest, ThreadIsDestroyedOnceByItselfOrByItsOwner) {
  // A thread that may end before Start has returned must not be touched by
  // Start afterwards: run many that end at once and destroy themselves.
  gDestroyed = 0;
  gFinished = 0;
  constexpr int kThreads = 200;
  for (int i = 0; i < kThreads; ++i) {
    auto* t = new TQuickThread;
    t->SetDestroyWhenDone(true);
    ASSERT_TRUE(t->Start());
  }
  EXPECT_TRUE(WaitUntil([] { return gDestroyed == kThreads; }));
  EXPECT_EQ(gFinished, kThreads);

  // Without DestroyWhenDone the owner destroys it after its end.
  gDestroyed = 0;
  gFinished = 0;
  auto* owned = new TQuickThread;
  ASSERT_TRUE(owned->Start());
  owned->WaitFor();
  EXPECT_TRUE(owned->Finished());
  EXPECT_EQ(gFinished, 1);
  EXPECT_EQ(gDestroyed, 0);
  delete owned;
  EXPECT_EQ(gDestroyed, 1);
}

}  // namespace
}  // namespace korimo
