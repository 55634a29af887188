// The bindable inputs: which slot a button runs on which layer, and how
// scripts name them.
#include <set>

#include "bindings_dialog.h"
#include <gtest/gtest.h>

namespace {

TEST(DeskSlots, ButtonsRunTheirSlotOnTheirLayerOnly) {
  EXPECT_EQ(desk::kSlotInputs[desk::SlotForButton("IN", false)].controlId, 1001);
  EXPECT_EQ(desk::kSlotInputs[desk::SlotForButton("IN", true)].controlId, 1000);
  EXPECT_EQ(desk::kSlotInputs[desk::SlotForButton("PLAY", true)].controlId, 1013);
  EXPECT_EQ(desk::SlotForButton("PLAY", false), -1);
  EXPECT_EQ(desk::SlotForButton("UNDO", true), -1);
}

TEST(DeskSlots, TheFootswitchHasOneSlotForBothLayers) {
  EXPECT_EQ(desk::kSlotInputs[desk::SlotForButton("FOOTSWITCH", false)].controlId, 1015);
  EXPECT_EQ(desk::kSlotInputs[desk::SlotForButton("FOOTSWITCH", true)].controlId, 1015);
}

TEST(DeskSlots, EverySlotIsNamedOnceAndFoundByItsToken) {
  std::set<int32_t> ids;
  for (std::size_t i = 0; i < desk::kSlotInputs.size(); ++i) {
    ids.insert(desk::kSlotInputs[i].controlId);
    EXPECT_EQ(desk::FindSlot(desk::kSlotInputs[i].token), static_cast<int>(i));
  }
  EXPECT_EQ(ids.size(), 16u);
  EXPECT_EQ(*ids.begin(), 1000);
  EXPECT_EQ(*ids.rbegin(), 1015);
  EXPECT_EQ(desk::FindSlot("shift+track-l"), desk::FindSlot("SHIFT+TRACK-L"));
  EXPECT_EQ(desk::FindSlot("SHIFT"), -1);
}

}  // namespace
