// MIDI handles opened with CALLBACK_THREAD: their notifications as thread
// messages, and what becomes of a post the system refuses.
#include <windows.h>

#include <mmsystem.h>

#include <vector>

#include "recorder.h"
#include "simctl.h"
#include <gtest/gtest.h>

namespace {

using platform_test::Flags;

constexpr DWORD kDeadlockMs = 10000;  // only a guard against a hang

class MidiThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    input_ = sim_add_input("Quillmote Port");
    output_ = sim_add_output("Quillmote Port");
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue
    me_ = GetCurrentThreadId();
  }
  void TearDown() override { sim_reset(); }

  // The next message of this thread's queue, waiting (bounded) for a post.
  static bool Next(MSG& msg) {
    for (;;) {
      if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return true;
      if (MsgWaitForMultipleObjects(0, nullptr, FALSE, kDeadlockMs, QS_ALLPOSTMESSAGE) !=
          WAIT_OBJECT_0) {
        return false;
      }
    }
  }

  static std::vector<MSG> Queued() {
    std::vector<MSG> messages;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) messages.push_back(msg);
    return messages;
  }

  unsigned input_ = 0;
  unsigned output_ = 0;
  DWORD me_ = 0;
};

TEST_F(MidiThreadTest, InputNotificationsArriveAsThreadMessagesWithTheHandleAndFirstParameter) {
  HMIDIIN in = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, input_, me_, 0x5EED, CALLBACK_THREAD));
  const auto handle = reinterpret_cast<WPARAM>(in);
  auto opened = Queued();
  ASSERT_EQ(1u, opened.size()) << "posted before the open call returned";
  EXPECT_EQ(static_cast<UINT>(MM_MIM_OPEN), opened[0].message);
  EXPECT_EQ(handle, opened[0].wParam);
  EXPECT_EQ(0, opened[0].lParam);

  std::vector<char> bytes(4);
  MIDIHDR header{};
  header.lpData = bytes.data();
  header.dwBufferLength = static_cast<DWORD>(bytes.size());
  ASSERT_EQ(MMSYSERR_NOERROR, midiInPrepareHeader(in, &header, sizeof header));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInAddBuffer(in, &header, sizeof header));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(in));
  ASSERT_EQ(1, sim_send_input(input_, 0x7F5E90, 42, 1));
  const unsigned char sysex[] = {0xF0, 0x01, 0xF7};
  ASSERT_EQ(1, sim_send_input_sysex(input_, sysex, sizeof sysex, 43, 1));
  ASSERT_EQ(1, sim_deliver_input(input_, MIM_ERROR, 0xF4, 9));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInReset(in));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInUnprepareHeader(in, &header, sizeof header));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in));

  // Every notification was posted by the time its call returned.
  const auto messages = Queued();
  ASSERT_EQ(4u, messages.size());
  EXPECT_EQ(static_cast<UINT>(MM_MIM_DATA), messages[0].message);
  EXPECT_EQ(0x7F5E90, messages[0].lParam) << "the time stamp does not travel";
  EXPECT_EQ(static_cast<UINT>(MM_MIM_LONGDATA), messages[1].message);
  EXPECT_EQ(reinterpret_cast<LPARAM>(&header), messages[1].lParam);
  EXPECT_EQ(3u, header.dwBytesRecorded);
  EXPECT_EQ(static_cast<UINT>(MM_MIM_ERROR), messages[2].message);
  EXPECT_EQ(0xF4, messages[2].lParam);
  EXPECT_EQ(static_cast<UINT>(MM_MIM_CLOSE), messages[3].message);
  for (const MSG& msg : messages) EXPECT_EQ(handle, msg.wParam);
  EXPECT_EQ(0u, sim_lost_thread_messages());
  EXPECT_EQ(0u, sim_call_count("PostThreadMessageA")) << "the system's posts are no calls";
}

