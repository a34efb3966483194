// The unit's security services on OpenSSL: certificate slots, Base64, the signatures of task
// container entries and of result package entries, name mapping, decryptors and encryptors.
// Client-certificate provisioning from the KMS and the check of the connectivity configuration.
// Thread safety: every operation may be called from any thread. Slots and keys are read from the
// certificate folder on each use, so a certificate stored by one thread takes effect for the next
// check made by any thread. mutex_ guards the few settings below (seams, provisioner, last slot);
// provisionMutex_ serialises provisioning, so that two exchanges never interleave their writes.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "kest/Export.h"
#include "kest/File.h"
#include "kest/security/ClientCertificateProvisioner.h"
#include "kest/security/FileDecryptor.h"
#include "kest/security/FileEncryptor.h"
#include "kest/security/SecurityException.h"
#include "kest/security/SignatureGenerator.h"
#include "kest/security/SignatureValidator.h"
#include "kolconfig/Types.h"

namespace Security {

// Certificate slots are files named after the slot ids ("Cert0_Client_Target",
// "Cert1_TLS_CA_Target_Server", "Cert2_Signing_CA") in the certificate folder, each holding one
// X.509 certificate in PEM or DER. The device's private key, when the unit has one, is the PEM
// file "device.key" in the same folder.
//
// Container entries: an index entry's signature is the Base64 text of a SHA-256 signature (RSA
// PKCS#1 v1.5 or ECDSA, as `openssl dgst -sha256 -sign KEY FILE` writes it) over the entry's
// bytes. It is checked with the public key of the certificate in the slot named by the key
// number (2: Cert2_Signing_CA). With a certificate in that slot a missing or wrong signature is
// refused. The check fails closed: an ABSENT slot file (no file and no link of that name) refuses
// every container, unless the host runs in development mode (TrustBoundaries::developmentMode(),
// zem-host --development): then nothing is checked and one WARN per container says so.
// A slot that is a folder, a link loop or a dangling link, a FIFO or device, an unreadable,
// empty or oversized file (kMaxSlotSize), or bytes that are no certificate refuses every
// container with a SecurityException naming the slot and the reason.
//
// Certificate validity dates are NOT checked, on purpose: the unit's clock may be unset at boot
// (1970) or wrong until the network sets it, and a date check would then refuse every signed
// container, including the one that would repair the unit. The signing certificate is a trust
// anchor installed by the backend; it is withdrawn by replacing the slot, not by expiry.
//
// Name mapping is the identity: entries keep their names inside packages, so the name in an
// index is the name on disk. Decryptors and encryptors pass files through.
//
// Client certificates: a provisioned slot holds the PEM certificate, and the PEM private key
// lies beside it as "<slot>.key" (mode 0600). Both are written durably, the key first: a power
// cut between the two leaves a pair that reloadConnectivityConfiguration reports as status 2,
// which the next provisioning repairs.
class KEST_EXPORT SecurityService {
 public:
  // Statuses of reloadConnectivityConfiguration.
  static constexpr int kReloadOk = 0;                  // link, certificate and key consistent, backend reachable
  static constexpr int kReloadLinkMissing = 1;         // the configuration is no link to an existing "<profile>.prs"
  static constexpr int kReloadCertificateInvalid = 2;  // slot or key missing, unreadable, or not one pair
  static constexpr int kReloadUnreachable = 3;         // the backend's host:port refuses or does not answer
  static constexpr int kReloadNoBackendAddress = 4;    // the profile's file has no usable "prm.manager.url="
  // The connectivity configuration, in the backend application's folder, unless set otherwise.
  static constexpr const char* kConnectivityConfigName = "connectivity.properties";
  // How long the reachability check may wait for the backend's TCP handshake.
  static constexpr int kReachabilityTimeoutMs = 2000;

  struct ProvisioningResult {
    bool success = false;
    std::string reason;  // why it was refused; empty on success
  };

