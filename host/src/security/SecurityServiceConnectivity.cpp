// SecurityService, client certificates and connectivity: the KMS exchange that provisions a
// client slot and its key, and the check of the connectivity configuration after a profile switch
// (profile link, certificate and key, backend address and its reachability). Slots, Base64 and
// signatures are in SecurityService.cpp.
#include "kest/security/SecurityService.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kolconfig/FileIo.h"

namespace Security {

namespace {

namespace Types = Sarnet_Configuration::Types;

constexpr size_t kMaxProfileFileBytes = 64 * 1024;
constexpr const char* kBackendUrlPrefix = "prm.manager.url=";

// The value of the "prm.manager.url=" line of the properties text; empty when there is none.
std::string backendUrlOf(const std::string& properties) {
  size_t start = 0;
  while (start < properties.size()) {
    size_t end = properties.find('\n', start);
    if (end == std::string::npos) end = properties.size();
    std::string line = properties.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, std::strlen(kBackendUrlPrefix), kBackendUrlPrefix) == 0) {
      return line.substr(std::strlen(kBackendUrlPrefix));
    }
    start = end + 1;
  }
  return std::string();
}

// Splits "scheme://[user@]host[:port][/...]" (host may be "[v6]") into host and port, the port
// defaulting to the scheme's. False when the address has no host or an unknown scheme without port.
bool hostAndPort(const std::string& url, std::string* host, std::string* port) {
  const size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return false;
  const std::string scheme = url.substr(0, schemeEnd);
  std::string authority = url.substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  size_t portStart = std::string::npos;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    *host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') portStart = close + 2;
  } else {
    const size_t colon = authority.find(':');
    *host = authority.substr(0, colon);
    if (colon != std::string::npos) portStart = colon + 1;
  }
  *port = portStart == std::string::npos ? std::string() : authority.substr(portStart);
  if (port->empty()) *port = scheme == "https" ? "443" : scheme == "http" ? "80" : "";
  return !host->empty() && !port->empty() && port->find_first_not_of("0123456789") == std::string::npos;
}

// Whether some address of host:port accepts a TCP connection within `timeoutMs`.
bool acceptsConnection(const std::string& host, const std::string& port, int timeoutMs) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, &::freeaddrinfo);
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    const xmldoc::UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.get() < 0) continue;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) return true;
    if (errno != EINPROGRESS) continue;
    pollfd p{fd.get(), POLLOUT, 0};
    if (::poll(&p, 1, timeoutMs) != 1) continue;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) return true;
  }
  return false;
}

// True when `privateKeyPem` is the key of `certificate`; false also when libcrypto cannot be loaded
// (the loader has logged why).
bool keyMatches(const std::string& certificate, const std::string& privateKeyPem) {
  try {
    return ClientCertificateProvisioner::keyMatchesCertificate(certificate, privateKeyPem);
  } catch (const SecurityException&) {
    return false;
  }
}

}  // namespace

File SecurityService::getSlotKeyFile(CertificateSlot slot) const { return File(getSlotFile(slot).getPath() + ".key"); }

std::string SecurityService::getConnectivityConfigFile() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!connectivityConfigFile_.empty()) return connectivityConfigFile_;
  return DevicePaths::backendApplicationFolder() + "/" + kConnectivityConfigName;
}

void SecurityService::setConnectivityConfigFile(const std::string& path) {
  const std::lock_guard<std::mutex> lock(mutex_);
  connectivityConfigFile_ = path;
}

void SecurityService::forceReloadStatus(std::optional<int> status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  forcedReloadStatus_ = status;
}

void SecurityService::setClientCertificateProvisioner(std::shared_ptr<const ClientCertificateProvisioner> provisioner) {
  const std::lock_guard<std::mutex> lock(mutex_);
  provisioner_ = std::move(provisioner);
}

SecurityService::CertificateSlot SecurityService::clientSlot() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return lastProvisionedSlot_.value_or(Types::CertificateIdType::Cert0_Client_Target);
}

