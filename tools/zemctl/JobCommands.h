// Runs the job commands of zemctl: builds containers, submits them to the unit's inbox and
// announces them with "JobAppeared", waits for and prints result packages, lists the outbox.
// The unit's folders come from DevicePaths, so ZEM_SYSROOT selects the unit.
// Thread safety: run() is called once from the main thread.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "ContainerBuilder.h"
#include "JobCommand.h"
#include "ResultPackage.h"
#include "ZemctlCommand.h"

class JobCommands {
 public:
  // `out` takes the results, `err` the error messages. Neither is owned.
  JobCommands(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  // Runs `command.job` with the bus, component and timeout of `command`. Returns an exit code of
  // Zemctl: kExitOk; kExitFailed (bad file, failed task, refused announcement); kExitUnreachable
  // (no bus or no service; for "job result": no package before the wait ended).
  // REQUIRES: command.action == ZemctlCommand::Action::Job
  int run(const ZemctlCommand& command);

  // Copies `source` into `inbox` under a hidden name that does not end in ".zip" (ignored by the
  // inbox scan) and commits it through the durable writer (fsync, link, fsync of the folder) to
  // the source's file name, or NAME-N.zip when that name is taken: a waiting container is never
  // replaced. Returns the final path; empty with the reason in `error`, leaving no file behind.
  static std::string placeInInbox(const std::string& source, const std::string& inbox, std::string* error);

  // Places `container` into the unit's inbox and announces it with "JobAppeared" to the component
  // of `command`; prints "submitted PATH" and "status N". Returns kExitOk when the announcement
  // was taken; kExitFailed or kExitUnreachable (as run()) after printing the reason.
  int submit(const ZemctlCommand& command, const std::string& container);
  // Looks for the newest result package of `taskId` in the outbox, again every 50 ms until `wait`
  // has passed. Returns kExitOk with `package` filled (package->hasResult may be false: the
  // package holds no readable result); kExitFailed when a package cannot be read; kExitUnreachable
  // when none came. Prints the reason of a failure.
  int findResult(const std::string& taskId, std::chrono::milliseconds wait, ResultPackage* package);

  // A task id of its own for every run on this unit: "zemctl-" + `what` + "-" + the time in
  // microseconds + "-" + the process id.
  static std::string freshTaskId(const std::string& what);
  // Runs one job whose task description is the document `description` of task `taskId`: builds the
  // container in a temporary folder (signed with `keyFile` when it is not empty), submits it,
  // waits up to `wait` for its result package and prints "task ID", "success true|false" and,
  // when the task set them, "errorType N" and "errorMessage TEXT" (one line, shortened: the
  // unit's text is untrusted). `what` names the command in error messages ("bus update").
  // Returns kExitOk when the task succeeded; kExitFailed (a container that cannot be built, a
  // refused announcement, a failed task, a package without result); kExitUnreachable as submit()
  // and findResult().
  int runDescription(const ZemctlCommand& command, const std::string& what, const std::string& description,
                     const std::string& taskId, const std::string& keyFile, std::chrono::milliseconds wait);
  // Runs one job as runDescription() does, its document made by `describe` from the task id:
  // `taskId`, or a fresh one named after `what` (spaces as dashes) when `taskId` is empty. When
  // `describe` throws (a name or value that XML cannot carry), prints "zemctl: WHAT: REASON" and
  // returns kExitFailed; otherwise returns as runDescription().
  int runDescribed(const ZemctlCommand& command, const std::string& what, const std::string& taskId,
                   const std::function<std::string(const std::string& taskId)>& describe, const std::string& keyFile,
                   std::chrono::milliseconds wait);

 private:
  int build(const JobCommand& job);
  int result(const JobCommand& job);
  int outboxList();
  // data request, data install, logs request: builds the container in the temporary folder,
  // submits it, waits for its result package and prints it (as "job result"), after a line
  // "taskId ID". Returns as "job result"; kExitFailed when the container cannot be built.
  int oneStep(const ZemctlCommand& command);
  // Gives `builder` the description (and payload) of the one-step `job` with `taskId`. Returns
  // false with the reason in `error` (an unknown data type, an unreadable settings file).
  static bool describe(const JobCommand& job, const std::string& taskId, ContainerBuilder* builder, std::string* error);

  std::ostream& out_;
  std::ostream& err_;
};
