// The emulated surface: what the plug-in's messages leave on it and how they
// read in the log, and the messages its controls send.
#include <vector>

#include "surface.h"
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Lcd(uint8_t cell, const Bytes& cells) {
  // Byte by byte: GCC 12 misreads a range insert here as out of bounds.
  Bytes bytes = {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00, cell};
  for (uint8_t byte : cells) bytes.push_back(byte);
  bytes.push_back(0xF7);
  return bytes;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Apply(desk::SurfaceModel& model, const Bytes& bytes, bool* malformed = nullptr) {
  bool bad = false;
  std::string text = model.Apply(bytes.data(), bytes.size(), &bad);
  if (malformed) *malformed = bad;
  return text;
}

std::string Cells(const desk::SurfaceModel& model, std::size_t first, std::size_t count) {
  return std::string(model.Cells().begin() + first, model.Cells().begin() + first + count);
}

TEST(DeskSurface, DisplayWritesLandInTheirCells) {
  desk::SurfaceModel model;
  EXPECT_EQ(Apply(model, Lcd(20, Text("5 (12)    "))), "LCD @20 \"5 (12)    \"");
  EXPECT_EQ(Cells(model, 20, 10), "5 (12)    ");
  Apply(model, Lcd(29, Text("00:01:02.00")));
  EXPECT_EQ(Cells(model, 29, 11), "00:01:02.00");
  EXPECT_EQ(Cells(model, 20, 9), "5 (12)   ");  // the time took cell 29
}

TEST(DeskSurface, MeterWritesReadAsTwoBars) {
  desk::SurfaceModel model;
  // Levels 0.5 and 0.25.
  const Bytes meter = Lcd(20, {0x07, 0x07, 0x04, 0x01, 0x00, 0x20, 0x20, 0x20});
  EXPECT_EQ(Apply(model, meter), "LCD @20 levels \"||||.   \" \"||.     \"");
  desk::MeterCell cell;
  ASSERT_TRUE(desk::DecodeGlyph(0x02, &cell));
  EXPECT_EQ(cell.first, 0);
  EXPECT_EQ(cell.second, 1);
  ASSERT_TRUE(desk::DecodeGlyph(0x06, &cell));
  EXPECT_EQ(cell.first, 1);
  EXPECT_EQ(cell.second, 2);
  EXPECT_FALSE(desk::DecodeGlyph('A', &cell));
}

TEST(DeskSurface, TextOutsidePrintableAsciiIsEscaped) {
  desk::SurfaceModel model;
  EXPECT_EQ(Apply(model, Lcd(0, {'a', '"', 0x01, 0xE9})), "LCD @0 \"a\\\"\\x01\\xE9\"");
}

TEST(DeskSurface, LampsFollowTheirNotes) {
  desk::SurfaceModel model;
  EXPECT_EQ(Apply(model, {0x90, 86, 127}), "lamp LOOP on");
  EXPECT_TRUE(model.LampOn(1));
  EXPECT_EQ(Apply(model, {0x90, 86, 0}), "lamp LOOP off");
  EXPECT_FALSE(model.LampOn(1));
  EXPECT_EQ(Apply(model, {0x90, 0, 5}), "lamp FLAG-19 on (velocity 5)");
}

TEST(DeskSurface, MessagesThatAreNoWriteOrLampAreFlagged) {
  desk::SurfaceModel model;
  bool malformed = false;
  Apply(model, {0x90, 60, 127}, &malformed);
  EXPECT_TRUE(malformed);
  Apply(model, {0xF0, 0x00, 0x01, 0x41, 0x10, 0x00, 0x00, 'x', 0xF7}, &malformed);
  EXPECT_TRUE(malformed);
  // Cells 39 and 40: past the display's end. Nothing is written.
  EXPECT_NE(Apply(model, Lcd(39, Text("ab")), &malformed).find("beyond"), std::string::npos);
  EXPECT_TRUE(malformed);
  EXPECT_EQ(model.Cells()[39], ' ');
  Apply(model, {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00, 0x00, 'x'}, &malformed);
  EXPECT_TRUE(malformed);
}

TEST(DeskSurface, ControlsSendWhatTheSurfaceSends) {
  EXPECT_EQ(desk::ButtonMessage(94, true), 0x7F5E90u);
  EXPECT_EQ(desk::ButtonMessage(94, false), 0x005E90u);
  // Backward steps count down from 64: -1 is 65, -63 is 127.
  EXPECT_EQ(desk::WheelMessage(3), 0x033CB0u);
  EXPECT_EQ(desk::WheelMessage(-1), 0x413CB0u);
  EXPECT_EQ(desk::WheelMessage(-63), 0x7F3CB0u);
  EXPECT_EQ(desk::WheelMessage(0), 0x003CB0u);
}

TEST(DeskSurface, EveryButtonHasItsOwnNote) {
  const auto& buttons = desk::Buttons();
  EXPECT_EQ(buttons.size(), 20u);
  for (const desk::Button& button : buttons) {
    EXPECT_EQ(desk::ButtonForNote(button.note), &button) << button.name;
    EXPECT_EQ(desk::FindButton(button.name), &button);
  }
}

}  // namespace
