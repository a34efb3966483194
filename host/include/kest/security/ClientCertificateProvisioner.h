// Obtains a client certificate from a key management service (KMS): makes an EC P-256 key and a
// PKCS#10 request for it, posts the request over HTTP(S) and checks that the answer is a PEM
// certificate for that very key. Stores nothing: the caller decides where the pair goes.
// Thread safety: every const operation may be called from any thread; setTimeout is not
// synchronised and is meant for set-up (tests) before the provisioner is shared.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "kest/Export.h"

namespace Security {

// The HTTP exchange behind one interface, so that tests can replace or starve it.
class KEST_EXPORT HttpPoster {
 public:
  struct Response {
    long status = 0;   // the HTTP status of the answer
    std::string body;  // at most the cap given to post()
  };
  virtual ~HttpPoster();
  // Posts `body` with the header "Content-Type: `contentType`" to `url`, following no redirect.
  // Returns true with `response` filled when an answer of at most `maxBody` bytes arrived within
  // `timeout` (whatever its status); false with the reason in `error` otherwise (no answer, a
  // transport error, a scheme other than http or https, an answer larger than `maxBody`).
  // REQUIRES: response != nullptr, error != nullptr.
  virtual bool post(const std::string& url, const std::string& contentType, const std::string& body,
                    std::chrono::milliseconds timeout, size_t maxBody, Response* response,
                    std::string* error) const = 0;
};

// The exchange on libcurl: one easy handle per post, http and https only, no redirects, no
// signals (safe in a multi-threaded daemon), the whole exchange bounded by the timeout. libcurl is
// loaded on the first post, not at start: a process that never posts does not map it. When it
// cannot be loaded, every post fails with the reason (the exchange is refused; nothing crashes).
class KEST_EXPORT CurlHttpPoster : public HttpPoster {
 public:
  // Loads libcurl from the file `libraryFileName`, looked up by the dynamic loader (test seam: a
  // name that does not exist stands for a unit without libcurl).
  explicit CurlHttpPoster(std::string libraryFileName = "libcurl.so.4");
  bool post(const std::string& url, const std::string& contentType, const std::string& body,
            std::chrono::milliseconds timeout, size_t maxBody, Response* response, std::string* error) const override;

 private:
  const std::string libraryFileName_;
};

class KEST_EXPORT ClientCertificateProvisioner {
 public:
  // The whole exchange with the KMS must end within this time.
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};
  // A certificate answer larger than this is refused while it arrives.
  static constexpr size_t kMaxAnswerBytes = 64 * 1024;
  static constexpr const char* kRequestContentType = "application/pkcs10";

  // A freshly issued certificate and its private key, both PEM.
  struct Issued {
    std::string certificatePem;
    std::string privateKeyPem;
  };

  // Uses CurlHttpPoster.
  ClientCertificateProvisioner();
  // Uses `poster` (shared; never null).
  explicit ClientCertificateProvisioner(std::shared_ptr<const HttpPoster> poster);
  virtual ~ClientCertificateProvisioner();
  ClientCertificateProvisioner(const ClientCertificateProvisioner&) = delete;
  ClientCertificateProvisioner& operator=(const ClientCertificateProvisioner&) = delete;

  // Test seam: a shorter bound for the exchange, so that a silent KMS is given up quickly.
  void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  std::chrono::milliseconds getTimeout() const { return timeout_; }

  // Makes a new key and a request with subject CN=`commonName`, posts it to `url` and checks the
  // answer. Returns true with `issued` filled when the KMS answered 200 with a PEM certificate
  // whose public key is the new key; false with a one-line reason in `reason` otherwise (the
  // reason quotes at most a short excerpt of the KMS's answer). Never throws for bad answers.
  // REQUIRES: issued != nullptr, reason != nullptr.
  virtual bool obtain(const std::string& commonName, const std::string& url, Issued* issued, std::string* reason) const;

  // Whether the PEM private key `privateKeyPem` belongs to the certificate `certificate` (PEM or
  // DER). False when either cannot be parsed.
  static bool keyMatchesCertificate(const std::string& certificate, const std::string& privateKeyPem);

  // A new EC P-256 key (PEM, unencrypted PKCS#8) and a PEM PKCS#10 request signed with it, with
  // subject CN=`commonName`. Returns false with the reason when OpenSSL fails.
  // REQUIRES: keyPem, requestPem, reason != nullptr.
  static bool makeKeyAndRequest(const std::string& commonName, std::string* keyPem, std::string* requestPem,
                                std::string* reason);

 private:
  const std::shared_ptr<const HttpPoster> poster_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
};

}  // namespace Security
