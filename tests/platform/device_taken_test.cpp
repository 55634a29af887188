// A port held by another program, as the simulated system plays it.
#include <windows.h>

#include <mmsystem.h>

#include "simctl.h"
#include <gtest/gtest.h>

namespace {

class DeviceTakenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    sim_add_output("Quillmote Port");
    sim_add_input("Quillmote Port");
  }
  void TearDown() override { sim_reset(); }
};

TEST_F(DeviceTakenTest, TakenDeviceRefusesOpenAsAllocatedUntilFreed) {
  ASSERT_EQ(1, sim_set_device_taken(SIM_OUTPUT, 0, 1));
  ASSERT_EQ(1, sim_set_device_taken(SIM_INPUT, 0, 1));
  HMIDIOUT out = reinterpret_cast<HMIDIOUT>(1);
  HMIDIIN in = reinterpret_cast<HMIDIIN>(1);
  EXPECT_EQ(MMSYSERR_ALLOCATED, midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(MMSYSERR_ALLOCATED, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(nullptr, in);
  EXPECT_EQ(0u, sim_open_devices());
  // Still listed under its name: only opening it fails.
  MIDIOUTCAPSA caps{};
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutGetDevCapsA(0, &caps, sizeof caps));
  EXPECT_STREQ("Quillmote Port", caps.szPname);

  ASSERT_EQ(1, sim_set_device_taken(SIM_OUTPUT, 0, 0));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_ALLOCATED, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(out));
}

TEST_F(DeviceTakenTest, TakingLeavesAnOpenHandleAndOtherDevicesAlone) {
  const unsigned second = sim_add_output("Other Port");
  HMIDIOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL));
  ASSERT_EQ(1, sim_set_device_taken(SIM_OUTPUT, 0, 1));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutShortMsg(out, 0x7F5E90));
  EXPECT_EQ(1u, sim_sent_count(0));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(out));
  HMIDIOUT other = nullptr;
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutOpen(&other, second, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(other));
}

TEST_F(DeviceTakenTest, UnknownDeviceIsRefusedAndResetFreesEveryDevice) {
  EXPECT_EQ(0, sim_set_device_taken(SIM_OUTPUT, 5, 1));
  EXPECT_EQ(0, sim_set_device_taken(SIM_INPUT, 1, 1));
  ASSERT_EQ(1, sim_set_device_taken(SIM_INPUT, 0, 1));
  sim_reset();
  sim_add_input("Quillmote Port");
  HMIDIIN in = nullptr;
  EXPECT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, 0, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_NOERROR, midiInClose(in));
}

}  // namespace
