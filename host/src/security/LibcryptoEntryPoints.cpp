// The OpenSSL libcrypto functions KestCommon calls, defined inside KestCommon: each forwards to its
// namesake in libcrypto.so.3, which is opened on the first call (util/LazyLibrary). An idle daemon
// does not map libcrypto. The definitions are hidden: they never interpose libcrypto for another
// library in the process (the libssl that libcurl brings binds to libcrypto itself).
// A libcrypto that cannot be loaded fails the operation with Security::SecurityException.
// The low-level SHA-256 functions are deprecated but forwarded on purpose (see MetaDataService).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdarg>
#include <cstring>

#include "kest/security/SecurityException.h"
#include "util/LazyLibrary.h"

namespace {

// clang-format off
#define KEST_LIBCRYPTO_ENTRY_POINTS(X)                                                                                 \
  X(long, BIO_ctrl, (BIO* bio, int command, long number, void* data), (bio, command, number, data))                    \
  X(const BIO_METHOD*, BIO_f_base64, (void), ())                                                                       \
  X(int, BIO_free, (BIO* bio), (bio))                                                                                  \
  X(void, BIO_free_all, (BIO* bio), (bio))                                                                             \
  X(BIO*, BIO_new, (const BIO_METHOD* type), (type))                                                                   \
  X(BIO*, BIO_new_mem_buf, (const void* data, int length), (data, length))                                             \
  X(BIO*, BIO_push, (BIO* bio, BIO* append), (bio, append))                                                            \
  X(int, BIO_read, (BIO* bio, void* data, int length), (bio, data, length))                                            \
  X(const BIO_METHOD*, BIO_s_mem, (void), ())                                                                          \
  X(void, BIO_set_flags, (BIO* bio, int flags), (bio, flags))                                                          \
  X(int, BIO_write, (BIO* bio, const void* data, int length), (bio, data, length))                                     \
  X(void, ERR_clear_error, (void), ())                                                                                 \
  X(void, ERR_error_string_n, (unsigned long code, char* buffer, size_t length), (code, buffer, length))               \
  X(unsigned long, ERR_get_error, (void), ())                                                                          \
  X(int, EVP_DigestSignFinal, (EVP_MD_CTX* ctx, unsigned char* signature, size_t* length), (ctx, signature, length))   \
  X(int, EVP_DigestSignInit,                                                                                           \
    (EVP_MD_CTX* ctx, EVP_PKEY_CTX** keyCtx, const EVP_MD* type, ENGINE* engine, EVP_PKEY* key),                       \
    (ctx, keyCtx, type, engine, key))                                                                                  \
  X(int, EVP_DigestSignUpdate, (EVP_MD_CTX* ctx, const void* data, size_t length), (ctx, data, length))                \
  X(int, EVP_DigestVerifyFinal, (EVP_MD_CTX* ctx, const unsigned char* signature, size_t length),                      \
    (ctx, signature, length))                                                                                          \
  X(int, EVP_DigestVerifyInit,                                                                                         \
    (EVP_MD_CTX* ctx, EVP_PKEY_CTX** keyCtx, const EVP_MD* type, ENGINE* engine, EVP_PKEY* key),                       \
    (ctx, keyCtx, type, engine, key))                                                                                  \
  X(int, EVP_DigestVerifyUpdate, (EVP_MD_CTX* ctx, const void* data, size_t length), (ctx, data, length))              \
  X(void, EVP_MD_CTX_free, (EVP_MD_CTX* ctx), (ctx))                                                                   \
  X(EVP_MD_CTX*, EVP_MD_CTX_new, (void), ())                                                                           \
  X(int, EVP_PKEY_eq, (const EVP_PKEY* a, const EVP_PKEY* b), (a, b))                                                  \
  X(void, EVP_PKEY_free, (EVP_PKEY* key), (key))                                                                       \
  X(const EVP_MD*, EVP_sha256, (void), ())                                                                             \
  X(EVP_PKEY*, PEM_read_bio_PrivateKey, (BIO* bio, EVP_PKEY** key, pem_password_cb* callback, void* data),             \
    (bio, key, callback, data))                                                                                        \
  X(X509*, PEM_read_bio_X509, (BIO* bio, X509** certificate, pem_password_cb* callback, void* data),                   \
    (bio, certificate, callback, data))                                                                                \
  X(int, PEM_write_bio_PrivateKey,                                                                                     \
    (BIO* bio, const EVP_PKEY* key, const EVP_CIPHER* cipher, const unsigned char* passphrase, int passphraseLength,   \
     pem_password_cb* callback, void* data),                                                                           \
    (bio, key, cipher, passphrase, passphraseLength, callback, data))                                                  \
  X(int, PEM_write_bio_X509_REQ, (BIO* bio, const X509_REQ* request), (bio, request))                                  \
  X(int, RAND_bytes, (unsigned char* buffer, int length), (buffer, length))                                            \
  X(int, SHA256_Final, (unsigned char* digest, SHA256_CTX* ctx), (digest, ctx))                                          \
  X(int, SHA256_Init, (SHA256_CTX* ctx), (ctx))                                                                        \
  X(int, SHA256_Update, (SHA256_CTX* ctx, const void* data, size_t length), (ctx, data, length))                       \
  X(int, X509_NAME_add_entry_by_txt,                                                                                   \
    (X509_NAME* name, const char* field, int type, const unsigned char* bytes, int length, int location, int set),     \
    (name, field, type, bytes, length, location, set))                                                                 \
  X(void, X509_REQ_free, (X509_REQ* request), (request))                                                               \
  X(X509_NAME*, X509_REQ_get_subject_name, (const X509_REQ* request), (request))                                       \
  X(X509_REQ*, X509_REQ_new, (void), ())                                                                               \
  X(int, X509_REQ_set_pubkey, (X509_REQ* request, EVP_PKEY* key), (request, key))                                      \
  X(int, X509_REQ_set_version, (X509_REQ* request, long version), (request, version))                                  \
  X(int, X509_REQ_sign, (X509_REQ* request, EVP_PKEY* key, const EVP_MD* digest), (request, key, digest))              \
  X(void, X509_free, (X509* certificate), (certificate))                                                               \
  X(EVP_PKEY*, X509_get0_pubkey, (const X509* certificate), (certificate))                                             \
  X(EVP_PKEY*, X509_get_pubkey, (X509* certificate), (certificate))                                                    \
  X(X509*, d2i_X509, (X509** certificate, const unsigned char** in, long length), (certificate, in, length))
// clang-format on

// EVP_PKEY_Q_keygen is variadic and forwarded by hand below.
enum Entry : size_t { KEST_LIBCRYPTO_ENTRY_POINTS(KEST_LAZY_INDEX) k_EVP_PKEY_Q_keygen, kEntryCount };
constexpr const char* kSymbols[] = {KEST_LIBCRYPTO_ENTRY_POINTS(KEST_LAZY_SYMBOL) "EVP_PKEY_Q_keygen"};
void* addresses[kEntryCount];

void refuse(const std::string& reason) { throw Security::SecurityException(reason); }

// Constant-initialised: usable from any static constructor or destructor.
LazyLibrary library("libcrypto", "libcrypto.so.3", kSymbols, addresses, kEntryCount, &refuse);

}  // namespace

KEST_LIBCRYPTO_ENTRY_POINTS(KEST_LAZY_FORWARD)

// KestCommon makes EC keys only (EVP_EC_gen), whose one further argument is the curve name; any
// other type is refused (null, as for a failed generation).
extern "C" KEST_HIDDEN EVP_PKEY* EVP_PKEY_Q_keygen(OSSL_LIB_CTX* context, const char* properties, const char* type,
                                                   ...) {
  if (type == nullptr || std::strcmp(type, "EC") != 0) return nullptr;
  va_list rest;
  va_start(rest, type);
  char* const curve = va_arg(rest, char*);
  va_end(rest);
  return reinterpret_cast<decltype(&::EVP_PKEY_Q_keygen)>(library.entries()[k_EVP_PKEY_Q_keygen])(context, properties,
                                                                                                  type, curve);
}
