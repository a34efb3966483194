// The intake of one task container: opens it, asks the factory for its task and queues that task.
// Runs with the highest priority, so containers are turned into tasks before waiting jobs run.
// Thread safety: executed by the queue's worker thread only.
#pragma once

#include <map>
#include <string>

#include "kest/Task.h"

class ExtensionServices;
class ZemTaskExecutionQueue;

class ProcessTaskRequest : public Task {
 public:
  // `queue` receives the built task and must outlive this request (the queue owns it).
  // `extensionServices` is not owned and may be null. `jobLocation` is the container's path.
  // A request built this way holds no claim on its container (see submit()).
  ProcessTaskRequest(ZemTaskExecutionQueue& queue, ExtensionServices* extensionServices, std::string jobLocation);
  // Releases the claim on the container when the request still holds it (never executed).
  ~ProcessTaskRequest() override;

  // "Zem Task".
  std::string getID() const override;
  // Builds and queues the container's task. What happens to the container file:
  // - task built and queued: kept (the task deletes it); returns true; the queued task holds no
  //   open descriptor on it while it waits;
  // - task built but refused by the queue: deleted; returns true;
  // - task needs an encryption the container lacks: deleted; returns false;
  // - no task (no index, no description, unregistered type): kept for the next start-up; true;
  // - archive or security failure: deleted when it is a regular file; returns false; but a
  //   failure for want of descriptors or space keeps it for a retry;
  // - a path that is not directly inside the inbox: logged, not touched; returns false.
  // The container is opened and deleted relative to the inbox folder; a symbolic link is never
  // followed (nor deleted).
  // Throws XSDEnumException when the container's index names an unknown entry type (the container
  // is kept).
  bool execute() override;
  bool finalize() override;
  // Task::HIGHEST.
  int getPriority() const override;
  bool isSynchronous() const override;
  // {"ZIP": jobLocation}.
  std::map<std::string, std::string> getSettings() const override;
  bool match(const Task& other) const override;
  bool isExternal() const override;

  // Queues a request for the container at `jobLocation` unless that inbox container is already
  // claimed (queued or running): then logs it at WARN and queues nothing. The claim passes to the
  // request, then to its task, and ends when the container's processing ends. Returns true when a
  // request was queued; false when it was a duplicate or the queue refused it (claim released).
  static bool submit(ZemTaskExecutionQueue& queue, ExtensionServices* extensionServices,
                     const std::string& jobLocation);

  const std::string& getJobLocation() const { return jobLocation; }
  ExtensionServices* getExtensionServices() const { return extensionServices; }

 private:
  ZemTaskExecutionQueue& queue;
  ExtensionServices* const extensionServices;
  const std::string jobLocation;
  // The inbox name whose claim this request holds; empty when it holds none.
  std::string claimedName;
};
