// wsprintfA: the Windows formatter with its 32-bit l and its 1024-byte limit.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  const int length = wvsprintfA(buffer, format, args);
  va_end(args);
  EXPECT_EQ(static_cast<int>(std::string(buffer).size()), length);
  return buffer;
}

TEST(Wsprintf, FormatsTheWindowsSubset) {
  EXPECT_EQ("Error attaching to Quillmote Midi port x\n",
            Format("Error attaching to Quillmote Midi port %s\n", "x"));
  EXPECT_EQ("msg=1f, bytes=A, ts=ffffffff",
            Format("msg=%x, bytes=%X, ts=%lx", 0x1f, 10, static_cast<LONG>(-1)));
  EXPECT_EQ("-42 42 4294967254 7", Format("%d %i %u %ld", -42, 42, -42, static_cast<LONG>(7)));
  EXPECT_EQ("-2147483648", Format("%d", INT32_MIN));
  EXPECT_EQ("[  7][7  ][007][-07][0x1f][  abc][ab]",
            Format("[%3d][%-3d][%03d][%03d][%#x][%5s][%.2s]", 7, 7, 7, -7, 0x1f, "abc", "abc"));
  EXPECT_EQ("c% (null) -1", Format("%c%% %s %hd", 'c', static_cast<const char*>(nullptr), 0xFFFF));
}

TEST(Wsprintf, OutputIsCutAt1024BytesWithTheNul) {
  const std::string long_text(2000, 'q');
  char buffer[1100];
  std::fill(std::begin(buffer), std::end(buffer), '#');
  EXPECT_EQ(1023, wsprintfA(buffer, "%s tail", long_text.c_str()));
  EXPECT_EQ(std::string(1023, 'q'), buffer);
  EXPECT_EQ('#', buffer[1024]);

  buffer[1024] = '#';
  EXPECT_EQ(1023, wsprintfA(buffer, "%-2000d|", 5));
  EXPECT_EQ('5', buffer[0]);
  EXPECT_EQ(' ', buffer[1022]);
  EXPECT_EQ('#', buffer[1024]);
}

}  // namespace
