// Field tables: reading key=value lines into records and printing records back.
#include "zr-net.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string print(const zr_field_row *table, const void *record) {
  char out[2048];
  int n = zr_struct(out, table, record);
  return std::string(out, static_cast<size_t>(n));
}

TEST(FieldLine, KeysAreCaseInsensitiveAndSpacesAllowed) {
  zr_info info{};
  EXPECT_EQ(zr_field("ADDR=2886729730\n", zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(info.addr, 2886729730u);
  EXPECT_EQ(zr_field("addr = 5\n", zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(info.addr, 5u);
}

TEST(FieldLine, ArraysStopAtMissingOrExtraValues) {
  zr_info info{};
  EXPECT_EQ(zr_field("disk=100,200\n", zr_fld_ret_inf(), &info), -4);
  EXPECT_EQ(info.disk[0], 100u);
  EXPECT_EQ(info.disk[1], 200u);
  EXPECT_EQ(info.disk[2], 0u);
  EXPECT_EQ(zr_field("ver=1,2,3,4,5\n", zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(info.ver[0], 1);
  EXPECT_EQ(info.ver[3], 4);
  EXPECT_EQ(zr_field("sgeo=240,320,16,0", zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(info.sgeo[1], 320);
  // Only the low bits of a value are kept.
  EXPECT_EQ(zr_field("hwv=256,257,-1,3\n", zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(info.hwv[0], 0);
  EXPECT_EQ(info.hwv[1], 1);
  EXPECT_EQ(info.hwv[2], 255);
}

TEST(FieldLine, TextKeepsLeadingSpacesAndStopsAtItsSize) {
  zr_info info{};
  EXPECT_EQ(zr_field("name= calc\n", zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(std::string(info.name), " calc");
  EXPECT_EQ(zr_field("eid=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123\n", zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(std::string(info.eid, sizeof info.eid), "ABCDEFGHIJKLMNOPQRSTUVWX");
  // The text does not run into the next member.
  EXPECT_EQ(info.ver[0], 0);
}

TEST(FieldLine, MalformedLinesChangeNothing) {
  zr_info info{};
  zr_info before = info;
  EXPECT_EQ(zr_field("zzz=1\n", zr_fld_ret_inf(), &info), -3);
  EXPECT_EQ(zr_field("addr\n", zr_fld_ret_inf(), &info), -2);
  EXPECT_EQ(zr_field("\n", zr_fld_ret_inf(), &info), -2);
  EXPECT_EQ(zr_field("", zr_fld_ret_inf(), &info), -1);
  EXPECT_EQ(zr_field("addrx=1\n", zr_fld_ret_inf(), &info), -3);
  EXPECT_EQ(zr_field("addr=\n", zr_fld_ret_inf(), &info), -4);
  EXPECT_EQ(zr_field("addr=x\n", zr_fld_ret_inf(), &info), -4);
  EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

TEST(FieldTables, ShapesOfTheFourTables) {
  auto count_rows = [](const zr_field_row *t) {
    int n = 0;
    while (t[n].name[0]) ++n;
    return n;
  };
  EXPECT_EQ(count_rows(zr_fld_ret_inf()), 17);
  EXPECT_EQ(count_rows(zr_fld_ret_sta()), 4);
  EXPECT_EQ(count_rows(zr_fld_ret_tun()), 2);
  EXPECT_EQ(count_rows(zr_fld_ret_attr()), 4);
  EXPECT_STREQ(zr_fld_ret_inf()[0].name, "addr");
  EXPECT_STREQ(zr_fld_ret_inf()[16].name, "ver");
}

struct Member {
  const char *name;
  size_t offset, size;
};
#define MEMBER(rec, m) Member{#m, offsetof(rec, m), sizeof(rec::m)}

// A line with more values (or a longer text) than its member holds fills that member, every
// byte of it, and no byte of the record outside it.
void expect_each_row_fills_its_member(const zr_field_row *table, size_t size, const std::vector<Member> &members) {
  std::string many;
  for (int i = 0; i < 40; ++i) many += "1,";
  for (const Member &m : members) {
    const zr_field_row *row = table;
    while (row->name[0] != '\0' && std::strcmp(row->name, m.name) != 0) ++row;
    ASSERT_STREQ(row->name, m.name);
    std::vector<unsigned char> record(size, 0xA5);
    std::string line = std::string(m.name) + "=" + (row->type == 12 ? std::string(40, 'x') : many) + "\n";
    zr_field(line.c_str(), table, record.data());
    for (size_t i = 0; i < size; ++i) {
      if (i >= m.offset && i < m.offset + m.size)
        EXPECT_NE(record[i], 0xA5) << m.name << " leaves its byte " << i - m.offset;
      else
        EXPECT_EQ(record[i], 0xA5) << m.name << " spills into byte " << i;
    }
  }
}

TEST(FieldTables, EachRowFillsItsMemberAndNoOther) {
  expect_each_row_fills_its_member(
      zr_fld_ret_inf(), sizeof(zr_info),
      {MEMBER(zr_info, addr), MEMBER(zr_info, mask), MEMBER(zr_info, scrn), MEMBER(zr_info, disk),
       MEMBER(zr_info, ram), MEMBER(zr_info, sgeo), MEMBER(zr_info, bat), MEMBER(zr_info, clk),
       MEMBER(zr_info, run), MEMBER(zr_info, ready), MEMBER(zr_info, ser), MEMBER(zr_info, eid),
       MEMBER(zr_info, ver), MEMBER(zr_info, b1v), MEMBER(zr_info, b2v), MEMBER(zr_info, hwv),
       MEMBER(zr_info, name)});
  expect_each_row_fills_its_member(zr_fld_ret_sta(), sizeof(zr_stat),
                                   {MEMBER(zr_stat, xpay0), MEMBER(zr_stat, xpay1), MEMBER(zr_stat, rpay0),
                                    MEMBER(zr_stat, rpay1)});
  expect_each_row_fills_its_member(zr_fld_ret_tun(), sizeof(zr_tune), {MEMBER(zr_tune, rtime), MEMBER(zr_tune, xtime)});
  expect_each_row_fills_its_member(zr_fld_ret_attr(), sizeof(zr_attr),
                                   {MEMBER(zr_attr, size), MEMBER(zr_attr, time), MEMBER(zr_attr, type),
                                    MEMBER(zr_attr, bits)});
}

TEST(PrintRecord, TuneAndVersionBytes) {
  zr_tune tune{1000, 2000};
  EXPECT_EQ(print(zr_fld_ret_tun(), &tune), "rtime=1000\nxtime=2000\n");
  zr_info info{};
  info.ver[1] = 3;
  std::string text = print(zr_fld_ret_inf(), &info);
  EXPECT_NE(text.find("\nver=00,03,00,00\n"), std::string::npos) << text;
  zr_attr attr{4096, 7, 1, 0644};
  EXPECT_EQ(print(zr_fld_ret_attr(), &attr), "size=4096\ntime=7\ntype=1\nbits=420\n");
}

TEST(PrintRecord, EveryTableReadsBackToTheSameRecord) {
  zr_info info{};
  info.addr = 0xAC100002u;
  info.mask = 0xFFFFFFFCu;
  info.scrn = 153600;
  info.disk[0] = 4000000000u;
  info.disk[1] = 12345;
  info.ram[1] = 99;
  info.sgeo[0] = 240;
  info.sgeo[1] = 320;
  info.sgeo[2] = 16;
  info.bat[0] = 87;
  info.bat[7] = 65535;
  info.ready[0] = 1;
  for (int i = 0; i < 8; ++i) info.ser[i] = static_cast<uint8_t>(i * 31 + 8);
  std::memcpy(info.eid, "EID-0123456789ABCDEFGHIJ", 24);  // fills the member: no terminator
  std::memcpy(info.name, "HANDHELD", 8);
  info.ver[0] = 9;
  info.hwv[3] = 134;

  char out[2048];
  int n = zr_struct(out, zr_fld_ret_inf(), &info);
  out[n] = '\0';
  zr_info back{};
  for (char *line = out; *line;) {
    char *end = std::strchr(line, '\n');
    std::string one(line, static_cast<size_t>(end - line + 1));
    EXPECT_EQ(zr_field(one.c_str(), zr_fld_ret_inf(), &back), 0) << one;
    line = end + 1;
  }
  EXPECT_EQ(std::memcmp(&info, &back, sizeof info), 0);
}

}  // namespace
