#pragma once

// A throwaway Ed25519 key for the update tests: the public key as the program holds it and
// signatures as the feed carries them (both base64).

#include <openssl/evp.h>

#include <QByteArray>

namespace mixelot::testsupport {

class TestSigner {
 public:
  TestSigner() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")) {}
  ~TestSigner() { EVP_PKEY_free(key_); }
  TestSigner(const TestSigner&) = delete;
  TestSigner& operator=(const TestSigner&) = delete;

  QByteArray publicKey() const {
    QByteArray raw(32, '\0');
    size_t size = 32;
    EVP_PKEY_get_raw_public_key(key_, reinterpret_cast<unsigned char*>(raw.data()), &size);
    return raw.toBase64();
  }

  QByteArray sign(const QByteArray& message) const {
    QByteArray signature(64, '\0');
    size_t size = 64;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_);
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                   reinterpret_cast<const unsigned char*>(message.constData()),
                   static_cast<size_t>(message.size()));
    EVP_MD_CTX_free(context);
    return signature.toBase64();
  }

 private:
  EVP_PKEY* key_;
};

}  // namespace mixelot::testsupport
