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
  std::vector<std::string> ids_;  // guarded by mutex_
};

// A task that records its execution (and a rescheduling after failure), runs an optional body and
// counts its destruction.
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
  const std::string id_;
  const int priority_;
  Journal* const journal_;
  const std::function<bool()> body_;
  std::atomic<int>* const destroyed_;
};

constexpr int64_t kTimeoutMs = 5000;

}  // namespace

TEST(TaskExecutionQueueTest, RunsByPriorityThenPushOrderAndATaskPushedByARunningTaskOvertakes) {
  Journal journal;
  TaskExecutionQueue queue(nullptr, 10, /*startWorker=*/false);
  ASSERT_TRUE(queue.push(new FakeTask("normal-1", Task::NORMAL, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("highest-1", Task::HIGHEST, &journal, [&] {
    // Like a container request that builds the real task and queues it from the worker.
    return queue.push(new FakeTask("built", Task::HIGHEST, &journal));
  })));
  ASSERT_TRUE(queue.push(new FakeTask("middle", 50, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("highest-2", Task::HIGHEST, &journal)));
  ASSERT_TRUE(queue.push(new FakeTask("normal-2", Task::NORMAL, &journal)));
  EXPECT_EQ(queue.runPending(), 6u);
  EXPECT_EQ(journal.ids(),
            (std::vector<std::string>{"highest-1", "highest-2", "built", "middle", "normal-1", "normal-2"}));
}

TEST(TaskExecutionQueueTest, WorkerRunsTasksPushedFromItsOwnThreadAndFromOtherThreads) {
  Journal journal;
  TaskExecutionQueue queue(nullptr, 100, /*startWorker=*/true);
  std::atomic<int> chained{0};
  std::function<bool()> chain = [&]() -> bool {
    return ++chained >= 5 || queue.push(new FakeTask("chained", Task::NORMAL, &journal, chain));
  };
  ASSERT_TRUE(queue.push(new FakeTask("chained", Task::NORMAL, &journal, chain)));
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&queue, &journal] {
      for (int i = 0; i < 25; ++i) queue.push(new FakeTask("p", Task::NORMAL, &journal));
    });
  }
  for (std::thread& p : producers) p.join();
  ASSERT_TRUE(queue.waitIdle(kTimeoutMs));
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
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "disk on fire"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Task odd-thrower failed with an unknown exception"));
  const auto history = queue.getReplayHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_FALSE(history[0].result || history[1].result);
  EXPECT_TRUE(history[2].result);
}

// close() lets the running task finish, destroys the waiting ones unrun and refuses (and destroys)
// later pushes; waitIdle() times out while a task runs.
TEST(TaskExecutionQueueTest, CloseFinishesTheRunningTaskDropsWaitingOnesAndRefusesLaterPushes) {
  Journal journal;
  std::atomic<int> destroyed{0};
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto queue = std::make_unique<TaskExecutionQueue>(nullptr, 10, true);
  EXPECT_FALSE(queue->addDtsiTask("/nowhere/job.zip"));
  auto hold = [&] {
    started.set_value();
    released.wait();
    return true;
  };
  queue->push(new FakeTask("running", Task::HIGHEST, &journal, hold, &destroyed));
  started.get_future().wait();
  EXPECT_FALSE(queue->waitIdle(50));
  queue->push(new FakeTask("waiting-1", Task::NORMAL, &journal, nullptr, &destroyed));
  queue->push(new FakeTask("waiting-2", Task::NORMAL, &journal, nullptr, &destroyed));
  std::thread closer([&] { queue->close(); });
  // Once the queue refuses tasks, close() has dropped the waiting ones and waits for the worker.
  int probes = 1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (queue->push(new FakeTask("probe", Task::NORMAL, nullptr, nullptr, &destroyed))) {
    ++probes;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "close() never refused a task";
  }
  release.set_value();
  closer.join();
  EXPECT_FALSE(queue->push(nullptr));
  queue->close();  // idempotent
  queue.reset();
  EXPECT_EQ(journal.ids(), std::vector<std::string>{"running"});
  EXPECT_EQ(destroyed.load(), 3 + probes);  // every task destroyed exactly once, refused ones included
}

TEST(TaskExecutionQueueTest, ReplayHistoryKeepsTheLastFinishedTasksUpToItsSize) {
  TaskExecutionQueue queue(nullptr, 3, false);
  for (int i = 0; i < 5; ++i) queue.push(new FakeTask("t" + std::to_string(i), 0, nullptr, [i] { return i % 2; }));
  queue.runPending();
  auto ids = [&] {
    std::string text;
    for (const auto& task : queue.getReplayHistory()) text += task.id + (task.result ? "+ " : "- ");
    return text;
  };
  EXPECT_EQ(ids(), "t2- t3+ t4- ");
  queue.setReplayHistorySize(1);
  EXPECT_EQ(ids(), "t4- ");
  queue.setReplayHistorySize(0);
  queue.push(new FakeTask("t5", Task::NORMAL, nullptr));
  queue.runPending();
  EXPECT_EQ(ids(), "");
}
