#include "kest/TaskExecutionQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kest/testing/LogCapture.h"

namespace {

// Thread-safe record of what ran, in order.
class Journal {
 public:
  void add(const std::string& id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ids_.push_back(id);
  }
  std::vector<std::string> ids() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ids_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> ids_;
};

// A task that records its execution, runs an optional body and counts its destruction.
class FakeTask : public Task {
 public:
  FakeTask(std::string id, int priority, Journal* journal, std::function<bool()> body = nullptr,
           std::atomic<int>* destroyed = nullptr)
      : id_(std::move(id)), priority_(priority), journal_(journal), body_(std::move(body)), destroyed_(destroyed) {}
  ~FakeTask() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  std::string getID() const override { return id_; }
  bool execute() override {
    if (journal_ != nullptr) journal_->add(id_);
    return body_ ? body_() : true;
  }
  int getPriority() const override { return priority_; }
  void reschedule(JobResultType result) override {
    if (journal_ != nullptr && result == JobResultType::Failure) journal_->add(id_ + ":rescheduled");
  }

 private:
  std::string id_;
  int priority_;
  Journal* journal_;
  std::function<bool()> body_;
  std::atomic<int>* destroyed_;
};

constexpr int64_t kTimeoutMs = 5000;

}  // namespace

TEST(TaskExecutionQueueTest, RunsHighestPriorityFirstAndEqualPrioritiesInPushOrder) {
  Journal journal;
  TaskExecutionQueue queue(nullptr, 10, /*startWorker=*/false);
  ASSERT_TRUE(queue.push(new FakeTask("normal-1", Task::NORMAL, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("highest-1", Task::HIGHEST, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("normal-2", Task::NORMAL, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("middle", 50, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("highest-2", Task::HIGHEST, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("normal-3", Task::NORMAL, &journal)));
  EXPECT_EQ(queue.pendingCount(), 6u);

  EXPECT_EQ(queue.runPending(), 6u);

  EXPECT_EQ(journal.ids(),
            (std::vector<std::string>{"highest-1", "highest-2", "middle", "normal-1", "normal-2", "normal-3"}));
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(TaskExecutionQueueTest, TaskPushedFromRunningTaskOvertakesWaitingLowerPriorityTasks) {
  Journal journal;
  TaskExecutionQueue queue(nullptr, 10, false);
  queue.push(new FakeTask("opener", Task::HIGHEST, &journal, [&] {
    // Like a container request that builds the real task and queues it from the worker.
    return queue.push(new FakeTask("built", Task::HIGHEST, &journal));
  }));
  queue.push(new FakeTask("waiting", Task::NORMAL, &journal));

  EXPECT_EQ(queue.runPending(), 3u);
  EXPECT_EQ(journal.ids(), (std::vector<std::string>{"opener", "built", "waiting"}));
}

TEST(TaskExecutionQueueTest, WorkerRunsTasksPushedFromItsOwnThreadAndFromOtherThreads) {
  Journal journal;
  TaskExecutionQueue queue(nullptr, 100, /*startWorker=*/true);
  std::atomic<int> chained{0};
  std::function<bool()> chain = [&]() -> bool {
    if (++chained < 5) queue.push(new FakeTask("chained", Task::NORMAL, &journal, chain));
    return true;
  };
  ASSERT_TRUE(queue.push(new FakeTask("chained", Task::NORMAL, &journal, chain)));

  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&queue, &journal, t] {
      for (int i = 0; i < 25; ++i) queue.push(new FakeTask("p" + std::to_string(t), Task::NORMAL, &journal));
    });
  }
  for (std::thread& p : producers) p.join();

  ASSERT_TRUE(queue.waitIdle(kTimeoutMs));
  EXPECT_EQ(chained.load(), 5);
  EXPECT_EQ(journal.ids().size(), 105u);
  queue.close();
}

TEST(TaskExecutionQueueTest, ExceptionInTaskIsLoggedAndQueueGoesOn) {
  kest::testing::LogCapture log;
  Journal journal;
  TaskExecutionQueue queue(nullptr, 10, true);
  queue.push(
      new FakeTask("thrower", Task::HIGHEST, &journal, []() -> bool { throw std::runtime_error("disk on fire"); }));
  queue.push(new FakeTask("odd-thrower", Task::NORMAL, &journal, []() -> bool { throw 42; }));
  queue.push(new FakeTask("survivor", Task::NORMAL, &journal));

  ASSERT_TRUE(queue.waitIdle(kTimeoutMs));
  EXPECT_EQ(journal.ids(), (std::vector<std::string>{"thrower", "thrower:rescheduled", "odd-thrower",
                                                     "odd-thrower:rescheduled", "survivor"}));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Task thrower failed with an exception")) << log.dump();
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "disk on fire")) << log.dump();
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Task odd-thrower failed with an unknown exception"));

  const std::vector<TaskExecutionQueue::FinishedTask> history = queue.getReplayHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_FALSE(history[0].result);
  EXPECT_FALSE(history[1].result);
  EXPECT_EQ(history[2].id, "survivor");
  EXPECT_TRUE(history[2].result);
}

TEST(TaskExecutionQueueTest, CloseFinishesRunningTaskDropsWaitingOnesAndRefusesLaterPushes) {
  Journal journal;
  std::atomic<int> destroyed{0};
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto queue = std::make_unique<TaskExecutionQueue>(nullptr, 10, true);
  queue->push(new FakeTask(
      "running", Task::HIGHEST, &journal,
      [&] {
        started.set_value();
        released.wait();
        return true;
      },
      &destroyed));
  started.get_future().wait();
  queue->push(new FakeTask("waiting-1", Task::NORMAL, &journal, nullptr, &destroyed));
  queue->push(new FakeTask("waiting-2", Task::NORMAL, &journal, nullptr, &destroyed));
  EXPECT_EQ(queue->pendingCount(), 2u);

  std::thread closer([&] { queue->close(); });
  // Once the queue refuses tasks, close() has dropped the waiting ones and waits for the worker.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int probes = 1;
  while (queue->push(new FakeTask("probe", Task::NORMAL, nullptr, nullptr, &destroyed)) &&
         std::chrono::steady_clock::now() < deadline) {
    ++probes;
    std::this_thread::yield();
  }
  release.set_value();
  closer.join();

  EXPECT_EQ(journal.ids(), std::vector<std::string>{"running"});
  EXPECT_EQ(queue->pendingCount(), 0u);
  std::atomic<int> refusedDestroyed{0};
  EXPECT_FALSE(queue->push(new FakeTask("late", Task::NORMAL, &journal, nullptr, &refusedDestroyed)));
  EXPECT_EQ(refusedDestroyed.load(), 1);  // a refused task is destroyed, not leaked
  EXPECT_FALSE(queue->push(nullptr));
  queue->close();  // idempotent
  queue.reset();
  // Probes accepted before close() were dropped with the waiting tasks, never run.
  EXPECT_EQ(journal.ids(), std::vector<std::string>{"running"});
  // "running", both waiting tasks and every probe were destroyed exactly once.
  EXPECT_EQ(destroyed.load(), 3 + probes);
}

TEST(TaskExecutionQueueTest, ReplayHistoryKeepsTheLastFinishedTasksUpToItsSize) {
  Journal journal;
  TaskExecutionQueue queue(nullptr, 3, false);
  for (int i = 0; i < 5; ++i) {
    queue.push(new FakeTask("t" + std::to_string(i), Task::NORMAL, &journal, [i] { return i % 2 == 0; }));
  }
  queue.runPending();

  std::vector<TaskExecutionQueue::FinishedTask> history = queue.getReplayHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[0].id, "t2");
  EXPECT_TRUE(history[0].result);
  EXPECT_EQ(history[1].id, "t3");
  EXPECT_FALSE(history[1].result);
  EXPECT_EQ(history[2].id, "t4");

  queue.setReplayHistorySize(1);
  EXPECT_EQ(queue.getReplayHistorySize(), 1u);
  history = queue.getReplayHistory();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].id, "t4");

  queue.setReplayHistorySize(0);
  queue.push(new FakeTask("t5", Task::NORMAL, &journal));
  queue.runPending();
  EXPECT_TRUE(queue.getReplayHistory().empty());
}

TEST(TaskExecutionQueueTest, BaseQueueRefusesContainersAndWaitIdleTimesOutWhileBusy) {
  TaskExecutionQueue queue(nullptr, 1, true);
  EXPECT_FALSE(queue.addDtsiTask("/nowhere/job.zip"));
  EXPECT_EQ(queue.getStoragePath().substr(queue.getStoragePath().size() - 6), "/QUEUE");

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  queue.push(new FakeTask("slow", Task::NORMAL, nullptr, [released] {
    released.wait();
    return true;
  }));
  EXPECT_FALSE(queue.waitIdle(50));
  release.set_value();
  EXPECT_TRUE(queue.waitIdle(kTimeoutMs));
}
