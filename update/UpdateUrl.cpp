#include "update/UpdateUrl.h"

#include <QHostAddress>

namespace mixelot {

bool isSecureUpdateUrl(const QUrl& url, bool allowLoopbackHttp) {
  if (!url.isValid() || url.isRelative() || url.host().isEmpty() || !url.userInfo().isEmpty())
    return false;
  if (url.scheme() == u"https") return true;
  // Only the literal loopback addresses: a name could be made to resolve anywhere.
  return allowLoopbackHttp && url.scheme() == u"http" && QHostAddress(url.host()).isLoopback();
}

bool isSecureUpdateUrl(const QUrl& url) {
#ifdef MIXELOT_UPDATE_ALLOW_LOOPBACK_HTTP
  return isSecureUpdateUrl(url, true);
#else
  return isSecureUpdateUrl(url, false);
#endif
}

}  // namespace mixelot
