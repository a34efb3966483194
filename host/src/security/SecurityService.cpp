// SecurityService on OpenSSL libcrypto: certificate slots, Base64, the signatures of container
// entries and of result packages. Client certificates and the connectivity check are in
// SecurityServiceConnectivity.cpp. Every OpenSSL object is owned by a unique_ptr from the moment
// it is obtained; the thread's OpenSSL error queue is emptied after each failure so that a later
// operation never reports a stale error.
#include "kest/security/SecurityService.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/TrustBoundaries.h"
#include "kolconfig/FileIo.h"
#include "security/OpenSslHandles.h"
#include "util/FilePieces.h"

namespace Security {

namespace {

using detail::BioPtr;
using detail::MdCtxPtr;
using detail::noPassphrase;
using detail::openSslError;
using detail::PkeyPtr;
using detail::X509Ptr;

namespace Types = Sarnet_Configuration::Types;

// Parses one certificate, PEM first, then DER. Null when the bytes are neither.
X509Ptr parseCertificate(const std::string& bytes) {
  if (bytes.empty()) return nullptr;
  BioPtr pem(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (pem != nullptr) {
    X509Ptr cert(PEM_read_bio_X509(pem.get(), nullptr, &noPassphrase, nullptr));
    if (cert != nullptr) return cert;
  }
  ERR_clear_error();
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  X509Ptr cert(d2i_X509(nullptr, &data, static_cast<long>(bytes.size())));
  // DER must be the whole value: trailing bytes mean it is something else.
  if (cert != nullptr && data != reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size()) cert.reset();
  ERR_clear_error();
  return cert;
}

bool readWhole(const File& file, std::string* out) { return file.readAll(out); }

std::string errnoText(int error) { return std::strerror(error); }

// Reads the slot file at `path` into `bytes`. Returns an empty text on success, otherwise the
// reason the slot cannot be used. Sets `*absent` when no file (and no link) of that name exists.
// A FIFO or device in the slot is refused without blocking (O_NONBLOCK, then S_ISREG).
std::string readSlotFile(const std::string& path, std::string* bytes, bool* absent) {
  *absent = false;
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0) {
    if (errno == ENOENT) {
      *absent = true;
      return std::string();
    }
    return errnoText(errno);
  }
  const xmldoc::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return errnoText(errno);
  struct stat target {};
  if (::fstat(fd.get(), &target) != 0) return errnoText(errno);
  if (!S_ISREG(target.st_mode)) return "not a regular file";
  if (target.st_size <= 0) return "the file is empty";
  if (target.st_size > static_cast<off_t>(SecurityService::kMaxSlotSize)) {
    return "larger than " + std::to_string(SecurityService::kMaxSlotSize) + " bytes";
  }
  std::string data(static_cast<size_t>(target.st_size) + 1, '\0');
  size_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), &data[total], data.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errnoText(errno);
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total == data.size()) return "larger than " + std::to_string(SecurityService::kMaxSlotSize) + " bytes";
  }
  data.resize(total);
  *bytes = std::move(data);
  return std::string();
}

