// Owners of the OpenSSL objects that the security code uses, and the reading of OpenSSL's error
// queue. Internal to the host library.
// Thread safety: stateless; openSslError() reads and empties the calling thread's error queue.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace Security::detail {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct ReqFree {
  void operator()(X509_REQ* request) const { X509_REQ_free(request); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using ReqPtr = std::unique_ptr<X509_REQ, ReqFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The oldest error of the thread's OpenSSL queue as text ("unknown OpenSSL error" when it is
// empty); empties the queue so that a later operation never reports a stale error.
inline std::string openSslError() {
  const unsigned long code = ERR_get_error();
  std::string text = "unknown OpenSSL error";
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

// A passphrase callback that refuses to prompt: an encrypted key is unusable on an unattended unit.
inline int noPassphrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*userData*/) { return 0; }

}  // namespace Security::detail