  using CertificateSlot = Sarnet_Configuration::Types::CertificateIdType::Enum;
  // The key number that names the signing slot for container checks.
  static constexpr int kSigningKeyNumber = 2;
  static constexpr const char* kDeviceKeyFileName = "device.key";
  // A slot file larger than this is no certificate of ours and is refused unread.
  static constexpr size_t kMaxSlotSize = 64 * 1024;

  // Uses DevicePaths::certificateFolder().
  SecurityService();
  // Uses `certificateFolder` for slots and the device key (tests, tools).
  explicit SecurityService(std::string certificateFolder);
  virtual ~SecurityService();
  SecurityService(const SecurityService&) = delete;
  SecurityService& operator=(const SecurityService&) = delete;

  const std::string& getCertificateFolder() const { return certificateFolder_; }
  // The slot's file: certificate folder + "/" + the slot id.
  File getSlotFile(CertificateSlot slot) const;
  File getDeviceKeyFile() const;

  // ---- certificate slots
  // The bytes stored in the slot, as stored (PEM text or DER). Empty when the slot is absent or
  // cannot be used (see the class comment).
  virtual std::string readCertificate(CertificateSlot slot) const;
  // Stores `bytes` in the slot durably (temporary file, fsync, rename). Returns true on success;
  // false (slot unchanged, ERROR logged) when the bytes are not one PEM or DER X.509 certificate
  // of at most kMaxSlotSize bytes, or the write fails. An empty value is refused too: a slot is never cleared through
  // here.
  virtual bool storeCertificate(CertificateSlot slot, const std::string& bytes);

  // ---- client certificates
  // The private key file of a slot: the slot's file + ".key".
  File getSlotKeyFile(CertificateSlot slot) const;
  // Obtains a new client certificate for slot `certificateId` (a slot id text, whose number must
  // be `certificateNumber`) from the KMS and stores it with its new key. The renewal URL is used
  // when the slot already holds a certificate and its key file exists (the unit then owns a
  // certificate to renew) and that URL is not empty; otherwise the request URL. The subject is
  // CN=`certificateId`. `rootCaIdentifier` names the issuing CA in log lines only.
  // Returns success; or failure with the reason (unknown slot or number, no URL, no or bad KMS
  // answer, a certificate for another key, a write failure), the slot and its key then untouched.
  // Serialised with other provisioning calls; blocks up to the provisioner's timeout.
  virtual ProvisioningResult provisionClientCertificate(const std::string& certificateId, int certificateNumber,
                                                        const std::string& rootCaIdentifier,
                                                        const std::string& kmsCertificateRequestUrl,
                                                        const std::string& kmsRenewalUrl);
  // Checks the connectivity configuration after a profile switch and returns a kReload* status:
  // the configuration file (getConnectivityConfigFile) must be a symbolic link to "<profile>.prs"
  // beside it (1 otherwise); the client slot (the one provisioned last by this service, else
  // Cert0_Client_Target) must hold a certificate whose key is its "<slot>.key" (2 otherwise); the
  // profile file's "prm.manager.url=" must name a host (4 otherwise), which must accept a TCP
  // connection on its port (scheme default 80/443) within kReachabilityTimeoutMs (3 otherwise).
  // A forced status (forceReloadStatus) is returned without any check.
  virtual int reloadConnectivityConfiguration();
  // The connectivity configuration checked by the reload: the link that the application's
  // backend-profile origin manages, which it sets at each switch (setConnectivityConfigFile).
  // Until then: the backend application's folder + "/" + kConnectivityConfigName.
  std::string getConnectivityConfigFile() const;
  void setConnectivityConfigFile(const std::string& path);
  // Test seam: reloadConnectivityConfiguration returns `status` until reset with std::nullopt.
  void forceReloadStatus(std::optional<int> status);
  // Test seam: the provisioner used for the KMS exchange (never null; default: libcurl, 10 s).
  void setClientCertificateProvisioner(std::shared_ptr<const ClientCertificateProvisioner> provisioner);

  // ---- Base64 (standard alphabet, with padding)
  // One line, no line breaks.
  static std::string base64Encode(const std::string& bytes);
  // Decodes `text`; whitespace and line breaks are ignored. Returns false (`bytes` untouched) when
  // the text is not valid Base64. REQUIRES: bytes != nullptr
  static bool base64Decode(const std::string& text, std::string* bytes);