// Feeds the file's bytes to `update` in pieces. False when the file cannot be read or `update`
// fails.
template <class Update>
bool forEachChunk(const File& file, Update update) {
  const xmldoc::UniqueFd fd(::open(file.getPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return false;
  bool updated = true;
  const int64_t read = kestutil::forEachPiece(fd.get(), [&](const char* data, size_t size) {
    updated = update(data, size);
    return updated;
  });
  return read >= 0 && updated;
}

// Why a unit without a signing slot file refuses containers outside development mode.
std::string noSlotRefusal(const std::string& slotPath) {
  return "the certificate slot " + slotPath +
         " has no file and zem-host runs without --development: every container is refused until the slot holds "
         "a certificate";
}

bool isBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

SecurityService::SecurityService() : SecurityService(DevicePaths::certificateFolder()) {}

SecurityService::SecurityService(std::string certificateFolder) : certificateFolder_(std::move(certificateFolder)) {}

SecurityService::~SecurityService() = default;

File SecurityService::getSlotFile(CertificateSlot slot) const {
  return File(File(certificateFolder_), Types::CertificateIdType::toString(slot));
}

File SecurityService::getDeviceKeyFile() const { return File(File(certificateFolder_), kDeviceKeyFileName); }

std::string SecurityService::readCertificate(CertificateSlot slot) const {
  std::string bytes;
  bool absent = false;
  if (!readSlotFile(getSlotFile(slot).getPath(), &bytes, &absent).empty()) return std::string();
  return bytes;
}

SecurityService::SlotState SecurityService::readSigningSlot(CertificateSlot slot, std::string* bytes,
                                                            std::string* reason) const {
  bool absent = false;
  const std::string failure = readSlotFile(getSlotFile(slot).getPath(), bytes, &absent);
  if (absent) return SlotState::kAbsent;
  if (!failure.empty()) {
    *reason = failure;
    return SlotState::kUnusable;
  }
  return SlotState::kPresent;
}

bool SecurityService::storeCertificate(CertificateSlot slot, const std::string& bytes) {
  const File file = getSlotFile(slot);
  if (bytes.size() > kMaxSlotSize || parseCertificate(bytes) == nullptr) {
    ZEM_ERROR("Refused to store " << file.getName() << ": the value is not one PEM or DER X.509 certificate of at most "
                                  << kMaxSlotSize << " bytes");
    return false;
  }
  if (!File(certificateFolder_).mkdirs() || !file.writeAtomically(bytes)) {
    ZEM_ERROR("Cannot store certificate " << file.getPath());
    return false;
  }
  return true;
}

std::string SecurityService::base64Encode(const std::string& bytes) {
  if (bytes.empty()) return std::string();
  BioPtr chain(BIO_new(BIO_f_base64()));
  BIO* memory = BIO_new(BIO_s_mem());
  if (chain == nullptr || memory == nullptr) {
    BIO_free(memory);
    ERR_clear_error();
    throw std::bad_alloc();
  }
  BIO_push(chain.get(), memory);  // the chain owns `memory` now
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  if (BIO_write(chain.get(), bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size()) ||
      BIO_flush(chain.get()) != 1) {
    ERR_clear_error();
    throw std::bad_alloc();
  }
  BUF_MEM* buffer = nullptr;
  BIO_get_mem_ptr(memory, &buffer);
  return std::string(buffer->data, buffer->length);
}

bool SecurityService::base64Decode(const std::string& text, std::string* bytes) {
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    clean.push_back(c);
  }
  if (clean.size() % 4 != 0) return false;
  size_t padding = 0;
  for (size_t i = 0; i < clean.size(); ++i) {
    if (clean[i] == '=') {
      // Padding only at the end, at most two characters.
      if (i + 2 < clean.size()) return false;
      ++padding;
    } else if (padding > 0 || !isBase64Char(clean[i])) {
      return false;
    }
  }
  if (clean.empty()) {
    bytes->clear();
    return true;
  }
  // The BIO filter reads lines: give it lines of 64 characters.
  std::string lines;
  lines.reserve(clean.size() + clean.size() / 64 + 1);
  for (size_t i = 0; i < clean.size(); i += 64) {
    lines.append(clean, i, 64);
    lines.push_back('\n');
  }
  BioPtr chain(BIO_new(BIO_f_base64()));
  BIO* memory = BIO_new_mem_buf(lines.data(), static_cast<int>(lines.size()));
  if (chain == nullptr || memory == nullptr) {
    BIO_free(memory);
    ERR_clear_error();
    return false;
  }
  BIO_push(chain.get(), memory);
  const size_t expected = clean.size() / 4 * 3 - padding;
  std::string decoded(expected + 3, '\0');
  size_t total = 0;
  for (;;) {
    const int n = BIO_read(chain.get(), &decoded[total], static_cast<int>(decoded.size() - total));
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    if (total == decoded.size()) break;
  }
  ERR_clear_error();
  if (total != expected) return false;
  decoded.resize(total);
  *bytes = std::move(decoded);
  return true;
}

FileDecryptor SecurityService::getFileDecryptor() const { return FileDecryptor(); }

FileEncryptor SecurityService::getFileEncryptor() const { return FileEncryptor(); }

SignatureValidator SecurityService::getSignatureValidator(const std::string& signatureBase64, int keyNumber) const {
  return SignatureValidator(
      [this, signatureBase64, keyNumber](const File& file, ValidationContext& context) {
        verifySignature(file, signatureBase64, keyNumber, context);
      },
      [this, signatureBase64, keyNumber](std::string_view bytes, ValidationContext& context) {
        verifySignature(bytes, signatureBase64, keyNumber, context);
      });
}

std::string SecurityService::containerRefusal() const {
  const CertificateSlot slot = Types::CertificateIdType::fromInt(kSigningKeyNumber);
  const std::string path = getSlotFile(slot).getPath();
  std::string bytes;
  std::string reason;
  switch (readSigningSlot(slot, &bytes, &reason)) {
    case SlotState::kAbsent:
      return TrustBoundaries::developmentMode() ? std::string() : noSlotRefusal(path);
    case SlotState::kUnusable:
      return "the certificate slot " + path + " cannot be read (" + reason +
             "): every container is refused until the slot holds a usable certificate";
    case SlotState::kPresent:
      break;
  }
  try {
    if (parseCertificate(bytes) == nullptr) {
      return "the certificate slot " + path +
             " holds no PEM or DER X.509 certificate: every container is refused until the slot holds a usable "
             "certificate";
    }
  } catch (const SecurityException& e) {
    // libcrypto cannot be loaded: no signature can be checked.
    return "the certificate slot " + path + " cannot be checked (" + e.what() + "): every container is refused";
  }
  return std::string();
}

void SecurityService::verifySignature(const File& file, const std::string& signatureBase64, int keyNumber,
                                      ValidationContext& context) const {
  verifySignatureOf([&file](const auto& update) { return forEachChunk(file, update); }, file.getPath(), signatureBase64,
                    keyNumber, context);
}

void SecurityService::verifySignature(std::string_view bytes, const std::string& signatureBase64, int keyNumber,
                                      ValidationContext& context) const {
  verifySignatureOf([bytes](const auto& update) { return update(bytes.data(), bytes.size()); }, context.getEntryName(),
                    signatureBase64, keyNumber, context);
}

void SecurityService::verifySignatureOf(const SignedBytes& feed, const std::string& source,
                                        const std::string& signatureBase64, int keyNumber,
                                        ValidationContext& context) const {
  CertificateSlot slot;
  try {
    slot = Types::CertificateIdType::fromInt(keyNumber);
  } catch (const std::exception&) {
    throw SecurityException("unknown key number " + std::to_string(keyNumber));
  }
  const std::string slotName = Types::CertificateIdType::toString(slot);
  std::string certificateBytes;
  std::string reason;
  switch (readSigningSlot(slot, &certificateBytes, &reason)) {
    case SlotState::kAbsent:
      // A unit without a signing certificate runs unsigned containers only when its host was
      // started for development; otherwise the missing slot refuses them.
      if (!TrustBoundaries::developmentMode()) throw SecurityException(noSlotRefusal(getSlotFile(slot).getPath()));
      if (context.takeFirstNotice()) {
        ZEM_WARN("Certificate slot " << slotName << " has no file: development mode, signatures of container "
                                     << context.getContainerPath() << " are not checked");
      }
      return;
    case SlotState::kUnusable:
      throw SecurityException("the certificate slot " + getSlotFile(slot).getPath() + " cannot be read (" + reason +
                              "): every container is refused until the slot holds a usable certificate");
    case SlotState::kPresent:
      break;
  }
  const X509Ptr certificate = parseCertificate(certificateBytes);
  if (certificate == nullptr) {
    throw SecurityException("the certificate slot " + getSlotFile(slot).getPath() +
                            " holds no PEM or DER X.509 certificate: every container is refused until the slot "
                            "holds a usable certificate");
  }
  const PkeyPtr publicKey(X509_get_pubkey(certificate.get()));
  if (publicKey == nullptr) {
    throw SecurityException("the certificate in slot " + slotName + " has no usable public key: " + openSslError());
  }
  if (signatureBase64.empty()) throw SecurityException("missing signature");
  std::string signature;
  if (!base64Decode(signatureBase64, &signature) || signature.empty()) {
    throw SecurityException("the signature is not valid Base64");
  }
  const MdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) != 1) {
    throw SecurityException("cannot start the signature check: " + openSslError());
  }
  const bool read =
      feed([&ctx](const char* data, size_t size) { return EVP_DigestVerifyUpdate(ctx.get(), data, size) == 1; });
  if (!read) throw SecurityException("cannot read " + source);
  const int verdict =
      EVP_DigestVerifyFinal(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
  ERR_clear_error();
  if (verdict != 1) throw SecurityException("wrong signature (checked with " + slotName + ")");
}

