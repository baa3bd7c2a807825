// Error texts, the last system error value and the tagged allocator.
#include "zr-internal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(ErrorText, KnownNumbersHaveTheirTexts) {
  EXPECT_STREQ(zr_err(13), "permission denied");
  EXPECT_STREQ(zr_err(4), "interrupt");
  EXPECT_STREQ(zr_err(38), "name too long");
  EXPECT_STREQ(zr_err(0), "unknown(0)");
  EXPECT_STREQ(zr_err(27), "file too large");
}

TEST(ErrorText, OtherNumbersAreFormatted) {
  EXPECT_STREQ(zr_err(7), "err 7");
  EXPECT_STREQ(zr_err(-220), "err -220");
  EXPECT_STREQ(zr_err(2147483647), "err 2147483647");
  EXPECT_STREQ(zr_err(-2147483647 - 1), "err -2147483648");
}

std::vector<size_t> requested;
bool refuse = false;

// Records the sizes asked for and hands out memory full of garbage.
void *recording_allocator(size_t size) {
  requested.push_back(size);
  if (refuse) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = std::malloc(size);
  if (p) std::memset(p, 0xAB, size);
  return p;
}

struct Allocator : ::testing::Test {
  void SetUp() override {
    requested.clear();
    refuse = false;
    zri_set_allocator(recording_allocator);
  }
  void TearDown() override { zri_set_allocator(nullptr); }
};

TEST_F(Allocator, BlocksAreRoundedToEightWithAPointerHeader) {
  for (int size : {0, 4, 5, 8, 9, 1546}) {
    void *p = zr_malloc("string", size);
    ASSERT_NE(p, nullptr);
    zr_free(p);
  }
  EXPECT_EQ(requested, (std::vector<size_t>{8, 16, 16, 16, 24, 1560}));
}

TEST_F(Allocator, AreaIsZeroed) {
  zr_os_set_errno(EDOM);
  auto *p = static_cast<unsigned char *>(zr_malloc("string", 56));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(KQ_ZR_errno(), 0) << "the error value is cleared before an allocation";
  for (int i = 0; i < 56; ++i) ASSERT_EQ(p[i], 0) << i;
  zr_free(p);
}

TEST_F(Allocator, FailureIsReportedOnceOnStandardError) {
  refuse = true;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(zr_malloc("socket", 100), nullptr);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "? can't malloc(112) for socket (12: no more core)\r\n");
  EXPECT_EQ(KQ_ZR_errno(), ENOMEM);
}

TEST_F(Allocator, NegativeSizeIsRefusedNotWrapped) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(zr_malloc("string", -8), nullptr);
  EXPECT_EQ(zr_malloc("string", -2147483647 - 1), nullptr);
  std::string err = ::testing::internal::GetCapturedStderr();
  // Reported like an exhausted heap, with the header's size as the total.
  EXPECT_EQ(err,
            "? can't malloc(8) for string (12: no more core)\r\n"
            "? can't malloc(8) for string (12: no more core)\r\n");
  EXPECT_EQ(KQ_ZR_errno(), ENOMEM);
  EXPECT_TRUE(requested.empty());
}

TEST(FreeTest, NullIsHarmless) { EXPECT_EQ(zr_free(nullptr), 0); }

}  // namespace
