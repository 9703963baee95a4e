// UTF-16 text as Windows compares it: names of volumes, paths, classes and
// window properties are matched without regard to case.
#pragma once

#include "simwin/control.h"

namespace simwin {

// True when `text` is not a string but an atom (MAKEINTATOM).
bool IsIntegerAtom(LPCWSTR text);
// The string up to its NUL; empty for null.
WString FromWide(LPCWSTR text);
// The name that an atom or string argument stands for ("#49153" for atoms).
WString NameOrAtom(LPCWSTR text);

char16_t UpperCase(char16_t c);
WString UpperCased(const WString& text);
bool EqualNoCase(const WString& a, const WString& b);
bool StartsWithNoCase(const WString& text, const WString& prefix);

// "\\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\" with hex digits.
bool IsVolumeGuidPath(const WString& text);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as StringFromGUID2 writes it.
WString GuidText(const GUID& guid);

// Copies `text` and its NUL into `buffer` of `capacity` characters; false,
// writing nothing, when they do not fit.
bool CopyWithNul(const WString& text, LPWSTR buffer, DWORD capacity);

}  // namespace simwin
