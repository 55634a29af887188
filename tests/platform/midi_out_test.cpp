// The simulated MIDI output as the output port relies on it.
#include <windows.h>

#include <dlfcn.h>
#include <mmsystem.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "recorder.h"
#include "simctl.h"
#include <gtest/gtest.h>

namespace {

using platform_test::Flags;
using platform_test::Recorder;
using Bytes = std::vector<unsigned char>;

// A long message the way the output port builds one.
struct LongMessage {
  explicit LongMessage(const std::string& text) : bytes(text.begin(), text.end()), header{} {
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<DWORD>(bytes.size());
  }
  std::vector<char> bytes;
  MIDIHDR header;
};

class MidiOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    device_ = sim_add_output("Quillmote Port");
  }
  void TearDown() override { sim_reset(); }

  HMIDIOUT Open() {
    HMIDIOUT handle = nullptr;
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutOpen(&handle, device_, (DWORD_PTR)&Recorder::OutProc,
                                            recorder_.Instance(), CALLBACK_FUNCTION));
    return handle;
  }

  void Send(HMIDIOUT handle, LongMessage& message) {
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(handle, &message.header, sizeof(MIDIHDR)));
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutLongMsg(handle, &message.header, sizeof(MIDIHDR)));
  }

  std::vector<Bytes> Received() {
    std::vector<Bytes> messages;
    for (size_t i = 0; i < sim_sent_count(device_); ++i) {
      Bytes bytes(sim_sent_message(device_, i, nullptr, 0));
      sim_sent_message(device_, i, bytes.data(), bytes.size());
      messages.push_back(bytes);
    }
    return messages;
  }

  static Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

  unsigned device_ = 0;
  Recorder recorder_;
};

TEST_F(MidiOutTest, DevicesAreFoundByCapsAndOpenedOnce) {
  sim_add_output("Second device with a name longer than thirty-one bytes");
  ASSERT_EQ(2u, midiOutGetNumDevs());
  MIDIOUTCAPSA caps;
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetDevCapsA(1, &caps, sizeof caps));
  EXPECT_EQ(std::string("Second device with a name longe"), caps.szPname);
  EXPECT_EQ(MMSYSERR_BADDEVICEID, midiOutGetDevCapsA(2, &caps, sizeof caps));
  // A shorter record gets as much as fits; size 0 copies nothing.
  MIDIOUTCAPSA shorter;
  std::memset(&shorter, 0x55, sizeof shorter);
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetDevCapsA(1, &shorter, 12));
  EXPECT_EQ(0, std::memcmp(&caps, &shorter, 12));
  EXPECT_EQ(0x55, reinterpret_cast<unsigned char*>(&shorter)[12]);
  std::memset(&shorter, 0x55, sizeof shorter);
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetDevCapsA(1, &shorter, 0));
  EXPECT_EQ(0x55, reinterpret_cast<unsigned char*>(&shorter)[0]);
  EXPECT_EQ(MMSYSERR_INVALPARAM, midiOutGetDevCapsA(1, nullptr, sizeof caps));

  HMIDIOUT handle = Open();
  // An open handle stands for its device.
  MIDIOUTCAPSA byHandle;
  ASSERT_EQ(MMSYSERR_NOERROR,
            midiOutGetDevCapsA(reinterpret_cast<UINT_PTR>(handle), &byHandle, sizeof byHandle));
  EXPECT_STREQ("Quillmote Port", byHandle.szPname);
  HMIDIOUT second = nullptr;
  EXPECT_EQ(MMSYSERR_ALLOCATED, midiOutOpen(&second, device_, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, midiOutOpen(&second, 2, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(1u, sim_open_devices());
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, midiOutClose(handle));
  EXPECT_EQ(0u, sim_open_devices());
}

TEST_F(MidiOutTest, ErrorTextsAreCutAndUnknownCodesLeaveTheBuffer) {
  char text[MAXERRORLENGTH];
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetErrorTextA(MMSYSERR_ALLOCATED, text, sizeof text));
  EXPECT_STREQ("The specified resource is already allocated.", text);
  char cut[8];
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetErrorTextA(MMSYSERR_BADDEVICEID, cut, sizeof cut));
  EXPECT_STREQ("The spe", cut);
  std::strcpy(text, "untouched");
  EXPECT_EQ(MMSYSERR_BADERRNUM, midiOutGetErrorTextA(12345, text, sizeof text));
  EXPECT_STREQ("untouched", text);
  EXPECT_EQ(MMSYSERR_INVALPARAM, midiOutGetErrorTextA(MMSYSERR_ALLOCATED, nullptr, 10));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInGetErrorTextA(MIDIERR_STILLPLAYING, text, sizeof text));
  EXPECT_NE(0u, std::strlen(text));
}

