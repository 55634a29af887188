// The simulated MIDI input as the input port relies on it.
#include <windows.h>

#include <mmsystem.h>

#include <string>
#include <vector>

#include "recorder.h"
#include "simctl.h"
#include <gtest/gtest.h>

namespace {

using platform_test::Flags;
using platform_test::Recorder;

class MidiInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    device_ = sim_add_input("Quillmote Port");
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&handle_, device_, (DWORD_PTR)&Recorder::InProc,
                                           recorder_.Instance(), CALLBACK_FUNCTION));
  }
  void TearDown() override { sim_reset(); }

  struct Buffer {
    Buffer() : bytes(8), header{} {
      header.lpData = bytes.data();
      header.dwBufferLength = static_cast<DWORD>(bytes.size());
    }
    std::vector<char> bytes;
    MIDIHDR header;
  };

  void Add(Buffer& buffer) {
    ASSERT_EQ(MMSYSERR_NOERROR, midiInPrepareHeader(handle_, &buffer.header, sizeof(MIDIHDR)));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInAddBuffer(handle_, &buffer.header, sizeof(MIDIHDR)));
  }

  unsigned device_ = 0;
  HMIDIIN handle_ = nullptr;
  Recorder recorder_;
};

TEST_F(MidiInTest, DataArrivesOnlyWhileStartedAndOnTheSystemThread) {
  EXPECT_EQ(0, sim_send_input(device_, 0x7F5E90, 1, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(handle_));
  EXPECT_EQ(1, sim_send_input(device_, 0x7F5E90, 42, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStop(handle_));
  EXPECT_EQ(0, sim_send_input(device_, 0x005E90, 43, 1));

  const auto notices = recorder_.Notices();
  ASSERT_EQ(2u, notices.size());
  EXPECT_EQ(MIM_OPEN, notices[0].message);
  EXPECT_EQ(MIM_DATA, notices[1].message);
  EXPECT_EQ(0x7F5E90u, notices[1].param1);
  EXPECT_EQ(42u, notices[1].param2);
  EXPECT_NE(std::this_thread::get_id(), notices[1].thread);
  EXPECT_TRUE(notices[1].on_system_thread);
  EXPECT_FALSE(sim_on_system_thread());
}

TEST_F(MidiInTest, ResetReturnsEveryBufferDoneAndEmpty) {
  Buffer first, second;
  Add(first);
  Add(second);
  EXPECT_EQ(MIDIERR_STILLPLAYING, midiInClose(handle_));
  EXPECT_EQ(MIDIERR_STILLPLAYING, midiInUnprepareHeader(handle_, &first.header, sizeof(MIDIHDR)));
  midiInStart(handle_);

  ASSERT_EQ(MMSYSERR_NOERROR, midiInReset(handle_));
  EXPECT_EQ(MHDR_DONE | MHDR_PREPARED, Flags(first.header));
  EXPECT_EQ(MHDR_DONE | MHDR_PREPARED, Flags(second.header));
  EXPECT_EQ(0, sim_send_input(device_, 0x90, 0, 1)) << "reset stops input";
  ASSERT_TRUE(recorder_.WaitFor(MIM_LONGDATA, 2));
  const auto notices = recorder_.Notices();
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&first.header), notices[1].param1);
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&second.header), notices[2].param1);
  EXPECT_EQ(0u, first.header.dwBytesRecorded);

  EXPECT_EQ(MMSYSERR_NOERROR, midiInUnprepareHeader(handle_, &first.header, sizeof(MIDIHDR)));
  EXPECT_EQ(MMSYSERR_NOERROR, midiInClose(handle_));
  EXPECT_EQ(MIM_CLOSE, recorder_.Notices().back().message);
}

TEST_F(MidiInTest, SystemExclusiveFillsAddedBuffersInOrder) {
  Buffer first, second;
  Add(first);
  Add(second);
  midiInStart(handle_);
  const unsigned char sysex[] = {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xF7};
  ASSERT_EQ(1, sim_send_input_sysex(device_, sysex, sizeof sysex, 5, 1));
  EXPECT_EQ(8u, first.header.dwBytesRecorded);
  EXPECT_EQ(3u, second.header.dwBytesRecorded);
  EXPECT_EQ(std::string("\x08\x09\xF7"), std::string(second.bytes.data(), 3));
  ASSERT_EQ(2u, recorder_.Count(MIM_LONGDATA));
  EXPECT_TRUE(recorder_.Notices()[1].header_flags & MHDR_DONE);
  EXPECT_EQ(0, sim_send_input_sysex(device_, sysex, sizeof sysex, 6, 1)) << "no buffer left";
}

TEST_F(MidiInTest, CallbackMaySendOnAnOutputDevice) {
  const unsigned output = sim_add_output("Quillmote Port");
  HMIDIOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, output, 0, 0, CALLBACK_NULL));
  recorder_.SetHook([out](const platform_test::Notice& notice) {
    if (notice.message == MIM_DATA) midiOutShortMsg(out, static_cast<DWORD>(notice.param1));
  });
  midiInStart(handle_);
  ASSERT_EQ(1, sim_send_input(device_, 0x7F5690, 0, 1));
  ASSERT_EQ(1u, sim_sent_count(output));
  unsigned char bytes[3];
  sim_sent_message(output, 0, bytes, sizeof bytes);
  EXPECT_EQ(0x56, bytes[1]);
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(out));
}

TEST_F(MidiInTest, AnyNotificationCanBeDeliveredWhateverTheState) {
  EXPECT_EQ(1, sim_deliver_input(device_, MIM_ERROR, 0xF4, 9));
  const auto last = recorder_.Notices().back();
  EXPECT_EQ(MIM_ERROR, last.message);
  EXPECT_EQ(0xF4u, last.param1);
  EXPECT_EQ(9u, last.param2);
  EXPECT_EQ(MMSYSERR_NOERROR, midiInClose(handle_));
  EXPECT_EQ(0, sim_deliver_input(device_, MIM_ERROR, 0, 0));
}

}  // namespace

TEST_F(MidiInTest, LateDataArrivesAfterStopResetAndCloseReturned) {
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(handle_));
  sim_set_late_callbacks(5, 0);
  platform_test::Gate gate;
  recorder_.SetHook([&](const platform_test::Notice& notice) {
    if (notice.message == MIM_DATA) gate.Pass();
  });
  ASSERT_EQ(1, sim_send_input(device_, 0x7F5E90, 7, 0));
  ASSERT_TRUE(gate.WaitArrived());
  // None of these waits for the delivery in progress.
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStop(handle_));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInReset(handle_));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(handle_));
  EXPECT_EQ(0u, recorder_.Count(MIM_CLOSE));
  gate.Open();
  ASSERT_TRUE(recorder_.WaitFor(MIM_CLOSE, 1));
  ASSERT_EQ(1, sim_wait_callbacks_done(10000));
  EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_DATA, MIM_CLOSE}), recorder_.Messages());
}
