#include "JobCommands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "ContainerBuilder.h"
#include "ResultPackage.h"
#include "ResultTree.h"
#include "Zemctl.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/ipc/DBusIpcClient.h"
#include "kolconfig/FileIo.h"

namespace {

// The client's text for a call to a component that nobody serves (see DBusIpcClient::call).
constexpr const char* kNotRunningText = "is not running";
constexpr auto kPollInterval = std::chrono::milliseconds(50);

std::string errnoText() { return std::strerror(errno); }

// Copies everything from `from` to `to` through the durable writer's write loop. Returns false
// with errno set on failure.
bool copyAll(int from, int to) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!xmldoc::writeAll(to, buffer.data(), static_cast<size_t>(got))) return false;
  }
}

// The time part of a package name MODULE_ID_TIME.zip, by which packages of one task sort.
std::string timePart(const std::string& name) {
  const auto last = name.rfind('_');
  return last == std::string::npos ? std::string() : name.substr(last + 1);
}

void printPackage(std::ostream& out, const ResultPackage& package) {
  out << "package " << package.path << "\n";
  out << "taskId " << package.taskId << "\n";
  out << "result " << package.resultType << "\n";
  out << "success " << (package.success ? "true" : "false") << "\n";
  out << "errorType " << package.errorType << "\n";
  out << "errorMessage" << (package.errorMessage.empty() ? "" : " " + package.errorMessage) << "\n";
  for (const ResultPackage::Entry& entry : package.entries) {
    out << "entry " << entry.type << " " << entry.file << " " << entry.size << "\n";
  }
}

}  // namespace

int JobCommands::run(const ZemctlCommand& command) {
  switch (command.job.kind) {
    case JobCommand::Kind::Build:
      return build(command.job);
    case JobCommand::Kind::Submit:
      return submit(command, command.job.container);
    case JobCommand::Kind::Result:
      return result(command.job);
    case JobCommand::Kind::OutboxList:
      return outboxList();
    case JobCommand::Kind::DataRequest:
    case JobCommand::Kind::DataInstall:
    case JobCommand::Kind::LogsRequest:
      return oneStep(command);
  }
  return Zemctl::kExitUsage;
}

int JobCommands::build(const JobCommand& job) {
  ContainerBuilder builder;
  std::string error;
  const bool described = job.descriptionFile.empty()
                             ? builder.generateDescription(job.descriptionType, job.taskId, job.forceOverride, &error)
                             : builder.setDescriptionFile(job.descriptionFile, &error);
  bool ok = described;
  for (size_t i = 0; ok && i < job.payloads.size(); ++i) {
    ok = builder.addPayload(job.payloads[i].first, job.payloads[i].second, &error);
  }
  if (!ok || !builder.build(job.output, job.keyFile, &error)) {
    err_ << "zemctl: job build: " << error << "\n";
    return Zemctl::kExitFailed;
  }
  out_ << "wrote " << job.output << "\n";
  return Zemctl::kExitOk;
}

std::string JobCommands::placeInInbox(const std::string& source, const std::string& inbox, std::string* error) {
  const xmldoc::UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!in.valid() || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "cannot read the container " + source;
    return std::string();
  }
  if (!File(inbox).isDirectory()) {
    *error = "the inbox " + inbox + " does not exist (is ZEM_SYSROOT the unit's, and was zem-host started?)";
    return std::string();
  }
  // The copy is made under a hidden name that does not end in ".zip", which the inbox scan
  // ignores; the durable writer then gives it its final name in one step.
  const std::string name = File(source).getName();
  std::string pattern = File(inbox, "." + name + ".tmp-zemctl-XXXXXX").getPath();
  xmldoc::UniqueFd out(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!out.valid()) {
    *error = "cannot write into the inbox " + inbox + ": " + errnoText();
    return std::string();
  }
  const std::string temporary = pattern;
  if (!copyAll(in.get(), out.get()) || ::fchmod(out.get(), 0644) != 0 || !out.close()) {
    *error = "cannot copy " + source + " into the inbox: " + errnoText();
    ::unlink(temporary.c_str());
    return std::string();
  }
  // Never replaces: a container of the same name that waits in the inbox stays, and this one
  // takes the next free name NAME-1.zip, NAME-2.zip, ...
  const auto dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
  xmldoc::ReplaceResult committed;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string candidate = name;
    if (attempt > 0) {
      candidate = stem;
      candidate += "-";
      candidate += std::to_string(attempt);
      candidate += extension;
    }
    std::string target = File(inbox, candidate).getPath();
    committed = xmldoc::commitFile(temporary, target, xmldoc::Durability::Durable, xmldoc::Existing::kKeepExisting);
    // A folder that could not be flushed still holds the container under its final name.
    if (committed.outcome != xmldoc::ReplaceOutcome::kFailed) return target;
    if (committed.systemError != EEXIST) break;
  }
  *error = "cannot place the container into the inbox " + inbox + ": " + committed.error;
  ::unlink(temporary.c_str());
  return std::string();
}

