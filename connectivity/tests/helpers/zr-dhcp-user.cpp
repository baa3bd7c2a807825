// zr-dhcp-user -- one more user process of the DHCP service control, driven by the tests.
//
// It links the library and runs the commands it reads on standard input, one a line,
// answering each with one line on standard output:
//   names<TAB>PREFIX<TAB>PROGRAM   -> "ok"          (object-name prefix and program name)
//   init<TAB>FOLDER<TAB>ARGUMENTS  -> the result of KQ_ZR_dhcp_init
//   cleanup                        -> the result of KQ_ZR_dhcp_cleanup
//   die-holding-mutex              -> takes the named mutex and ends at once (exit 9)
//                                     while holding it, answering "holding" first
//   quit                           -> "bye", exit 0
// Anything else answers "?".  The end of the input ends it (exit 0).
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "zr-internal.h"

namespace {

std::vector<std::string> split_tabs(const std::string &line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

void answer(const std::string &text) {
  std::cout << text << std::endl;  // flushed: the test waits for it
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::string> f = split_tabs(line);
    if (f[0] == "names" && f.size() == 3) {
      zri_dhcp_names(f[1].c_str(), f[2].c_str());
      answer("ok");
    } else if (f[0] == "init" && f.size() == 3) {
      answer(std::to_string(KQ_ZR_dhcp_init(f[1].c_str(), f[2].c_str())));
    } else if (f[0] == "cleanup") {
      answer(std::to_string(KQ_ZR_dhcp_cleanup()));
    } else if (f[0] == "die-holding-mutex") {
      zr_os_mutex *m = zr_os_mutex_open(zri_dhcp_mutex_name());
      if (m == nullptr || zr_os_mutex_lock(m) < 0) {
        answer("cannot");
        continue;
      }
      answer("holding");
      _exit(9);
    } else if (f[0] == "quit") {
      answer("bye");
      return 0;
    } else {
      answer("?");
    }
  }
  return 0;
}
