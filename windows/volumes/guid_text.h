// Where a volume GUID name holds its GUID text, as VOLUME_NAME_GUID_MATCHER
// finds it: the pattern \\?\Volume{([\w-]+)}\ (shown unescaped) matched at
// the start of the name, compiled without flags.
#pragma once

#include <cstddef>

namespace volumes {

// Which ASCII units a GUID's text may hold.
struct GuidUnits {
  bool is[128] = {};
  constexpr GuidUnits() {
    for (int unit = 0; unit < 128; ++unit) {
      is[unit] = (unit >= '0' && unit <= '9') || (unit >= 'A' && unit <= 'Z') ||
                 (unit >= 'a' && unit <= 'z') || unit == '_' || unit == '-';
    }
  }
};

// The GUID text is text[*begin, *end) when the name matches; false when it
// does not. Without flags \w is an ASCII letter, digit or underscore, for
// byte and unicode subjects alike. The run of GUID characters is maximal:
// backtracking into it would leave one of them where the closing brace must
// be, so the first match is the only one.
template <typename Unit>
bool FindGuidText(const Unit* text, size_t size, size_t* begin, size_t* end) {
  static const char kPrefix[] = "\\\\?\\Volume{";
  constexpr size_t kPrefixLength = sizeof kPrefix - 1;
  if (size < kPrefixLength) return false;
  for (size_t i = 0; i < kPrefixLength; ++i) {
    if (text[i] != static_cast<Unit>(kPrefix[i])) return false;
  }
  static constexpr GuidUnits kGuidUnits;
  size_t stop = kPrefixLength;
  while (stop < size && static_cast<unsigned long>(text[stop]) < 128 &&
         kGuidUnits.is[text[stop]]) {
    ++stop;
  }
  if (stop == kPrefixLength || size - stop < 2 || text[stop] != '}' ||
      text[stop + 1] != '\\') {
    return false;
  }
  *begin = kPrefixLength;
  *end = stop;
  return true;
}

}  // namespace volumes
