#include "update/VersionComparison.h"

#include <algorithm>
#include <vector>

namespace mixelot {
namespace {

struct Part {
  bool isNumber;
  QString text;
};

std::vector<Part> split(const QString& version) {
  std::vector<Part> parts;
  qsizetype i = 0;
  while (i < version.size()) {
    QChar c = version[i];
    if (c.isDigit() || c.isLetter()) {
      bool digits = c.isDigit();
      qsizetype end = i;
      while (end < version.size() && (digits ? version[end].isDigit() : version[end].isLetter()))
        ++end;
      parts.push_back({digits, version.mid(i, end - i)});
      i = end;
    } else {
      ++i;  // separators only delimit
    }
  }
  return parts;
}

// Digit runs of any length: leading zeros dropped, then a longer run is the larger number.
int compareNumbers(QString a, QString b) {
  auto trim = [](QString& s) {
    qsizetype zeros = 0;
    while (zeros < s.size() - 1 && s[zeros] == u'0') ++zeros;
    s.remove(0, zeros);
  };
  trim(a);
  trim(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

bool isZero(const Part& part) {
  for (QChar c : part.text)
    if (c != u'0') return false;
  return true;
}

int sign(int value) {
  return (value > 0) - (value < 0);
}

}  // namespace

int compareVersions(const QString& a, const QString& b) {
  std::vector<Part> left = split(a);
  std::vector<Part> right = split(b);
  std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    const Part& l = left[i];
    const Part& r = right[i];
    if (l.isNumber && r.isNumber) {
      if (int order = compareNumbers(l.text, r.text)) return sign(order);
    } else if (!l.isNumber && !r.isNumber) {
      if (int order = l.text.compare(r.text, Qt::CaseInsensitive)) return sign(order);
    } else {
      return l.isNumber ? 1 : -1;
    }
  }
  // The longer one goes on: zeros change nothing, a further number is newer, letters mark a
  // pre-release of the common part.
  const std::vector<Part>& longer = left.size() > right.size() ? left : right;
  int longerSign = left.size() > right.size() ? 1 : -1;
  for (std::size_t i = common; i < longer.size(); ++i) {
    if (!longer[i].isNumber) return -longerSign;
    if (!isZero(longer[i])) return longerSign;
  }
  return 0;
}

}  // namespace mixelot