SecurityService::ProvisioningResult SecurityService::provisionClientCertificate(
    const std::string& certificateId, int certificateNumber, const std::string& rootCaIdentifier,
    const std::string& kmsCertificateRequestUrl, const std::string& kmsRenewalUrl) {
  ProvisioningResult result;
  CertificateSlot slot;
  try {
    slot = Types::CertificateIdType::parse(certificateId);
  } catch (const std::exception&) {
    result.reason = "no certificate slot is named " + ApplicationLogger::shortened(certificateId, 64);
    return result;
  }
  if (static_cast<int>(slot) != certificateNumber) {
    result.reason = "certificate " + certificateId + " is number " + std::to_string(static_cast<int>(slot)) + ", not " +
                    std::to_string(certificateNumber);
    return result;
  }
  const std::lock_guard<std::mutex> provisioning(provisionMutex_);
  // A unit that holds a certificate and its key renews it; a unit without one asks for a first.
  const bool renewal = !kmsRenewalUrl.empty() && !readCertificate(slot).empty() && getSlotKeyFile(slot).isFile();
  const std::string& url = renewal ? kmsRenewalUrl : kmsCertificateRequestUrl;
  if (url.empty()) {
    result.reason = "no KMS URL for certificate " + certificateId;
    return result;
  }
  std::shared_ptr<const ClientCertificateProvisioner> provisioner;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (provisioner_ == nullptr) provisioner_ = std::make_shared<ClientCertificateProvisioner>();
    provisioner = provisioner_;
  }
  ZEM_INFO((renewal ? "Renewing" : "Requesting")
           << " client certificate " << certificateId << " from CA "
           << ApplicationLogger::shortened(rootCaIdentifier, 64) << " at " << ApplicationLogger::shortened(url, 128));
  ClientCertificateProvisioner::Issued issued;
  bool provisioned = false;
  try {
    provisioned = provisioner->obtain(certificateId, url, &issued, &result.reason) &&
                  storeIssuedPair(slot, issued, &result.reason);
  } catch (const SecurityException& e) {  // libcrypto cannot be loaded
    result.reason = e.what();
  }
  if (!provisioned) {
    ZEM_ERROR("Client certificate " << certificateId << " not provisioned: " << result.reason);
    return result;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    lastProvisionedSlot_ = slot;
  }
  result.success = true;
  return result;
}

bool SecurityService::storeIssuedPair(CertificateSlot slot, const ClientCertificateProvisioner::Issued& issued,
                                      std::string* reason) {
  const File keyFile = getSlotKeyFile(slot);
  std::string oldKey;
  const bool hadKey = keyFile.isFile() && keyFile.readAll(&oldKey);
  if (!File(certificateFolder_).mkdirs()) {
    *reason = "cannot create " + certificateFolder_;
    return false;
  }
  const auto written = xmldoc::replaceFile(keyFile.getPath(), issued.privateKeyPem.data(), issued.privateKeyPem.size(),
                                           xmldoc::Durability::Durable, 0600);
  if (written.outcome == xmldoc::ReplaceOutcome::kFailed) {
    *reason = "cannot store the key: " + written.error;
    return false;
  }
  if (!storeCertificate(slot, issued.certificatePem)) {
    // Puts the previous key back, so the slot keeps a consistent pair.
    if (hadKey) {
      xmldoc::replaceFile(keyFile.getPath(), oldKey.data(), oldKey.size(), xmldoc::Durability::Durable, 0600);
    } else {
      keyFile.remove();
    }
    *reason = "cannot store the certificate in " + getSlotFile(slot).getPath();
    return false;
  }
  return true;
}

int SecurityService::reloadConnectivityConfiguration() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (forcedReloadStatus_) return *forcedReloadStatus_;
  }
  const File config(getConnectivityConfigFile());
  std::vector<char> target(PATH_MAX + 1, '\0');
  const ssize_t length = ::readlink(config.getPath().c_str(), target.data(), PATH_MAX);
  const std::string targetName = length > 0 ? std::string(target.data(), static_cast<size_t>(length)) : std::string();
  const std::string suffix = ".prs";
  const File profileFile(config.getParentFile(), targetName);
  std::string properties;
  if (targetName.size() <= suffix.size() || targetName.find('/') != std::string::npos ||
      targetName.compare(targetName.size() - suffix.size(), suffix.size(), suffix) != 0 || !profileFile.isFile()) {
    ZEM_ERROR("Connectivity configuration " << config.getPath() << " is no link to a profile file");
    return kReloadLinkMissing;
  }
  const CertificateSlot slot = clientSlot();
  std::string key;
  const File keyFile = getSlotKeyFile(slot);
  if (!keyFile.isFile() || !keyFile.readAll(&key) || !keyMatches(readCertificate(slot), key)) {
    ZEM_ERROR("Client certificate " << getSlotFile(slot).getName() << " and its key are missing or do not match");
    return kReloadCertificateInvalid;
  }
  std::string host;
  std::string port;
  struct stat info {};
  if (::stat(profileFile.getPath().c_str(), &info) != 0 || info.st_size > static_cast<off_t>(kMaxProfileFileBytes) ||
      !profileFile.readAll(&properties) || !hostAndPort(backendUrlOf(properties), &host, &port)) {
    ZEM_ERROR("Profile file " << profileFile.getPath() << " names no usable backend address");
    return kReloadNoBackendAddress;
  }
  if (!acceptsConnection(host, port, kReachabilityTimeoutMs)) {
    ZEM_WARN("Backend " << ApplicationLogger::shortened(host, 64) << ":" << port << " cannot be reached");
    return kReloadUnreachable;
  }
  return kReloadOk;
}

}  // namespace Security
