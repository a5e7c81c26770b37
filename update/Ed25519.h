#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace mixelot {

// Whether `signature` (base64 of 64 bytes) is an Ed25519 signature of `message` by the key
// `publicKey` (base64 of the raw 32 bytes). Malformed base64 or sizes are simply not valid.
bool verifyEd25519(const QByteArray& publicKey, const QByteArray& signature,
                   QByteArrayView message);

}  // namespace mixelot
