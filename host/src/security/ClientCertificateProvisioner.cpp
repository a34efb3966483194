// The KMS exchange on OpenSSL and libcurl (loaded on the first exchange). Every OpenSSL and libcurl
// handle is owned by a unique_ptr from the moment it is obtained; the OpenSSL error queue is
// emptied after a failure.
#include "kest/security/ClientCertificateProvisioner.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "kest/ApplicationLogger.h"
#include "security/CurlLibrary.h"
#include "security/OpenSslHandles.h"

namespace Security {

namespace {

using detail::BioPtr;
using detail::noPassphrase;
using detail::openSslError;
using detail::PkeyPtr;
using detail::ReqPtr;
using detail::X509Ptr;

// Frees with the entry point of the library that made the handle.
struct CurlFree {
  void (*cleanup)(CURL*);
  void operator()(CURL* p) const { cleanup(p); }
};
struct SlistFree {
  void (*freeAll)(curl_slist*);
  void operator()(curl_slist* p) const { freeAll(p); }
};
using CurlPtr = std::unique_ptr<CURL, CurlFree>;
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

constexpr size_t kExcerptBytes = 80;

BioPtr memoryOf(const std::string& bytes) {
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// The text written into a memory BIO.
std::string textOf(BIO* bio) {
  BUF_MEM* buffer = nullptr;
  BIO_get_mem_ptr(bio, &buffer);
  return buffer == nullptr ? std::string() : std::string(buffer->data, buffer->length);
}

X509Ptr parseCertificate(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > ClientCertificateProvisioner::kMaxAnswerBytes) return nullptr;
  BioPtr pem = memoryOf(bytes);
  X509Ptr cert(pem == nullptr ? nullptr : PEM_read_bio_X509(pem.get(), nullptr, &noPassphrase, nullptr));
  if (cert == nullptr) {
    ERR_clear_error();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    cert.reset(d2i_X509(nullptr, &data, static_cast<long>(bytes.size())));
  }
  ERR_clear_error();
  return cert;
}

PkeyPtr parsePrivateKey(const std::string& pem) {
  BioPtr bio = memoryOf(pem);
  PkeyPtr key(bio == nullptr ? nullptr : PEM_read_bio_PrivateKey(bio.get(), nullptr, &noPassphrase, nullptr));
  ERR_clear_error();
  return key;
}

// Collects the answer up to its cap; a larger answer aborts the transfer (CURLE_WRITE_ERROR).
struct Sink {
  std::string* body;
  size_t cap;
  bool overflow = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->body->size() + n > sink->cap) {
    sink->overflow = true;
    return 0;
  }
  sink->body->append(data, n);
  return n;
}

}  // namespace

HttpPoster::~HttpPoster() = default;

CurlHttpPoster::CurlHttpPoster(std::string libraryFileName) : libraryFileName_(std::move(libraryFileName)) {}

bool CurlHttpPoster::post(const std::string& url, const std::string& contentType, const std::string& body,
                          std::chrono::milliseconds timeout, size_t maxBody, Response* response,
                          std::string* error) const {
  // Held for the whole exchange, so that the library outlives every handle it made.
  const std::shared_ptr<const CurlLibrary> lib = CurlLibrary::load(libraryFileName_, error);
  if (lib == nullptr) return false;
  const CurlPtr curl(lib->easyInit(), CurlFree{lib->easyCleanup});
  if (curl == nullptr) {
    *error = "cannot start an HTTP exchange";
    return false;
  }
  const SlistPtr headers(lib->slistAppend(nullptr, ("Content-Type: " + contentType).c_str()),
                         SlistFree{lib->slistFreeAll});
  if (headers == nullptr) {
    *error = "cannot start an HTTP exchange";
    return false;
  }
  response->body.clear();
  Sink sink{&response->body, maxBody};
  char curlError[CURL_ERROR_SIZE] = {0};
  CURL* const h = curl.get();
  const bool configured =
      lib->easySetopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count())) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count())) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_POSTFIELDS, body.data()) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size())) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_WRITEFUNCTION, &collect) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
      lib->easySetopt(h, CURLOPT_ERRORBUFFER, curlError) == CURLE_OK;
  if (!configured) {
    *error = "cannot configure the HTTP exchange";
    return false;
  }
  const CURLcode code = lib->easyPerform(h);
  if (sink.overflow) {
    *error = "the answer is larger than " + std::to_string(maxBody) + " bytes";
    return false;
  }
  if (code != CURLE_OK) {
    *error = curlError[0] != '\0' ? std::string(curlError) : std::string(lib->easyStrerror(code));
    return false;
  }
  lib->easyGetinfo(h, CURLINFO_RESPONSE_CODE, &response->status);
  return true;
}

