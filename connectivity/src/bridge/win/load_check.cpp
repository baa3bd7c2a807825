// Loads QXConJNI.dll without a JVM and looks up every native that javac's header declares:
// the DLL's imports resolve on this system (zr-net.dll beside it) and each native is there
// under its undecorated JNI name.  Usage: qxconjni-load-check HEADER
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qxconjni-load-check HEADER\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  std::stringstream text;
  text << in.rdbuf();
  const std::string header = text.str();

  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dll(self, n);
  dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"QXConJNI.dll";
  HMODULE module = LoadLibraryW(dll.c_str());
  if (module == nullptr) {
    std::fprintf(stderr, "QXConJNI.dll does not load: error %lu\n", GetLastError());
    return 1;
  }
  int found = 0, missing = 0;
  const std::string key = "JNICALL ";
  for (std::size_t at = header.find(key); at != std::string::npos; at = header.find(key, at + 1)) {
    std::size_t end = at + key.size();
    while (end < header.size() && (std::isalnum(static_cast<unsigned char>(header[end])) || header[end] == '_')) ++end;
    const std::string name = header.substr(at + key.size(), end - at - key.size());
    if (GetProcAddress(module, name.c_str()) != nullptr) {
      ++found;
    } else {
      ++missing;
      std::fprintf(stderr, "missing: %s\n", name.c_str());
    }
  }
  FreeLibrary(module);
  if (found == 0) {
    std::fprintf(stderr, "no natives listed in %s\n", argv[1]);
    return 1;
  }
  std::printf("%d natives found\n", found);
  return missing == 0 ? 0 : 1;
}
