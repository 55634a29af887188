#include <algorithm>
#include <cstring>
#include <vector>

#include "midi/messages.h"
#include <gtest/gtest.h>

namespace {

using midi::CLongMsg;
using midi::CShortMsg;

TEST(ShortMessage, PacksPartsByOrWithoutMasking) {
  struct Case {
    BYTE command, channel, data1, data2;
    unsigned char wire[4];
  };
  const Case cases[] = {
      {0x90, 0, 86, 0, {0x90, 0x56, 0x00, 0x00}},
      {0xB0, 0, 60, 65, {0xB0, 0x3C, 0x41, 0x00}},
      // Command and channel overlap; data 1 keeps its eighth bit.
      {0x95, 0x03, 200, 1, {0x97, 0xC8, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    CShortMsg message(c.command, c.channel, c.data1, c.data2, 7);
    EXPECT_EQ(std::memcmp(message.GetBytes(), c.wire, 4), 0);
    EXPECT_EQ(message.GetLength(), 3u);
    EXPECT_EQ(message.GetTimeStamp(), 7u);
  }
}

TEST(ShortMessage, SplitsAPackedWordAndIgnoresTheTopByte) {
  CShortMsg message(0xAB413CB5u, 1234);
  EXPECT_EQ(message.GetCommand(), 0xB0);
  EXPECT_EQ(message.GetChannel(), 0x05);
  EXPECT_EQ(message.GetData1(), 60);
  EXPECT_EQ(message.GetData2(), 65);
  EXPECT_EQ(message.GetPacked(), 0xAB413CB5u);  // carried along untouched
  EXPECT_EQ(message.GetTimeStamp(), 1234u);
}

TEST(LongMessage, OwnsACopyOfItsBytes) {
  char source[] = {1, 2, 3, 4};
  CLongMsg message(source, sizeof source);
  source[0] = 9;
  ASSERT_EQ(message.GetLength(), 4u);
  EXPECT_EQ(message.GetBytes()[0], 1);
  EXPECT_NE(message.GetBytes(), source);

  const char other[] = {7, 8};
  message.SetBytes(other, sizeof other);
  ASSERT_EQ(message.GetLength(), 2u);
  EXPECT_EQ(message.GetBytes()[0], 7);
  EXPECT_EQ(message.GetBytes()[1], 8);
}

TEST(LongMessage, KeepsItsBytesAcrossEverySizeAndFromItself) {
  // Longer than what the message holds inside, then short, then long again,
  // each time from the message's own bytes.
  std::vector<char> big(CLongMsg::kInlineBytes + 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i);
  CLongMsg message(big.data(), static_cast<DWORD>(big.size()));
  ASSERT_EQ(message.GetLength(), big.size());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), message.GetBytes()));

  message.SetBytes(message.GetBytes() + 1, 4);
  ASSERT_EQ(message.GetLength(), 4u);
  EXPECT_EQ(std::vector<char>(message.GetBytes(), message.GetBytes() + 4),
            std::vector<char>(big.begin() + 1, big.begin() + 5));

  message.SetBytes(message.GetBytes(), 4);
  EXPECT_EQ(message.GetBytes()[3], 4);
  message.SetBytes(big.data(), static_cast<DWORD>(big.size()));
  message.SetBytes(message.GetBytes() + 2, static_cast<DWORD>(big.size() - 2));
  EXPECT_TRUE(std::equal(big.begin() + 2, big.end(), message.GetBytes()));
}

TEST(LongMessage, MayBeEmpty) {
  CLongMsg message(nullptr, 0);
  EXPECT_EQ(message.GetLength(), 0u);
  EXPECT_NE(message.GetBytes(), nullptr);
}

}  // namespace
