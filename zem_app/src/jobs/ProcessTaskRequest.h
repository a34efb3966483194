// The intake of one task container: opens it, asks the factory for its task and queues that task.
// Runs with the highest priority, so containers are turned into tasks before waiting jobs run.
// Thread safety: executed by the queue's worker thread only.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "kest/Task.h"
#include "kest/zip/ZipArchive.h"

class ExtensionServices;
class Inbox;
class ZemTask;
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
  // Builds and queues the container's task. Every refusal logs one ERROR that names the container
  // and the reason (the search for the description logs what it met on lines of its own). Failures
  // that may pass keep the container for a retry; every other refusal is for good, and such a
  // container never stays in the inbox. What happens to the container file:
  // - task built and queued: kept (the task deletes it); returns true; the queued task holds no
  //   open descriptor on it while it waits;
  // - task built but refused by the queue: deleted; returns true;
  // - task needs an encryption the container lacks: deleted; returns false;
  // - a failure that may pass (ZipException::isTransient: no descriptor, no space, EIO), while
  //   opening it or looking for its description: kept in the inbox for a retry; returns false;
  // - refused for good once its description was read (the task id is known): the index names an
  //   entry type that is no ElementType: the task's failure package answers it (ZemTask::refuse)
  //   and the container is removed; returns false;
  // - refused before anything is read, because this unit opens no container (no signing slot
  //   outside development mode, an unusable slot: SecurityService::containerRefusal): moved to
  //   the quarantine as below, with that one ERROR only; returns false;
  // - refused for good before a task id could be trusted: not a zip, truncated, no index, no
  //   description that extracts, verifies and parses within the XML caps, an unknown entry type
  //   before the description, a description type no task kind is registered for (no result
  //   document exists for it): moved to the quarantine (Quarantine::admit), or deleted when that
  //   fails; returns false;
  // - a path that is not directly inside the inbox, or no regular file: logged, not touched;
  //   returns false.
  // The container is opened, moved and deleted relative to the inbox folder; a symbolic link is
  // never followed (nor deleted).
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
  // claimed in the queue's inbox (queued or running): then logs it at WARN and queues nothing. The claim passes to the
  // request, then to its task, and ends when the container's processing ends. Returns true when a
  // request was queued; false when it was a duplicate or the queue refused it (claim released).
  static bool submit(ZemTaskExecutionQueue& queue, ExtensionServices* extensionServices,
                     const std::string& jobLocation);

  const std::string& getJobLocation() const { return jobLocation; }
  ExtensionServices* getExtensionServices() const { return extensionServices; }

 private:
  // Opens the inbox container `name` into `archive`, builds its task and queues it or answers it
  // with the task's failure package (see execute). Returns execute's answer once the container is
  // dealt with (also kept for a retry); nullopt, with `refusal` set, when it is refused for good
  // before a task id could be trusted (the caller sets it aside).
  std::optional<bool> openAndQueue(const std::string& name, ZipArchive& archive, std::string& refusal);
  // Logs the refusal of a container whose index names `unknownType` and has `task` answer it.
  void refuseUnknownEntryType(ZemTask& task, const std::string& unknownType) const;
  // Queues the built task of the inbox container `name` (see execute). Returns execute's answer.
  bool queueTask(std::unique_ptr<ZemTask> task, const std::string& name, ZipArchive& archive);
  // The reason why this unit refuses every container (see SecurityService::containerRefusal);
  // "" when it opens them or has no security service.
  static std::string unitRefusal();
  // Moves the inbox container `name` to the quarantine, or deletes it when that fails.
  void quarantine(const std::string& name, const ZipArchive& archive) const;

  ZemTaskExecutionQueue& queue;
  // The queue's claims, shared: the request may outlive the queue that destroys it.
  const std::shared_ptr<Inbox> inbox;
  ExtensionServices* const extensionServices;
  const std::string jobLocation;
  // The inbox name whose claim this request holds; empty when it holds none.
  std::string claimedName;
};
