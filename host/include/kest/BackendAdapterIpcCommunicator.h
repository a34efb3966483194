// Tells the backend adapter about task progress and result packages, as IPC signals:
// "TaskStatus" {"taskId": s, "status": x} and "ResultPlaced" {"location": s}.
// Thread safety: may be used from any thread; the IPC service synchronises.
#pragma once

#include <cstdint>
#include <string>

#include "kest/Export.h"
#include "kest/ipc/IpcTypes.h"

class ExtensionServices;

class KEST_EXPORT BackendAdapterCommunicatorIF {
 public:
  virtual ~BackendAdapterCommunicatorIF() = default;
  // Returns true when the notification was sent.
  virtual bool sendTaskStatus(const std::string& taskId, int64_t status) = 0;
  virtual bool sendResultPlaced(const std::string& location) = 0;
};

class KEST_EXPORT BackendAdapterIpcCommunicator : public BackendAdapterCommunicatorIF {
 public:
  // `services` must outlive the communicator. `jobDefinition` is the message by which the
  // backend adapter announces jobs to this component.
  BackendAdapterIpcCommunicator(ExtensionServices& services, const Ipc::IpcMessageDefinition& jobDefinition);
  ~BackendAdapterIpcCommunicator() override = default;
  bool sendTaskStatus(const std::string& taskId, int64_t status) override;
  bool sendResultPlaced(const std::string& location) override;
  const Ipc::IpcMessageDefinition& getJobDefinition() const { return jobDefinition_; }

 protected:
  ExtensionServices& getServices() const { return services_; }

 private:
  ExtensionServices& services_;
  Ipc::IpcMessageDefinition jobDefinition_;
};