SignatureGenerator SecurityService::getSignatureGenerator() const {
  return SignatureGenerator([this](const File& file) { return signFile(file, 1); });
}

std::string SecurityService::signFile(const File& file, int /*keyNumber*/) const {
  const File keyFile = getDeviceKeyFile();
  std::string keyBytes;
  if (!keyFile.isFile() || !readWhole(keyFile, &keyBytes) || keyBytes.empty()) return std::string();
  BioPtr keyBio(BIO_new_mem_buf(keyBytes.data(), static_cast<int>(keyBytes.size())));
  const PkeyPtr key(keyBio == nullptr ? nullptr
                                      : PEM_read_bio_PrivateKey(keyBio.get(), nullptr, &noPassphrase, nullptr));
  if (key == nullptr) {
    ZEM_ERROR("Cannot use the device key " << keyFile.getPath() << ": " << openSslError());
    return std::string();
  }
  const MdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    ZEM_ERROR("Cannot sign " << file.getPath() << ": " << openSslError());
    return std::string();
  }
  const bool read = forEachChunk(
      file, [&ctx](const char* data, size_t size) { return EVP_DigestSignUpdate(ctx.get(), data, size) == 1; });
  size_t length = 0;
  if (!read || EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) {
    ZEM_ERROR("Cannot sign " << file.getPath() << ": " << (read ? openSslError() : "the file cannot be read"));
    return std::string();
  }
  std::string signature(length, '\0');
  if (EVP_DigestSignFinal(ctx.get(), reinterpret_cast<unsigned char*>(&signature[0]), &length) != 1) {
    ZEM_ERROR("Cannot sign " << file.getPath() << ": " << openSslError());
    return std::string();
  }
  signature.resize(length);
  return base64Encode(signature);
}

std::string SecurityService::mapFileName(const std::string& name) const { return name; }

std::string SecurityService::getFileNameOnDisk(const std::string& mappedName) const { return mappedName; }

}  // namespace Security
