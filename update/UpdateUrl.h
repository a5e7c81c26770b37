#pragma once

#include <QUrl>

namespace mixelot {

// Whether the update component may fetch `url`: HTTPS with a host name. With
// `allowLoopbackHttp`, plain HTTP to this machine's loopback address is accepted too (a test
// build's local feed server; release builds never set it).
bool isSecureUpdateUrl(const QUrl& url, bool allowLoopbackHttp);

// The same, with this build's own allowance.
bool isSecureUpdateUrl(const QUrl& url);

}  // namespace mixelot
