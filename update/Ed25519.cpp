#include "update/Ed25519.h"

#include <openssl/evp.h>

#include <memory>
#include <optional>

namespace mixelot {
namespace {

constexpr qsizetype kPublicKeySize = 32;
constexpr qsizetype kSignatureSize = 64;

std::optional<QByteArray> decode(const QByteArray& base64, qsizetype size) {
  auto result =
      QByteArray::fromBase64Encoding(base64.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
  if (!result || result.decoded.size() != size) return std::nullopt;
  return result.decoded;
}

}  // namespace

bool verifyEd25519(const QByteArray& publicKey, const QByteArray& signature,
                   QByteArrayView message) {
  auto key = decode(publicKey, kPublicKeySize);
  auto sig = decode(signature, kSignatureSize);
  if (!key || !sig) return false;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                  reinterpret_cast<const unsigned char*>(key->constData()),
                                  static_cast<size_t>(key->size())),
      EVP_PKEY_free);
  if (!pkey) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
    return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(sig->constData()),
                          static_cast<size_t>(sig->size()),
                          reinterpret_cast<const unsigned char*>(message.constData()),
                          static_cast<size_t>(message.size())) == 1;
}

}  // namespace mixelot