int JobCommands::submit(const ZemctlCommand& command, const std::string& container) {
  std::string error;
  const std::string placed = placeInInbox(container, DevicePaths::inboxFolder(), &error);
  if (placed.empty()) {
    err_ << "zemctl: job submit: " << error << "\n";
    return Zemctl::kExitFailed;
  }
  out_ << "submitted " << placed << "\n";

  std::unique_ptr<Ipc::DBusIpcClient> client;
  Ipc::IpcParameterSet answer;
  const char* const busKind = command.systemBus ? "system" : "session";
  try {
    client =
        std::make_unique<Ipc::DBusIpcClient>(command.systemBus ? Ipc::DBusBusType::System : Ipc::DBusBusType::Session);
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", placed));
    answer = client->call(command.component, "Zem", "JobAppeared", in, command.timeout);
  } catch (const std::exception& e) {
    const std::string text = e.what();
    if (client == nullptr) {
      err_ << "zemctl: cannot connect to the " << busKind << " bus: " << text << "\n";
    } else if (text.find(kNotRunningText) != std::string::npos) {
      err_ << "zemctl: com.olvane." << command.component << " is not running on the " << busKind << " bus\n";
    } else {
      err_ << "zemctl: JobAppeared failed: " << text << "\n";
      return Zemctl::kExitFailed;
    }
    err_ << "zemctl: the container waits in the inbox for the next start of the application\n";
    return Zemctl::kExitUnreachable;
  }
  const Ipc::IpcParameter* status = answer.find("status");
  if (status == nullptr || status->getType() != Ipc::IpcParameterType::Integer) {
    err_ << "zemctl: the answer to JobAppeared holds no integer \"status\"\n";
    return Zemctl::kExitFailed;
  }
  const int64_t value = static_cast<const Ipc::IpcIntegerParameter*>(status)->getValue();
  out_ << "status " << value << "\n";
  if (value != 1) {
    err_ << "zemctl: the application did not take the announcement\n";
    return Zemctl::kExitFailed;
  }
  return Zemctl::kExitOk;
}

std::string JobCommands::freshTaskId(const std::string& what) {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  return "zemctl-" + what + "-" + std::to_string(us) + "-" + std::to_string(::getpid());
}

