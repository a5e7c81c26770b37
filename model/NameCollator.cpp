#include "model/NameCollator.h"

#include <stdexcept>

namespace mixelot {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

std::locale userLocale() {
  try {
    return std::locale("");
  } catch (const std::runtime_error&) {
    // LANG names a locale that is not installed: order by code point rather than fail.
    return std::locale::classic();
  }
}

std::wstring decodeUTF8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    int length = byte < 0x80           ? 1
                 : (byte >> 5) == 0x6  ? 2
                 : (byte >> 4) == 0xE  ? 3
                 : (byte >> 3) == 0x1E ? 4
                                       : 0;
    if (length == 0 || i + static_cast<size_t>(length) > text.size()) {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    char32_t code = length == 1 ? byte : byte & (0xFF >> (length + 1));
    bool valid = true;
    for (int k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(code));
    i += static_cast<size_t>(length);
  }
  return out;
}

}  // namespace

NameCollator::NameCollator() : locale_(userLocale()) {}

std::wstring NameCollator::sortKey(std::string_view utf8) const {
  std::wstring text = decodeUTF8(utf8);
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(locale_);
  ctype.tolower(text.data(), text.data() + text.size());
  const auto& collate = std::use_facet<std::collate<wchar_t>>(locale_);
  return collate.transform(text.data(), text.data() + text.size());
}

}  // namespace mixelot