TEST_F(MidiOutTest, LongMessageCompletesLaterOnTheSystemThread) {
  sim_set_completion_delay(20);
  HMIDIOUT handle = Open();
  LongMessage message("\xF0\x01\x02\xF7");
  Send(handle, message);

  // The flag is what the port's worker polls from its own thread.
  const auto deadline = std::chrono::steady_clock::now() + platform_test::kDeadlock;
  while (!(Flags(message.header) & MHDR_DONE) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(Flags(message.header) & MHDR_DONE);
  EXPECT_FALSE(Flags(message.header) & MHDR_INQUEUE);
  ASSERT_TRUE(recorder_.WaitFor(MOM_DONE, 1));

  const auto notices = recorder_.Notices();
  ASSERT_EQ(MOM_OPEN, notices.front().message);
  const auto& done = notices.back();
  EXPECT_EQ(MOM_DONE, done.message);
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&message.header), done.param1);
  EXPECT_TRUE(done.header_flags & MHDR_DONE) << "done is set before MOM_DONE";
  for (const auto& notice : notices) {
    EXPECT_NE(std::this_thread::get_id(), notice.thread);
    EXPECT_TRUE(notice.on_system_thread);
  }
  EXPECT_EQ(std::vector<Bytes>{B("\xF0\x01\x02\xF7")}, Received());
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(handle, &message.header, sizeof(MIDIHDR)));
  EXPECT_EQ(0u, sim_prepared_headers());
}

TEST_F(MidiOutTest, BytesAreReadAtCompletionNotAtSend) {
  sim_hold_completions(1);
  HMIDIOUT handle = Open();
  LongMessage message("abc");
  Send(handle, message);
  EXPECT_TRUE(Flags(message.header) & MHDR_INQUEUE);
  EXPECT_FALSE(Flags(message.header) & MHDR_DONE);
  EXPECT_EQ(1u, sim_pending_headers());

  std::memcpy(message.bytes.data(), "xyz", 3);
  EXPECT_EQ(1u, sim_release_completions(device_, 10, 0));
  EXPECT_EQ(1u, recorder_.Count(MOM_DONE)) << "release returns after MOM_DONE";
  EXPECT_EQ(std::vector<Bytes>{B("xyz")}, Received());
  EXPECT_EQ(0u, sim_pending_headers());
}

TEST_F(MidiOutTest, QueuedHeaderCannotBeSentUnpreparedOrClosed) {
  sim_hold_completions(1);
  HMIDIOUT handle = Open();
  LongMessage unprepared("u");
  EXPECT_EQ(MIDIERR_UNPREPARED, midiOutLongMsg(handle, &unprepared.header, sizeof(MIDIHDR)));

  LongMessage message("m");
  Send(handle, message);
  EXPECT_EQ(MIDIERR_STILLPLAYING, midiOutLongMsg(handle, &message.header, sizeof(MIDIHDR)));
  EXPECT_EQ(MIDIERR_STILLPLAYING, midiOutUnprepareHeader(handle, &message.header, sizeof(MIDIHDR)));
  EXPECT_EQ(MIDIERR_STILLPLAYING, midiOutClose(handle));
  EXPECT_EQ(1u, sim_prepared_headers());

  sim_release_completions(device_, 1, 0);
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(handle, &message.header, sizeof(MIDIHDR)));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
}

