// fuzz_dhcp_store.cpp -- the DHCP service's reading of its store (zr-dhcp.dat).
//
// Input: a whole store file.  Whatever it holds, the reader keeps at most kMaxKeys keys,
// describes at most kDamagedShown damaged lines, every subnet it keeps lies in the handheld
// range, and what it writes back reads as the same store (the same text again).  The
// choice of a subnet for a new key is one that is free or, with everything busy, none.
#include <set>
#include <string>
#include <vector>

#include "dhcp-store.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  zrdhcp::Store store;
  std::vector<std::string> skipped;
  size_t damaged = 0, dropped = 0;
  store.parse(text, &skipped, &damaged, &dropped);
  FUZZ_CHECK(store.size() <= zrdhcp::kMaxKeys);
  FUZZ_CHECK(skipped.size() <= zrdhcp::kDamagedShown);
  FUZZ_CHECK(skipped.size() == (damaged < zrdhcp::kDamagedShown ? damaged : zrdhcp::kDamagedShown));

  const std::string written = store.text();
  zrdhcp::Store again;
  std::vector<std::string> skipped_again;
  size_t damaged_again = 0, dropped_again = 0;
  again.parse(written, &skipped_again, &damaged_again, &dropped_again);
  FUZZ_CHECK(damaged_again == 0 && dropped_again == 0);
  FUZZ_CHECK(again.size() == store.size());
  FUZZ_CHECK(again.text() == written);

  const std::set<int> busy{0, 1, 2};
  const int chosen = store.choose("mac:fuzz", busy);
  FUZZ_CHECK(chosen >= 3 && chosen < zrdhcp::kSubnetCount);
  return 0;
}
