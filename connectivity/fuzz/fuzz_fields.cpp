// fuzz_fields.cpp -- zr_field with every field table, and zr_struct back again.
//
// Input: one byte that picks the table (info, statistics, tune, attributes), then reply
// lines.  Each line, line feed included, goes to zr_field into a record that has exactly
// the record's size on the heap.  The record then goes through zr_struct, into a buffer
// of exactly the longest text the table can print, and the printed lines are read back
// into a fresh record, which must come out equal.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zr-net.h"

namespace {

using zrfuzz::Input;

struct Table {
  const zr_field_row *rows;
  size_t record_size;
};

Table pick(uint8_t which) {
  switch (which % 4) {
    case 0: return {zr_fld_ret_inf(), sizeof(zr_info)};
    case 1: return {zr_fld_ret_sta(), sizeof(zr_stat)};
    case 2: return {zr_fld_ret_tun(), sizeof(zr_tune)};
    default: return {zr_fld_ret_attr(), sizeof(zr_attr)};
  }
}

// The longest text zr_struct can print for a table.
size_t longest_print(const zr_field_row *rows) {
  size_t total = 0;
  for (const zr_field_row *r = rows; r->name[0] != '\0'; ++r) {
    size_t n = r->count > 0 ? static_cast<size_t>(r->count) : 1;
    total += strnlen(r->name, sizeof r->name) + 1 + 1;  // "name=" ... "\n"
    switch (r->type) {
      case 10: total += n * 10 + (n - 1); break;
      case 11: total += n * 5 + (n - 1); break;
      case 13: total += n * 3 + (n - 1); break;
      case 12: total += n; break;
      default: total += n * 16; break;
    }
  }
  return total;
}

// Every member lies inside the record (the tables describe the records they fill).
void check_table(const Table &t) {
  for (const zr_field_row *r = t.rows; r->name[0] != '\0'; ++r) {
    size_t n = r->count > 0 ? static_cast<size_t>(r->count) : 1;
    size_t width = r->type == 10 ? 4 : r->type == 11 ? 2 : 1;
    FUZZ_CHECK(r->offset >= 0 && static_cast<size_t>(r->offset) + n * width <= t.record_size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  Table t = pick(in.byte());
  check_table(t);

  std::unique_ptr<unsigned char[]> record(new unsigned char[t.record_size]());
  while (in.left() > 0) {
    std::string line = in.until('\n') + "\n";
    int r = zr_field(line.c_str(), t.rows, record.get());
    FUZZ_CHECK(r == 0 || r == -1 || r == -2 || r == -3 || r == -4);
  }

  size_t room = longest_print(t.rows);
  std::unique_ptr<char[]> printed(new char[room]);
  int n = zr_struct(printed.get(), t.rows, record.get());
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= room);
  FUZZ_CHECK(n == 0 || printed[n - 1] == '\n');

  std::unique_ptr<unsigned char[]> again(new unsigned char[t.record_size]());
  std::string text(printed.get(), static_cast<size_t>(n));
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    std::string line = text.substr(start, lf - start + 1);
    start = lf + 1;
    FUZZ_CHECK(zr_field(line.c_str(), t.rows, again.get()) == 0);
  }
  FUZZ_CHECK(std::memcmp(record.get(), again.get(), t.record_size) == 0);
  return 0;
}