  // ---- container entries
  // Pass-through decryptor.
  virtual FileDecryptor getFileDecryptor() const;
  // Whether this unit opens task containers at all, asked once per container before it is read.
  // Returns "" when it does: the signing slot holds a certificate, or it has no file and the host
  // runs in development mode. Otherwise returns the reason every container is refused (naming the
  // slot): no slot file outside development mode, or a slot that cannot be read or parsed.
  virtual std::string containerRefusal() const;
  // A validator that checks an extracted entry against `signatureBase64` with the certificate of
  // slot `keyNumber` (see verifySignature). REQUIRES: this service outlives the validator.
  virtual SignatureValidator getSignatureValidator(const std::string& signatureBase64, int keyNumber) const;
  // Returns normally when the file may be used: its signature verifies with the certificate in
  // slot `keyNumber`, or that slot file is absent in development mode (WARN once per container
  // through `context`). Throws SecurityException with the reason otherwise: missing or
  // undecodable signature, wrong signature, an absent slot outside development mode, a slot that
  // cannot be read or parsed, unknown key number, unreadable file.
  void verifySignature(const File& file, const std::string& signatureBase64, int keyNumber,
                       ValidationContext& context) const;
  // As above, for an entry held in memory (an unreadable file cannot happen).
  void verifySignature(std::string_view bytes, const std::string& signatureBase64, int keyNumber,
                       ValidationContext& context) const;

  // ---- result packages
  // Pass-through encryptor.
  virtual FileEncryptor getFileEncryptor() const;
  // Signs with the device key (see signFile). REQUIRES: this service outlives the generator.
  virtual SignatureGenerator getSignatureGenerator() const;
  // The Base64 SHA-256 signature of the file's bytes made with the device key ("device.key",
  // RSA or EC), or an empty text when the unit has no device key. The key number is accepted
  // for every value: the device key is the unit's only private key. A key or file that cannot be
  // used gives an empty text and one ERROR line. Never throws.
  virtual std::string signFile(const File& file, int keyNumber = 1) const;
  // The name under which an entry is listed in a package index (identity).
  virtual std::string mapFileName(const std::string& name) const;
  // The name on disk of an entry listed in an index (identity; inverse of mapFileName).
  virtual std::string getFileNameOnDisk(const std::string& mappedName) const;

 private:
  enum class SlotState { kAbsent, kPresent, kUnusable };
  // Reads the slot for a signature check. kPresent: `bytes` holds the file. kAbsent: no file of
  // that name. kUnusable: `reason` says why the file cannot be read.
  SlotState readSigningSlot(CertificateSlot slot, std::string* bytes, std::string* reason) const;
  // Hands the signed bytes to `update` in chunks; false when they cannot be read.
  using SignedBytes = std::function<bool(const std::function<bool(const char*, size_t)>& update)>;
  // The check of both verifySignature forms; `source` names the bytes in the refusal of unreadable ones.
  void verifySignatureOf(const SignedBytes& feed, const std::string& source, const std::string& signatureBase64,
                         int keyNumber, ValidationContext& context) const;

  // Stores the issued pair in `slot`, key first; on a certificate write failure the old key is
  // put back. Returns false with the reason.
  bool storeIssuedPair(CertificateSlot slot, const ClientCertificateProvisioner::Issued& issued, std::string* reason);
  // The slot checked by the reload.
  CertificateSlot clientSlot() const;

  const std::string certificateFolder_;
  std::mutex provisionMutex_;                                        // held for a whole provisioning
  mutable std::mutex mutex_;                                         // guards the members below
  std::shared_ptr<const ClientCertificateProvisioner> provisioner_;  // guarded by mutex_
  std::optional<int> forcedReloadStatus_;                            // guarded by mutex_
  std::string connectivityConfigFile_;                               // guarded by mutex_; empty: default
  std::optional<CertificateSlot> lastProvisionedSlot_;               // guarded by mutex_
};

}  // namespace Security