int JobCommands::runDescription(const ZemctlCommand& command, const std::string& what, const std::string& description,
                                const std::string& taskId, const std::string& keyFile, std::chrono::milliseconds wait) {
  static constexpr size_t kMaxPrintedMessage = 512;
  try {
    const TempFile folder("zemctl-job");
    const File descriptionFile(folder.getFile(), "description.xml");
    const File container(folder.getFile(), "job.zip");
    std::string error;
    ContainerBuilder builder;
    if (!descriptionFile.writeAtomically(description) ||
        !builder.setDescriptionFile(descriptionFile.getPath(), &error) ||
        !builder.build(container.getPath(), keyFile, &error)) {
      err_ << "zemctl: " << what << ": " << (error.empty() ? "cannot write the description" : error) << "\n";
      return Zemctl::kExitFailed;
    }
    std::ostringstream progress;  // the submission's own lines; the outcome is printed below
    JobCommands quiet(progress, err_);
    if (const int rc = quiet.submit(command, container.getPath()); rc != Zemctl::kExitOk) return rc;
    ResultPackage package;
    if (const int rc = quiet.findResult(taskId, wait, &package); rc != Zemctl::kExitOk) return rc;
    out_ << "task " << taskId << "\n";
    if (!package.hasResult) {
      err_ << "zemctl: the package " << package.path << " holds no readable result.xml\n";
      return Zemctl::kExitFailed;
    }
    out_ << "success " << (package.success ? "true" : "false") << "\n";
    if (package.errorType != 0) out_ << "errorType " << package.errorType << "\n";
    if (!package.errorMessage.empty())
      out_ << "errorMessage "
           << ResultTree::oneLine(ApplicationLogger::shortened(package.errorMessage, kMaxPrintedMessage)) << "\n";
    return package.success ? Zemctl::kExitOk : Zemctl::kExitFailed;
  } catch (const std::exception& e) {
    err_ << "zemctl: " << what << ": " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
}

int JobCommands::runDescribed(const ZemctlCommand& command, const std::string& what, const std::string& taskId,
                              const std::function<std::string(const std::string& taskId)>& describe,
                              const std::string& keyFile, std::chrono::milliseconds wait) {
  std::string idWhat = what;
  std::replace(idWhat.begin(), idWhat.end(), ' ', '-');
  const std::string id = taskId.empty() ? freshTaskId(idWhat) : taskId;
  std::string document;
  try {
    document = describe(id);
  } catch (const std::exception& e) {
    err_ << "zemctl: " << what << ": " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
  return runDescription(command, what, document, id, keyFile, wait);
}

int JobCommands::findResult(const std::string& taskId, std::chrono::milliseconds wait, ResultPackage* package) {
  const std::string safeId = ResultPackage::safeIdForName(taskId);
  const File outbox(DevicePaths::outboxFolder());
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    std::vector<File> candidates;
    for (const File& file : outbox.listFiles("zip")) {
      if (ResultPackage::idPartOfName(file.getName()) == safeId) candidates.push_back(file);
    }
    // Newest first: the time part of the name orders the packages of one task.
    std::sort(candidates.begin(), candidates.end(), [](const File& a, const File& b) {
      const std::string ta = timePart(a.getName()), tb = timePart(b.getName());
      return ta != tb ? ta > tb : a.getName() > b.getName();
    });
    for (const File& candidate : candidates) {
      ResultPackage read;
      std::string error;
      if (!ResultPackage::read(candidate.getPath(), &read, &error)) {
        if (!candidate.exists()) continue;  // removed while we looked
        err_ << "zemctl: " << error << "\n";
        return Zemctl::kExitFailed;
      }
      if (read.hasResult && read.taskId != taskId) continue;  // another id of the same spelling
      *package = std::move(read);
      return Zemctl::kExitOk;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  err_ << "zemctl: no result package of task " << taskId << " in " << outbox.getPath();
  if (wait.count() > 0) err_ << " after " << wait.count() / 1000.0 << " s";
  err_ << "\n";
  return Zemctl::kExitUnreachable;
}

int JobCommands::result(const JobCommand& job) {
  ResultPackage package;
  if (const int rc = findResult(job.taskId, job.wait, &package); rc != Zemctl::kExitOk) return rc;
  printPackage(out_, package);
  if (!package.hasResult) {
    err_ << "zemctl: the package " << package.path << " holds no readable result.xml\n";
    return Zemctl::kExitFailed;
  }
  return package.success ? Zemctl::kExitOk : Zemctl::kExitFailed;
}

bool JobCommands::describe(const JobCommand& job, const std::string& taskId, ContainerBuilder* builder,
                           std::string* error) {
  namespace Types = Sarnet_Configuration::Types;
  switch (job.kind) {
    case JobCommand::Kind::DataRequest: {
      Types::RequestZemDataTaskDescription description;
      description.set_taskId(taskId);
      for (const std::string& type : job.items) {
        try {
          Types::ElementType::parse(type);
        } catch (const std::exception&) {
          *error = "'" + type + "' is not a data type (e.g. ZEM_EVENT_LOG, ZEM_GLOBAL_SETTINGS)";
          return false;
        }
        description.add_node_dataType(type);
      }
      return builder->setDescription(description, error);
    }
    case JobCommand::Kind::DataInstall:
      return builder->generateDescription("InstallZemDataTaskDescription", taskId, false, error) &&
             builder->addPayload("ZEM_GLOBAL_SETTINGS", job.settingsFile, error);
    case JobCommand::Kind::LogsRequest: {
      Types::RequestLogFilesZemTaskDescription description;
      description.set_taskId(taskId);
      for (const std::string& file : job.items) description.add_node_additionalLogFile(file);
      return builder->setDescription(description, error);
    }
    default:
      *error = "not a one-step job";
      return false;
  }
}

int JobCommands::oneStep(const ZemctlCommand& command) {
  const JobCommand& job = command.job;
  const std::string taskId = job.taskId.empty() ? freshTaskId("job") : job.taskId;
  ContainerBuilder builder;
  std::string error;
  const File container(File::tmpFolder(), "zemctl-" + ResultPackage::safeIdForName(taskId) + ".zip");
  if (!describe(job, taskId, &builder, &error) || !builder.build(container.getPath(), std::string(), &error)) {
    err_ << "zemctl: " << error << "\n";
    return Zemctl::kExitFailed;
  }
  out_ << "taskId " << taskId << "\n";
  const int submitted = submit(command, container.getPath());
  container.remove();
  if (submitted != Zemctl::kExitOk) return submitted;
  ResultPackage package;
  if (const int rc = findResult(taskId, job.wait, &package); rc != Zemctl::kExitOk) return rc;
  printPackage(out_, package);
  if (!package.hasResult) {
    err_ << "zemctl: the package " << package.path << " holds no readable result.xml\n";
    return Zemctl::kExitFailed;
  }
  return package.success ? Zemctl::kExitOk : Zemctl::kExitFailed;
}

int JobCommands::outboxList() {
  for (const File& file : File(DevicePaths::outboxFolder()).listFiles("zip")) {
    ResultPackage package;
    std::string error;
    const bool read = ResultPackage::read(file.getPath(), &package, &error);
    const bool named = read && package.hasResult && !package.taskId.empty();
    out_ << file.getName() << " " << file.size() << " " << (named ? package.taskId : "-") << "\n";
  }
  return Zemctl::kExitOk;
}