TEST_F(MidiOutTest, ResetMarksQueuedHeadersDoneAtOnceAndSendsNothing) {
  sim_set_completion_delay(60000);  // nothing completes by itself during the test
  HMIDIOUT handle = Open();
  LongMessage first("first"), second("second");
  Send(handle, first);
  midiOutShortMsg(handle, 0x7F3C90);  // behind the long messages
  Send(handle, second);
  EXPECT_EQ(0u, sim_sent_count(device_));

  ASSERT_EQ(MMSYSERR_NOERROR, midiOutReset(handle));
  EXPECT_TRUE(Flags(first.header) & MHDR_DONE);
  EXPECT_TRUE(Flags(second.header) & MHDR_DONE);
  EXPECT_EQ(0u, sim_pending_headers());
  EXPECT_EQ(1u, sim_call_count("midiOutReset"));

  ASSERT_TRUE(recorder_.WaitFor(MOM_DONE, 2));
  const auto notices = recorder_.Notices();
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&first.header), notices[1].param1);
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&second.header), notices[2].param1);
  EXPECT_EQ(std::vector<Bytes>{Bytes({0x90, 0x3C, 0x7F})}, Received());
}

TEST_F(MidiOutTest, CloseDeliversEverythingBeforeItReturns) {
  sim_set_completion_delay(60000);
  HMIDIOUT handle = Open();
  LongMessage message("m");
  Send(handle, message);
  midiOutReset(handle);
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
  // Nothing was waited for but the close itself.
  EXPECT_EQ((std::vector<UINT>{MOM_OPEN, MOM_DONE, MOM_CLOSE}), recorder_.Messages());
}

TEST_F(MidiOutTest, MessagesAreReceivedInTheOrderTheyWereHandedOver) {
  sim_hold_completions(1);
  HMIDIOUT handle = Open();
  LongMessage a("A"), b("B"), c("C");
  midiOutShortMsg(handle, 0x00C0);  // program change: two bytes
  Send(handle, a);
  Send(handle, b);
  midiOutShortMsg(handle, 0x0040B0);
  Send(handle, c);
  EXPECT_EQ(1u, sim_sent_count(device_));

  // Newest first: C is done, but B and A are still in flight before it.
  ASSERT_EQ(1u, sim_release_completions(device_, 1, 1));
  EXPECT_TRUE(Flags(c.header) & MHDR_DONE);
  EXPECT_FALSE(Flags(a.header) & MHDR_DONE);
  EXPECT_EQ(1u, sim_sent_count(device_));

  ASSERT_EQ(2u, sim_release_completions(device_, 5, 1));
  const auto notices = recorder_.Notices();
  ASSERT_EQ(4u, notices.size());
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&c.header), notices[1].param1);
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&b.header), notices[2].param1);
  EXPECT_EQ(reinterpret_cast<DWORD_PTR>(&a.header), notices[3].param1);
  EXPECT_EQ(
      (std::vector<Bytes>{Bytes({0xC0, 0x00}), B("A"), B("B"), Bytes({0xB0, 0x40, 0x00}), B("C")}),
      Received());
}

TEST_F(MidiOutTest, ListenerSeesEveryMessageOnASystemThread) {
  struct Seen {
    std::mutex mutex;
    std::vector<Bytes> messages;
    bool all_on_system_thread = true;
  } seen;
  sim_set_output_listener(
      [](void* context, unsigned, const unsigned char* bytes, size_t length) {
        auto* s = static_cast<Seen*>(context);
        std::lock_guard<std::mutex> lock(s->mutex);
        s->messages.emplace_back(bytes, bytes + length);
        s->all_on_system_thread = s->all_on_system_thread && sim_on_system_thread();
      },
      &seen);
  HMIDIOUT handle = Open();
  LongMessage message("L");
  midiOutShortMsg(handle, 0x7F0090);
  Send(handle, message);
  ASSERT_EQ(1, sim_wait_idle(10000));
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ((std::vector<Bytes>{Bytes({0x90, 0x00, 0x7F}), B("L")}), seen.messages);
  EXPECT_TRUE(seen.all_on_system_thread);
}

