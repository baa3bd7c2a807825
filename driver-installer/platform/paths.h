// Path conventions of the platform the installer runs on.
#pragma once

#include <cstddef>

namespace kqco {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
#else
inline constexpr wchar_t kPathSeparator = L'/';
inline bool IsPathSeparator(wchar_t c) { return c == L'/'; }
#endif

// Size of the installer's path buffers, terminating NUL included: a path is usable when it has at
// most kMaxPath - 1 characters.
inline constexpr std::size_t kMaxPath = 260;

}  // namespace kqco