ClientCertificateProvisioner::ClientCertificateProvisioner()
    : ClientCertificateProvisioner(std::make_shared<CurlHttpPoster>()) {}

ClientCertificateProvisioner::ClientCertificateProvisioner(std::shared_ptr<const HttpPoster> poster)
    : poster_(std::move(poster)) {}

ClientCertificateProvisioner::~ClientCertificateProvisioner() = default;

bool ClientCertificateProvisioner::makeKeyAndRequest(const std::string& commonName, std::string* keyPem,
                                                     std::string* requestPem, std::string* reason) {
  const PkeyPtr key(EVP_EC_gen("P-256"));
  const ReqPtr request(X509_REQ_new());
  if (key == nullptr || request == nullptr) {
    *reason = "cannot make a key: " + openSslError();
    return false;
  }
  X509_NAME* const subject = X509_REQ_get_subject_name(request.get());  // owned by the request
  const bool built = X509_REQ_set_version(request.get(), 0) == 1 &&
                     X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                                reinterpret_cast<const unsigned char*>(commonName.data()),
                                                static_cast<int>(commonName.size()), -1, 0) == 1 &&
                     X509_REQ_set_pubkey(request.get(), key.get()) == 1 &&
                     X509_REQ_sign(request.get(), key.get(), EVP_sha256()) > 0;
  const BioPtr keyOut(BIO_new(BIO_s_mem()));
  const BioPtr requestOut(BIO_new(BIO_s_mem()));
  if (!built || keyOut == nullptr || requestOut == nullptr ||
      PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_X509_REQ(requestOut.get(), request.get()) != 1) {
    *reason = "cannot make a certificate request: " + openSslError();
    return false;
  }
  *keyPem = textOf(keyOut.get());
  *requestPem = textOf(requestOut.get());
  return true;
}

bool ClientCertificateProvisioner::keyMatchesCertificate(const std::string& certificate,
                                                         const std::string& privateKeyPem) {
  // The certificate first: an answer that holds none costs no key decoding (slow in OpenSSL 3).
  const X509Ptr cert = parseCertificate(certificate);
  if (cert == nullptr) return false;
  const PkeyPtr key = parsePrivateKey(privateKeyPem);
  if (key == nullptr) return false;
  const EVP_PKEY* const certKey = X509_get0_pubkey(cert.get());  // owned by the certificate
  const bool match = certKey != nullptr && EVP_PKEY_eq(certKey, key.get()) == 1;
  ERR_clear_error();
  return match;
}

bool ClientCertificateProvisioner::obtain(const std::string& commonName, const std::string& url, Issued* issued,
                                          std::string* reason) const {
  std::string keyPem;
  std::string requestPem;
  if (!makeKeyAndRequest(commonName, &keyPem, &requestPem, reason)) return false;
  HttpPoster::Response response;
  std::string error;
  if (!poster_->post(url, kRequestContentType, requestPem, timeout_, kMaxAnswerBytes, &response, &error)) {
    *reason = "no answer from the KMS at " + ApplicationLogger::shortened(url, kExcerptBytes) + ": " +
              ApplicationLogger::shortened(error, kExcerptBytes);
    return false;
  }
  if (response.status != 200) {
    *reason = "the KMS answered HTTP " + std::to_string(response.status);
    return false;
  }
  // Only a PEM certificate is accepted: DER in a text protocol is a sign of a confused peer.
  const BioPtr pem = memoryOf(response.body);
  const X509Ptr cert(pem == nullptr ? nullptr : PEM_read_bio_X509(pem.get(), nullptr, &noPassphrase, nullptr));
  ERR_clear_error();
  if (cert == nullptr) {
    *reason =
        "the KMS answer is no PEM certificate: \"" + ApplicationLogger::shortened(response.body, kExcerptBytes) + "\"";
    return false;
  }
  if (!keyMatchesCertificate(response.body, keyPem)) {
    *reason = "the KMS answered with a certificate for another key";
    return false;
  }
  issued->certificatePem = std::move(response.body);
  issued->privateKeyPem = std::move(keyPem);
  return true;
}

}  // namespace Security
