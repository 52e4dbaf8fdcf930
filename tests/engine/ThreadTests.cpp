// The thread object: one thread at a time, restartable after Join, and no self-join hang.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <system_error>

#include "Thread.h"

namespace {

// Counts its runs; each run waits until the test lets it go.
class CountingThread : public CThread {
 public:
  CountingThread() : m_go(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~CountingThread() override {
    SetEvent(m_go);
    Join();
    CloseHandle(m_go);
  }
  void Let() { SetEvent(m_go); }
  int Runs() const { return m_runs; }

 protected:
  DWORD Run() override {
    ++m_runs;
    WaitForSingleObject(m_go, INFINITE);
    return 0;
  }

 private:
  HANDLE m_go;
  std::atomic<int> m_runs{0};
};

TEST(ThreadObject, SecondStartWhileRunningStartsNothing) {
  CountingThread thread;
  thread.Start();
  thread.Start();
  EXPECT_TRUE(thread.IsStarted());
  thread.Let();
  thread.Join();
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_EQ(thread.Runs(), 1);
}

TEST(ThreadObject, StartAfterJoinRunsAgain) {
  CountingThread thread;
  thread.Let();
  thread.Start();
  thread.Join();
  thread.Start();
  thread.Join();
  EXPECT_EQ(thread.Runs(), 2);
}

TEST(ThreadObject, JoinWithoutThreadDoesNothing) {
  CountingThread thread;
  thread.Join();
  EXPECT_EQ(thread.Runs(), 0);
  EXPECT_FALSE(thread.IsStarted());
}

// Joins itself from its own thread and records what happened.
class SelfJoiningThread : public CThread {
 public:
  ~SelfJoiningThread() override { Join(); }
  std::error_code caught;
  bool threwOther = false;

 protected:
  DWORD Run() override {
    try {
      Join();
    } catch (const std::system_error& e) {
      caught = e.code();
    } catch (...) {
      threwOther = true;
    }
    return 0;
  }
};

TEST(ThreadObject, SelfJoinThrowsInsteadOfHanging) {
  SelfJoiningThread thread;
  thread.Start();
  thread.Join();
  EXPECT_EQ(thread.caught, std::make_error_code(std::errc::resource_deadlock_would_occur));
  EXPECT_FALSE(thread.threwOther);
}

}  // namespace
