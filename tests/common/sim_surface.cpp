#include "sim_surface.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include <gtest/gtest.h>

namespace test {

#ifndef _WIN32
namespace {

// A test program ends only once the threads it started have ended: a port's
// own thread outlives its port by up to two seconds by design, and one still
// running while the program's statics are torn down runs into them. (Windows
// ends every other thread in ExitProcess; a Linux program's exit does not.)
class ThreadsEnd final : public ::testing::Environment {
 public:
  void TearDown() override {
    WaitUntil([] { return sim_live_threads() == 0; }, std::chrono::seconds(5));
  }
};

[[maybe_unused]] ::testing::Environment* const g_threadsEnd =
    ::testing::AddGlobalTestEnvironment(new ThreadsEnd);

}  // namespace
#endif

SimSurface::SimSurface(bool withSurface) {
  sim_reset();
  if (withSurface) {
    m_output = sim_add_output("Quillmote Port");
    m_input = sim_add_input("Quillmote Port");
  }
}

SimSurface::~SimSurface() { sim_reset(); }

bool WaitIdle(unsigned milliseconds) {
  if (sim_wait_idle(milliseconds) != 0) return true;
  ADD_FAILURE() << "the simulated system still had messages in flight after " << milliseconds
                << " ms";
  return false;
}

std::vector<Bytes> SimSurface::Received() const {
  WaitIdle();
  std::vector<Bytes> messages;
  const size_t count = sim_sent_count(m_output);
  for (size_t i = 0; i < count; ++i) {
    Bytes bytes(sim_sent_message(m_output, i, nullptr, 0));
    sim_sent_message(m_output, i, bytes.data(), bytes.size());
    messages.push_back(std::move(bytes));
  }
  return messages;
}

void SimSurface::ClearReceived() const {
  WaitIdle();
  sim_clear_sent();
}

std::vector<Bytes> SimSurface::Take() const {
  std::vector<Bytes> messages = Received();
  sim_clear_sent();
  return messages;
}

bool SimSurface::Send(uint8_t status, uint8_t data1, uint8_t data2) const {
  const unsigned packed = status | (data1 << 8) | (data2 << 16);
  return sim_send_input(m_input, packed, 0, 1) != 0;
}

std::vector<std::string> SimSurface::DebugLines() const {
  std::vector<std::string> lines;
  for (size_t i = 0; i < sim_debug_count(); ++i) {
    const size_t length = sim_debug_line(i, nullptr, 0);
    std::vector<char> text(length + 1);
    sim_debug_line(i, text.data(), text.size());
    lines.emplace_back(text.data(), length);
  }
  return lines;
}

Bytes Lcd(uint8_t firstCell, const std::string& cells) {
  static const uint8_t kHead[] = {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00};
  Bytes bytes(std::begin(kHead), std::end(kHead));
  bytes.push_back(firstCell);
  for (char cell : cells) bytes.push_back(static_cast<uint8_t>(cell));
  bytes.push_back(0xF7);
  return bytes;
}

Bytes Lamp(uint8_t note, bool on) { return {0x90, note, static_cast<uint8_t>(on ? 0x7F : 0x00)}; }

Bytes Clear() { return Lcd(0, std::string(40, ' ')); }

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X ", byte);
    text += digits;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace test