TEST_F(MidiThreadTest, OutputDoneIsPostedWithTheHeaderAlreadyMarkedDone) {
  sim_hold_completions(1);
  HMIDIOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, output_, me_, 0, CALLBACK_THREAD));
  std::vector<char> bytes{'\xF0', '\x7E', '\xF7'};
  MIDIHDR header{};
  header.lpData = bytes.data();
  header.dwBufferLength = static_cast<DWORD>(bytes.size());
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(out, &header, sizeof header));
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutLongMsg(out, &header, sizeof header));
  MSG msg;
  ASSERT_TRUE(Next(msg));
  EXPECT_EQ(static_cast<UINT>(MM_MOM_OPEN), msg.message);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "held: nothing done yet";

  ASSERT_EQ(1u, sim_release_completions(output_, 1, 0));
  ASSERT_TRUE(Next(msg));
  EXPECT_EQ(static_cast<UINT>(MM_MOM_DONE), msg.message);
  EXPECT_EQ(reinterpret_cast<WPARAM>(out), msg.wParam);
  EXPECT_EQ(reinterpret_cast<LPARAM>(&header), msg.lParam);
  EXPECT_TRUE(Flags(header) & MHDR_DONE);
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(out, &header, sizeof header));
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(out));
  ASSERT_TRUE(Next(msg));
  EXPECT_EQ(static_cast<UINT>(MM_MOM_CLOSE), msg.message);
}

TEST_F(MidiThreadTest, PostsTheSystemRefusesAreLostAndCounted) {
  // A thread that never asked for a queue.
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD idle = 0;
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID go) -> DWORD { return WaitForSingleObject(go, INFINITE); }, go, 0,
      &idle);
  HMIDIOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, output_, idle, 0, CALLBACK_THREAD));
  EXPECT_EQ(1u, sim_lost_thread_messages());
  ASSERT_EQ(MMSYSERR_NOERROR, midiOutClose(out));
  EXPECT_EQ(2u, sim_lost_thread_messages());
  SetEvent(go);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
  CloseHandle(thread);
  CloseHandle(go);

  // A full queue: the open notification fills it, the data is lost.
  sim_set_thread_queue_limit(1);
  HMIDIIN in = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, input_, me_, 0, CALLBACK_THREAD));
  midiInStart(in);
  ASSERT_EQ(1, sim_send_input(input_, 0x7F3C90, 0, 1));
  EXPECT_EQ(3u, sim_lost_thread_messages());
  sim_set_thread_queue_limit(100);
  ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in));
  std::vector<UINT> messages;
  for (const MSG& msg : Queued()) messages.push_back(msg.message);
  EXPECT_EQ((std::vector<UINT>{MM_MIM_OPEN, MM_MIM_CLOSE}), messages);
  sim_reset();
  EXPECT_EQ(0u, sim_lost_thread_messages());
}

// The shape of a port's worker: its own queue, every notification taken
// from it, the close notification its last.
struct Worker {
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<UINT> seen;
  std::vector<LPARAM> data;
  ~Worker() { CloseHandle(ready); }
  static DWORD WINAPI Run(LPVOID parameter) {
    auto* self = static_cast<Worker*>(parameter);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(self->ready);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      self->seen.push_back(msg.message);
      if (msg.message == MM_MIM_DATA) self->data.push_back(msg.lParam);
      if (msg.message == MM_MIM_CLOSE) return 0;
    }
    return 1;
  }
};

TEST_F(MidiThreadTest, AWorkerThreadReceivesEveryInputAndEndsOnTheCloseNotification) {
  Worker worker;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &Worker::Run, &worker, 0, &id);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker.ready, kDeadlockMs));
  HMIDIIN in = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, input_, id, 0, CALLBACK_THREAD));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(in));
  // Waiting for the last: the system thread delivers in order, so every
  // one is posted before input stops.
  for (unsigned note = 0; note < 50; ++note) {
    ASSERT_EQ(1, sim_send_input(input_, 0x7F0090 | (note << 8), note, note == 49));
  }
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStop(in));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(0u, code);
  ASSERT_EQ(52u, worker.seen.size());
  EXPECT_EQ(static_cast<UINT>(MM_MIM_OPEN), worker.seen.front());
  ASSERT_EQ(50u, worker.data.size());
  for (unsigned note = 0; note < 50; ++note) {
    EXPECT_EQ(static_cast<LPARAM>(0x7F0090 | (note << 8)), worker.data[note]);
  }
  EXPECT_EQ(0u, sim_live_threads());
  CloseHandle(thread);
}

}  // namespace
