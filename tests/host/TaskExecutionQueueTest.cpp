#include "kest/TaskExecutionQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "kest/testing/LogCapture.h"

namespace {

struct Journal {  // what ran, in order, and how many tasks were destroyed
  std::mutex mutex;
  std::vector<std::string> ids;
  std::atomic<int> destroyed{0};
  void add(const std::string& id) {
    const std::lock_guard<std::mutex> lock(mutex);
    ids.push_back(id);
  }
};

// Records its execution and its rescheduling after failure in the journal, and runs `body`.
struct FakeTask : Task {
  FakeTask(std::string id, int priority, Journal* journal, std::function<bool()> body = nullptr)
      : id(std::move(id)), priority(priority), journal(journal), body(std::move(body)) {}
  ~FakeTask() override { ++journal->destroyed; }
  std::string getID() const override { return id; }
  int getPriority() const override { return priority; }
  bool execute() override {
    journal->add(id);
    return body ? body() : true;
  }
  void reschedule(JobResultType result) override {
    if (result == JobResultType::Failure) journal->add(id + ":rescheduled");
  }
  const std::string id;
  const int priority;
  Journal* const journal;
  const std::function<bool()> body;
};

}  // namespace

// Tasks run by priority then push order, and one pushed by a running task overtakes those of lower
// priority. A task that fails or throws is rescheduled, logged and kept in the history as failed;
// the history holds the last finished tasks up to its size.
TEST(TaskExecutionQueueTest, RunsByPriorityThenPushOrderReschedulesFailuresAndKeepsTheLastInHistory) {
  kest::testing::LogCapture log;
  Journal journal;
  TaskExecutionQueue queue(nullptr, 4, /*startWorker=*/false);
  queue.push(new FakeTask("normal-1", Task::NORMAL, &journal));
  queue.push(new FakeTask("highest-1", Task::HIGHEST, &journal, [&] {
    // Like a container request that builds the real task and queues it from the worker.
    return queue.push(new FakeTask("built", Task::HIGHEST, &journal));
  }));
  queue.push(new FakeTask("middle", 50, &journal));
  queue.push(new FakeTask("highest-2", Task::HIGHEST, &journal));
  queue.push(new FakeTask("normal-2", Task::NORMAL, &journal));
  EXPECT_EQ(queue.runPending(), 6u);
  EXPECT_EQ(journal.ids,
            (std::vector<std::string>{"highest-1", "highest-2", "built", "middle", "normal-1", "normal-2"}));

  journal.ids.clear();
  queue.push(new FakeTask("t0", 0, &journal, []() -> bool { throw std::runtime_error("disk on fire"); }));
  queue.push(new FakeTask("t1", 0, &journal, []() -> bool { throw 42; }));
  queue.push(new FakeTask("t2", 0, &journal, [] { return false; }));
  queue.push(new FakeTask("t3", 0, &journal));
  queue.push(new FakeTask("t4", 0, &journal, [] { return false; }));
  EXPECT_EQ(queue.runPending(), 5u);
  EXPECT_EQ(journal.ids, (std::vector<std::string>{"t0", "t0:rescheduled", "t1", "t1:rescheduled", "t2",
                                                   "t2:rescheduled", "t3", "t4", "t4:rescheduled"}));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Task t0 failed with an exception")) << log.dump();
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Task t1 failed with an unknown exception"));
  auto history = [&] {
    std::string text;
    for (const auto& task : queue.getReplayHistory()) text += task.id + (task.result ? "+ " : "- ");
    return text;
  };
  EXPECT_EQ(history(), "t1- t2- t3+ t4- ");
  queue.setReplayHistorySize(0);
  queue.push(new FakeTask("t5", Task::NORMAL, &journal));
  queue.runPending();
  EXPECT_EQ(history(), "");
}

// The worker runs what its own tasks and other threads push. close() lets the running task finish,
// destroys the waiting ones unrun and refuses (and destroys) later pushes; waitIdle() times out
// while a task runs.
TEST(TaskExecutionQueueTest, WorkerRunsWhatAnyThreadPushesAndCloseFinishesOnlyTheRunningTask) {
  Journal journal;
  auto queue = std::make_unique<TaskExecutionQueue>(nullptr, 10, true);
  std::atomic<int> chained{0};
  std::function<bool()> chain = [&]() -> bool {
    return ++chained >= 5 || queue->push(new FakeTask("chained", Task::NORMAL, &journal, chain));
  };
  ASSERT_TRUE(queue->push(new FakeTask("chained", Task::NORMAL, &journal, chain)));
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t)
    producers.emplace_back([&] {
      for (int i = 0; i < 25; ++i) queue->push(new FakeTask("p", Task::NORMAL, &journal));
    });
  for (std::thread& p : producers) p.join();
  ASSERT_TRUE(queue->waitIdle(5000));
  EXPECT_EQ(journal.ids.size(), 105u);
  EXPECT_FALSE(TaskExecutionQueue::longestRunningTask());  // an idle worker shows no task

  Journal closing;
  std::promise<void> started, release;
  std::shared_future<void> released = release.get_future().share();
  auto hold = [&] {
    started.set_value();
    released.wait();
    return true;
  };
  queue->push(new FakeTask("running", Task::HIGHEST, &closing, hold));
  started.get_future().wait();
  EXPECT_FALSE(queue->waitIdle(50));
  const std::optional<TaskExecutionQueue::RunningTask> running = TaskExecutionQueue::longestRunningTask();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->id, "running");
  EXPECT_GE(running->elapsed, std::chrono::milliseconds(50));
  queue->push(new FakeTask("waiting-1", Task::NORMAL, &closing));
  queue->push(new FakeTask("waiting-2", Task::NORMAL, &closing));
  std::thread closer([&] { queue->close(); });
  int probes = 1;
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       queue->push(new FakeTask("probe", Task::NORMAL, &closing)); ++probes)
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "close() never refused a task";
  release.set_value();
  closer.join();
  queue->close();  // idempotent
  queue.reset();
  EXPECT_EQ(closing.ids, std::vector<std::string>{"running"});
  EXPECT_EQ(closing.destroyed, 3 + probes);  // every task destroyed exactly once, refused ones included
}
