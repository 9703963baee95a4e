#include "text.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace simwin {

bool IsIntegerAtom(LPCWSTR text) {
  return text != nullptr && reinterpret_cast<uintptr_t>(text) <= 0xFFFF;
}

WString FromWide(LPCWSTR text) {
  if (text == nullptr) return WString();
  return WString(text);
}

WString NameOrAtom(LPCWSTR text) {
  if (!IsIntegerAtom(text)) return FromWide(text);
  const std::string digits =
      "#" + std::to_string(reinterpret_cast<uintptr_t>(text));
  return WString(digits.begin(), digits.end());
}

// Windows folds case with a table covering all of Unicode; ASCII and
// Latin-1 are what names on this machine use.
char16_t UpperCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

WString UpperCased(const WString& text) {
  WString result(text);
  std::transform(result.begin(), result.end(), result.begin(), UpperCase);
  return result;
}

bool EqualNoCase(const WString& a, const WString& b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool StartsWithNoCase(const WString& text, const WString& prefix) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (UpperCase(text[i]) != UpperCase(prefix[i])) return false;
  }
  return true;
}

WString GuidText(const GUID& guid) {
  char text[39];
  std::snprintf(text, sizeof text,
                "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3,
                guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return WString(text, text + 38);
}

bool IsVolumeGuidPath(const WString& text) {
  static const WString kPrefix = u"\\\\?\\Volume{";
  static const WString kGuidShape = u"xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
  if (text.size() != kPrefix.size() + kGuidShape.size() + 2) return false;
  if (!StartsWithNoCase(text, kPrefix)) return false;
  for (size_t i = 0; i < kGuidShape.size(); ++i) {
    const char16_t c = text[kPrefix.size() + i];
    if (kGuidShape[i] == u'-') {
      if (c != u'-') return false;
    } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
                 (c >= u'A' && c <= u'F'))) {
      return false;
    }
  }
  return text.compare(text.size() - 2, 2, u"}\\") == 0;
}

bool CopyWithNul(const WString& text, LPWSTR buffer, DWORD capacity) {
  if (buffer == nullptr || text.size() + 1 > capacity) return false;
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return true;
}

}  // namespace simwin
