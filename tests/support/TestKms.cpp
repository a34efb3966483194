#include "TestKms.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>

namespace zem_test {

namespace {

struct Free {
  void operator()(BIO* p) const { BIO_free_all(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_REQ* p) const { X509_REQ_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509_NAME* p) const { X509_NAME_free(p); }
};
template <class T>
using Ptr = std::unique_ptr<T, Free>;

constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr int kReadTimeoutMs = 2000;

Ptr<BIO> memory(const std::string& text) {
  return Ptr<BIO>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string pemOf(const std::function<int(BIO*)>& write) {
  Ptr<BIO> out(BIO_new(BIO_s_mem()));
  if (out == nullptr || write(out.get()) != 1) throw std::runtime_error("test KMS: cannot write PEM");
  BUF_MEM* buffer = nullptr;
  BIO_get_mem_ptr(out.get(), &buffer);
  return std::string(buffer->data, buffer->length);
}

Ptr<EVP_PKEY> readKey(const std::string& pem) {
  return Ptr<EVP_PKEY>(PEM_read_bio_PrivateKey(memory(pem).get(), nullptr, nullptr, nullptr));
}

// A certificate for `publicKey` named `subject`, signed by `caKey` on behalf of `issuer`
// (self-signed when `issuer` is null).
Ptr<X509> certify(EVP_PKEY* publicKey, const X509_NAME* subject, const X509_NAME* issuer, EVP_PKEY* caKey) {
  static std::atomic<long> serial{1};
  Ptr<X509> cert(X509_new());
  if (cert == nullptr || X509_set_version(cert.get(), 2) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) == nullptr ||
      X509_set_subject_name(cert.get(), subject) != 1 ||
      X509_set_issuer_name(cert.get(), issuer != nullptr ? issuer : subject) != 1 ||
      X509_set_pubkey(cert.get(), publicKey) != 1 || X509_sign(cert.get(), caKey, EVP_sha256()) <= 0) {
    ERR_clear_error();
    return nullptr;
  }
  return cert;
}

// Reads from `fd` until `request` holds the headers and the body they announce. False on a
// timeout, a closed connection or an oversized request.
bool readRequest(int fd, std::string* request, size_t* bodyStart, size_t* bodyLength) {
  char buffer[4096];
  for (;;) {
    const size_t headersEnd = request->find("\r\n\r\n");
    if (headersEnd != std::string::npos) {
      *bodyStart = headersEnd + 4;
      const size_t at = request->find("Content-Length:");
      *bodyLength =
          at == std::string::npos || at > headersEnd ? 0 : std::strtoul(request->c_str() + at + 15, nullptr, 10);
      if (*bodyLength > kMaxRequestBytes) return false;
      if (request->size() >= *bodyStart + *bodyLength) return true;
    }
    if (request->size() > kMaxRequestBytes) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kReadTimeoutMs) != 1) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    request->append(buffer, static_cast<size_t>(n));
  }
}

void reply(int fd, int status, const std::string& body) {
  const std::string text =
      "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
      "\r\nContent-Type: application/x-pem-file\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

TestKms::TestKms() {
  const Ptr<EVP_PKEY> caKey(EVP_EC_gen("P-256"));
  const Ptr<EVP_PKEY> otherKey(EVP_EC_gen("P-256"));
  const Ptr<X509_NAME> name(X509_NAME_new());
  if (caKey == nullptr || otherKey == nullptr || name == nullptr ||
      X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test KMS CA"),
                                 -1, -1, 0) != 1) {
    throw std::runtime_error("test KMS: cannot make the CA");
  }
  const Ptr<X509> ca = certify(caKey.get(), name.get(), nullptr, caKey.get());
  if (ca == nullptr) throw std::runtime_error("test KMS: cannot make the CA");
  caPem_ = pemOf([&](BIO* b) { return PEM_write_bio_X509(b, ca.get()); });
  caKeyPem_ =
      pemOf([&](BIO* b) { return PEM_write_bio_PrivateKey(b, caKey.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  otherKeyPem_ =
      pemOf([&](BIO* b) { return PEM_write_bio_PrivateKey(b, otherKey.get(), nullptr, nullptr, 0, nullptr, nullptr); });

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 16) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listenFd_ >= 0) ::close(listenFd_);
    throw std::runtime_error("test KMS: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

TestKms::~TestKms() {
  stop_ = true;
  thread_.join();
  for (const int fd : silent_) ::close(fd);
  ::close(listenFd_);
}

void TestKms::setMode(Mode mode) {
  const std::lock_guard<std::mutex> lock(mutex_);
  mode_ = mode;
}

std::string TestKms::url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

std::vector<std::string> TestKms::paths() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return paths_;
}

bool TestKms::issued(const std::string& certificatePem) const {
  const Ptr<X509> cert(PEM_read_bio_X509(memory(certificatePem).get(), nullptr, nullptr, nullptr));
  const Ptr<X509> ca(PEM_read_bio_X509(memory(caPem_).get(), nullptr, nullptr, nullptr));
  const bool ok = cert != nullptr && ca != nullptr && X509_verify(cert.get(), X509_get0_pubkey(ca.get())) == 1;
  ERR_clear_error();
  return ok;
}

void TestKms::serve() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) != 1) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) answer(fd);
  }
}

void TestKms::answer(int fd) {
  std::string request;
  size_t bodyStart = 0;
  size_t bodyLength = 0;
  Mode mode;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    mode = mode_;
  }
  if (!readRequest(fd, &request, &bodyStart, &bodyLength)) {
    ::close(fd);
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const size_t pathStart = request.find(' ') + 1;
    paths_.push_back(request.substr(pathStart, request.find(' ', pathStart) - pathStart));
  }
  if (mode == Mode::kSilent) {
    silent_.push_back(fd);
    return;
  }
  std::string body = "this is not a certificate";
  int status = 200;
  if (mode == Mode::kError500) status = 500;
  if (mode == Mode::kGood || mode == Mode::kOtherKey) {
    const Ptr<X509_REQ> csr(
        PEM_read_bio_X509_REQ(memory(request.substr(bodyStart, bodyLength)).get(), nullptr, nullptr, nullptr));
    const Ptr<X509> ca(PEM_read_bio_X509(memory(caPem_).get(), nullptr, nullptr, nullptr));
    const Ptr<EVP_PKEY> caKey = readKey(caKeyPem_);
    const Ptr<EVP_PKEY> other = readKey(otherKeyPem_);
    EVP_PKEY* const key = csr == nullptr        ? nullptr
                          : mode == Mode::kGood ? X509_REQ_get0_pubkey(csr.get())
                                                : other.get();
    const Ptr<X509> cert = key == nullptr ? nullptr
                                          : certify(key, X509_REQ_get_subject_name(csr.get()),
                                                    X509_get_subject_name(ca.get()), caKey.get());
    ERR_clear_error();
    if (cert == nullptr) {
      status = 400;
    } else {
      body = pemOf([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
    }
  }
  reply(fd, status, body);
  ::close(fd);
}

}  // namespace zem_test
