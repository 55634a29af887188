// The test and emulation interface of simctl.h.
#include "simctl.h"

#include "midi_system.h"
#include "sim_state.h"

namespace {

namespace midi = qmsim::midi;
using qmsim::Guarded;
using qmsim::midi::Direction;

}  // namespace

extern "C" {

void sim_reset(void) {
  Guarded([] {
    midi::Reset();
    qmsim::ResetPlatformSettings();
    qmsim::ClearFaults();
    qmsim::ClearCallCounts();
    qmsim::ClearDebugLines();
  });
}

unsigned sim_add_output(const char* name) {
  return Guarded(0u, [&] { return midi::AddDevice(Direction::kOutput, name); });
}

unsigned sim_add_input(const char* name) {
  return Guarded(0u, [&] { return midi::AddDevice(Direction::kInput, name); });
}

int sim_set_device_taken(int direction, unsigned device, int taken) {
  return Guarded(0, [&] {
    const Direction which = direction == SIM_INPUT ? Direction::kInput : Direction::kOutput;
    return midi::SetDeviceTaken(which, device, taken != 0) ? 1 : 0;
  });
}

void sim_set_completion_delay(unsigned milliseconds) {
  Guarded([&] { midi::SetCompletionDelay(milliseconds); });
}

void sim_set_input_delay(unsigned milliseconds) {
  Guarded([&] { midi::SetInputDelay(milliseconds); });
}

void sim_set_late_callbacks(unsigned lateness_milliseconds, int flags) {
  Guarded([&] { midi::SetLateCallbacks(true, lateness_milliseconds, flags); });
}

void sim_end_late_callbacks(void) {
  Guarded([] { midi::SetLateCallbacks(false, 0, 0); });
}

int sim_wait_callbacks_done(unsigned timeout_milliseconds) {
  return Guarded(0, [&] { return midi::WaitCallbacksDone(timeout_milliseconds) ? 1 : 0; });
}

unsigned sim_stray_callbacks(void) {
  return Guarded(0u, [] { return midi::StrayCallbacks(); });
}

unsigned sim_callbacks_after_close(void) {
  return Guarded(0u, [] { return midi::CallbacksAfterClose(); });
}

unsigned sim_lost_thread_messages(void) {
  return Guarded(0u, [] { return midi::LostThreadMessages(); });
}

void sim_set_close_waits_for_callbacks(int on) {
  Guarded([&] { midi::SetCloseWaitsForCallbacks(on != 0); });
}

unsigned sim_waiting_for_callbacks(void) {
  return Guarded(0u, [] { return midi::WaitingForCallbacks(); });
}

void sim_hold_completions(int hold) {
  Guarded([&] { midi::HoldCompletions(hold != 0); });
}

unsigned sim_release_completions(unsigned device, unsigned count, int reverse) {
  return Guarded(0u, [&] { return midi::ReleaseCompletions(device, count, reverse != 0); });
}

void sim_fail(const char* function, unsigned result, unsigned skip, unsigned count) {
  if (function == nullptr) return;
  Guarded([&] { qmsim::SetFault(function, result, skip, count); });
}

void sim_clear_faults(void) {
  Guarded([] { qmsim::ClearFaults(); });
}

unsigned sim_call_count(const char* function) {
  if (function == nullptr) return 0;
  return Guarded(0u, [&] { return qmsim::CallCount(function); });
}

size_t sim_called_function(size_t index, char* buf, size_t cap) {
  return Guarded<size_t>(0, [&] { return qmsim::CalledFunction(index, buf, cap); });
}

size_t sim_sent_count(unsigned device) {
  return Guarded<size_t>(0, [&] { return midi::SentCount(device); });
}

size_t sim_sent_message(unsigned device, size_t index, unsigned char* buf, size_t cap) {
  return Guarded<size_t>(0, [&] { return midi::SentMessage(device, index, buf, cap); });
}

void sim_clear_sent(void) {
  Guarded([] { midi::ClearSent(); });
}

void sim_set_output_listener(sim_output_listener listener, void* context) {
  Guarded([&] { midi::SetOutputListener(listener, context); });
}

void sim_set_wire_rate(unsigned bytes_per_second) {
  Guarded([&] { midi::SetWireRate(bytes_per_second); });
}

int sim_set_output_driver(int kind) {
  return Guarded(0, [&] { return midi::SetOutputDriver(kind) ? 1 : 0; });
}

void sim_set_manual_clock(int on) {
  Guarded([&] { midi::SetManualClock(on != 0); });
}

int sim_advance_clock(unsigned microseconds) {
  return Guarded(0, [&] { return midi::AdvanceClock(microseconds) ? 1 : 0; });
}

unsigned long long sim_clock_microseconds(void) {
  return Guarded(0ull, [] { return static_cast<unsigned long long>(midi::ClockMicros()); });
}

size_t sim_display_cells(unsigned device, char* cells) {
  return Guarded<size_t>(0, [&] { return midi::DisplayCells(device, cells); });
}

size_t sim_display_change_count(unsigned device) {
  return Guarded<size_t>(0, [&] { return midi::DisplayChangeCount(device); });
}

int sim_display_change(unsigned device, size_t index, unsigned long long* microseconds,
                       char* cells) {
  return Guarded(0, [&] {
    std::uint64_t time = 0;
    if (!midi::DisplayChange(device, index, &time, cells)) return 0;
    if (microseconds != nullptr) *microseconds = time;
    return 1;
  });
}

int sim_wait_idle(unsigned timeout_milliseconds) {
  return Guarded(0, [&] { return midi::WaitIdle(timeout_milliseconds) ? 1 : 0; });
}

unsigned sim_prepared_headers(void) {
  return Guarded(0u, [] { return midi::PreparedHeaders(); });
}

unsigned sim_pending_headers(void) {
  return Guarded(0u, [] { return midi::PendingHeaders(); });
}

unsigned sim_open_devices(void) {
  return Guarded(0u, [] { return midi::OpenDevices(); });
}

int sim_send_input(unsigned device, unsigned packed, unsigned timestamp, int wait) {
  return Guarded(0, [&] { return midi::SendInput(device, packed, timestamp, wait != 0); });
}

int sim_send_input_sysex(unsigned device, const unsigned char* bytes, size_t length,
                         unsigned timestamp, int wait) {
  return Guarded(0,
                 [&] { return midi::SendInputSysex(device, bytes, length, timestamp, wait != 0); });
}

int sim_deliver_input(unsigned device, unsigned message, size_t param1, size_t param2) {
  return Guarded(0, [&] { return midi::DeliverInput(device, message, param1, param2); });
}

int sim_on_system_thread(void) { return qmsim::OnSystemThread() ? 1 : 0; }

size_t sim_debug_count(void) {
  return Guarded<size_t>(0, [] { return qmsim::DebugCount(); });
}

size_t sim_debug_line(size_t index, char* buf, size_t cap) {
  return Guarded<size_t>(0, [&] { return qmsim::DebugLine(index, buf, cap); });
}

void sim_debug_clear(void) {
  Guarded([] { qmsim::ClearDebugLines(); });
}

}  // extern "C"
