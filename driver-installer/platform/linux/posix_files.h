// Small POSIX file helpers of the Linux platform layer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kqco::linux_platform {

enum class ReadResult { kOk, kMissing, kTooLarge, kError };

// Reads a whole regular file of at most maxBytes bytes into out.
ReadResult ReadFileBounded(const std::string& path, std::size_t maxBytes, std::string& out);

// Writes all of data to fd; false on any failure.
bool WriteAll(int fd, const std::string& data);

// Names in a folder, without "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> ListDirectory(const std::string& dir);

// The lexical absolute form of path: relative to the current folder when not absolute, with "."
// and ".." steps and doubled separators folded. A trailing separator is kept. Empty on failure.
std::string AbsolutePath(const std::string& path);

// The name under which a file is found as the Windows file system finds it, ignoring case:
// path itself when something has that name, else the first name (in sorted order) in its
// folder that equals its last part ignoring case (ASCII letters), else path unchanged.
std::string FindIgnoringCase(const std::string& path);

// getcwd of any length; empty on failure.
std::string CurrentFolder();

// Case-insensitive (ASCII) match of name against a pattern with '*' and '?'.
bool WildcardMatchNoCase(const std::wstring& name, const std::wstring& pattern);

}  // namespace kqco::linux_platform
