// Wide-text helpers shared by the installer's modules: ASCII case folding as the installer's
// parses use it, prefix and substring tests, and the byte/wide conversion used for file contents.
#pragma once

#include <string>
#include <string_view>

namespace kqco {

wchar_t AsciiLower(wchar_t c);
wchar_t AsciiUpper(wchar_t c);
void AsciiLowerInPlace(std::wstring& text);
void AsciiUpperInPlace(std::wstring& text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// True when the first prefix.size() characters of text equal prefix, ignoring case. A text that
// is shorter than the prefix never matches.
bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix);

// Everything up to the first NUL character: a wide text as a C string would see it.
std::wstring_view UpToNul(std::wstring_view text);

// UTF-8 to wide text. Bytes that are not part of a valid UTF-8 sequence become the code points
// U+DC80..U+DCFF, so that EncodeUtf8 gives back exactly the original bytes.
std::wstring DecodeUtf8(std::string_view bytes);
std::string EncodeUtf8(std::wstring_view text);

}  // namespace kqco