TEST_F(MidiOutTest, InjectedFaultsSkipThenFailAndAreCounted) {
  sim_fail("midiOutOpen", MMSYSERR_NOMEM, 1, 1);
  HMIDIOUT handle = Open();
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
  HMIDIOUT failed = reinterpret_cast<HMIDIOUT>(1);
  EXPECT_EQ(MMSYSERR_NOMEM, midiOutOpen(&failed, device_, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(nullptr, failed);
  handle = Open();
  EXPECT_EQ(3u, sim_call_count("midiOutOpen"));

  sim_fail("midiOutShortMsg", MIDIERR_NOTREADY, 0, 0);
  EXPECT_EQ(MIDIERR_NOTREADY, midiOutShortMsg(handle, 0x90));
  EXPECT_EQ(MIDIERR_NOTREADY, midiOutShortMsg(handle, 0x90));
  sim_fail("midiOutGetNumDevs", 0, 0, 1);
  EXPECT_EQ(0u, midiOutGetNumDevs());
  EXPECT_EQ(1u, midiOutGetNumDevs());
  sim_clear_faults();
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutShortMsg(handle, 0x90));
  EXPECT_EQ(0u, sim_call_count("midiInOpen"));
}

TEST_F(MidiOutTest, ResetOfTheMachineInvalidatesOpenHandles) {
  HMIDIOUT handle = Open();
  sim_reset();
  EXPECT_EQ(0u, sim_open_devices());
  EXPECT_EQ(MMSYSERR_INVALHANDLE, midiOutShortMsg(handle, 0x90));
  EXPECT_EQ(0u, midiOutGetNumDevs());
  EXPECT_EQ(0u, sim_call_count("midiOutOpen"));
}

}  // namespace

namespace {

// What a callback sees of the open call: whether it has returned yet.
std::atomic<bool> g_openReturned{false};
std::atomic<int> g_openSeenBeforeReturn{0};

void CALLBACK OpenWatcher(HMIDIOUT, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (message == MOM_OPEN && !g_openReturned.load()) g_openSeenBeforeReturn.fetch_add(1);
}

}  // namespace

TEST_F(MidiOutTest, OpenNotificationArrivesBeforeTheOpenCallReturns) {
  g_openReturned = false;
  g_openSeenBeforeReturn = 0;
  HMIDIOUT handle = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR,
            midiOutOpen(&handle, device_, (DWORD_PTR)&OpenWatcher, 0, CALLBACK_FUNCTION));
  g_openReturned = true;
  EXPECT_EQ(1, g_openSeenBeforeReturn.load());
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
}

TEST_F(MidiOutTest, PreparingLeavesOnlyThePreparedFlag) {
  HMIDIOUT handle = Open();
  LongMessage message("m");
  message.header.dwFlags = MHDR_DONE | MHDR_INQUEUE;
  // A header the system believes queued can't be taken back...
  EXPECT_EQ(MIDIERR_STILLPLAYING, midiOutUnprepareHeader(handle, &message.header, sizeof(MIDIHDR)));
  message.header.dwFlags = MHDR_DONE | MHDR_INQUEUE | 0x100;
  message.header.dwFlags &= ~static_cast<DWORD>(MHDR_INQUEUE);
  // ...and one freshly prepared carries no stale done or queued mark.
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(handle, &message.header, sizeof(MIDIHDR)));
  EXPECT_EQ(static_cast<DWORD>(MHDR_PREPARED), Flags(message.header));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(handle, &message.header, sizeof(MIDIHDR)));
  EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
}

