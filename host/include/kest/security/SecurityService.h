// The unit's security services on OpenSSL: certificate slots, Base64, the signatures of task
// container entries and of result package entries, name mapping, decryptors and encryptors.
// Thread safety: every operation may be called from any thread. The service keeps no mutable
// state: slots and keys are read from the certificate folder on each use, so a certificate
// stored by one thread takes effect for the next check made by any thread.
#pragma once

#include <cstddef>
#include <string>

#include "kest/File.h"
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
// refused. The check fails closed: only an ABSENT slot file (no file and no link of that name)
// puts the unit in development mode, where nothing is checked and one WARN per container says so.
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
class SecurityService {
 public:
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

  // ---- Base64 (standard alphabet, with padding)
  // One line, no line breaks.
  static std::string base64Encode(const std::string& bytes);
  // Decodes `text`; whitespace and line breaks are ignored. Returns false (`bytes` untouched) when
  // the text is not valid Base64. REQUIRES: bytes != nullptr
  static bool base64Decode(const std::string& text, std::string* bytes);

  // ---- container entries
  // Pass-through decryptor.
  virtual FileDecryptor getFileDecryptor() const;
  // A validator that checks an extracted entry against `signatureBase64` with the certificate of
  // slot `keyNumber` (see verifySignature). REQUIRES: this service outlives the validator.
  virtual SignatureValidator getSignatureValidator(const std::string& signatureBase64, int keyNumber) const;
  // Returns normally when the file may be used: its signature verifies with the certificate in
  // slot `keyNumber`, or that slot file is absent (development mode; WARN once per container
  // through `context`). Throws SecurityException with the reason otherwise: missing or
  // undecodable signature, wrong signature, a slot that cannot be read or parsed, unknown key
  // number, unreadable file.
  void verifySignature(const File& file, const std::string& signatureBase64, int keyNumber,
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

  const std::string certificateFolder_;
};

}  // namespace Security