TEST_F(MidiOutTest, LateCallbacksComeAfterTheCloseReturnedAndTheCloseNoticeLast) {
  HMIDIOUT handle = Open();
  sim_set_late_callbacks(5, 0);
  platform_test::Gate gate;
  recorder_.SetHook([&](const platform_test::Notice& notice) {
    if (notice.message == MOM_DONE) gate.Pass();
  });
  LongMessage message("m");
  Send(handle, message);
  ASSERT_TRUE(gate.WaitArrived());
  // The MOM_DONE is still running: the header may be taken back and the
  // device closed without waiting for it.
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(handle, &message.header, sizeof(MIDIHDR)));
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
  EXPECT_EQ(0u, recorder_.Count(MOM_CLOSE));
  gate.Open();

  ASSERT_TRUE(recorder_.WaitFor(MOM_CLOSE, 1));
  ASSERT_EQ(1, sim_wait_callbacks_done(10000));
  const auto notices = recorder_.Notices();
  ASSERT_EQ(3u, notices.size());
  EXPECT_EQ(MOM_DONE, notices[1].message);
  // Marked done before the callback was made.
  EXPECT_TRUE(notices[1].header_flags & MHDR_DONE);
  EXPECT_EQ(MOM_CLOSE, notices[2].message);
  EXPECT_TRUE(notices[2].on_system_thread);
}

TEST_F(MidiOutTest, AnInlineCloseNoticeCanOvertakeACallbackInProgress) {
  HMIDIOUT handle = Open();
  sim_set_late_callbacks(1, SIM_LATE_CLOSE_INLINE);
  platform_test::Gate gate;
  recorder_.SetHook([&](const platform_test::Notice& notice) {
    if (notice.message == MOM_DONE) gate.Pass();
  });
  LongMessage message("m");
  Send(handle, message);
  ASSERT_TRUE(gate.WaitArrived());
  midiOutUnprepareHeader(handle, &message.header, sizeof(MIDIHDR));
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
  // Delivered inside the close, on this thread, while MOM_DONE still runs.
  const auto notices = recorder_.Notices();
  ASSERT_EQ(3u, notices.size());
  EXPECT_EQ(MOM_DONE, notices[1].message);
  EXPECT_EQ(MOM_CLOSE, notices[2].message);
  EXPECT_FALSE(notices[2].on_system_thread);
  gate.Open();
  EXPECT_EQ(1, sim_wait_callbacks_done(10000));
}

TEST_F(MidiOutTest, ACallbackIntoAnUnloadedModuleIsDroppedAndCounted) {
  void* module = dlopen(QM_CALLBACK_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto proc = reinterpret_cast<DWORD_PTR>(dlsym(module, "ModuleOutProc"));
  ASSERT_NE(proc, 0u);
  HMIDIOUT handle = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&handle, device_, proc, 0, CALLBACK_FUNCTION));
  // The close notification is still to come when the module goes (unless
  // this thread stalls for a second).
  sim_set_late_callbacks(1000, 0);
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
  dlclose(module);
  ASSERT_EQ(nullptr, dlopen(QM_CALLBACK_MODULE, RTLD_NOW | RTLD_NOLOAD));
  ASSERT_EQ(1, sim_wait_callbacks_done(10000));
  EXPECT_EQ(1u, sim_stray_callbacks());
}

TEST_F(MidiOutTest, WithoutACloseNoticeTheCloseStillReturns) {
  HMIDIOUT handle = Open();
  sim_set_late_callbacks(0, SIM_LATE_NO_CLOSE);
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(handle));
  ASSERT_EQ(1, sim_wait_callbacks_done(10000));
  EXPECT_EQ((std::vector<UINT>{MOM_OPEN}), recorder_.Messages());
  EXPECT_EQ(0u, sim_stray_callbacks());
}
