// UpdateController over arbitrary codes and arguments. Codes whose arguments
// are addresses get addresses of exactly sized blocks holding fuzzer bytes
// (or null); every other argument is an arbitrary integer the plug-in must
// never take for an address. Records can also close and reopen the plug-in,
// so that notifications meet a plug-in that is not open.
//
// Input: 64 bytes the host cuts its query answers from, then records. A
// record starts with a selector: 0xFF closes or reopens; 0xF0 to 0xFE take
// an arbitrary 32-bit code from the next four bytes; anything else picks one
// of the codes the plug-in acts on. The three arguments follow.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "controller/controller.h"
#include "fuzz_rig.h"
#include "plugin/exports.h"

namespace {

constexpr std::size_t kMaxRecords = 256;
constexpr int32_t kCodes[] = {
    HostCode::kRecordState, HostCode::kFlag15, HostCode::kFlag16,    HostCode::kTrackChange,
    HostCode::kFlag19,      HostCode::kVolume, HostCode::kPan,       HostCode::kReloadBindings,
    HostCode::kLevels,      HostCode::kTime,   HostCode::kTrackName,
};

// Blocks the arguments point into; they live until the run ends.
class Blocks {
 public:
  // A double made of the next 8 bytes, or null when the flag byte says so.
  HostArg Double(fuzz::Reader& in) {
    if (in.U8() == 0) return 0;
    const double value = in.Double();
    m_blocks.emplace_back(new uint8_t[sizeof value]);
    std::memcpy(m_blocks.back().get(), &value, sizeof value);
    return reinterpret_cast<HostArg>(m_blocks.back().get());
  }
  // A text of a length byte's worth of bytes with its terminator, or null
  // for length 0xFF.
  HostArg Text(fuzz::Reader& in) {
    const uint8_t length = in.U8();
    if (length == 0xFF) return 0;
    std::vector<uint8_t> bytes = in.Take(length);
    bytes.push_back(0);
    m_blocks.emplace_back(new uint8_t[bytes.size()]);
    std::memcpy(m_blocks.back().get(), bytes.data(), bytes.size());
    return reinterpret_cast<HostArg>(m_blocks.back().get());
  }

 private:
  std::vector<std::unique_ptr<uint8_t[]>> m_blocks;
};

HostArg Integer(fuzz::Reader& in) { return static_cast<int32_t>(in.U32()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  fuzz::ResetSurface();
  fuzz::RemoveStore();
  fuzz::SetCommands(fuzz::KnownCommandNames());
  fuzz::HostState& host = fuzz::Host();
  host.answers = in.Take(64);
  host.nextAnswer = 0;
  host.checkActions = true;
  const HostServices services = fuzz::Services();
  if (OpenController(&services) != 1) fuzz::Fail("the surface did not attach");

  Blocks blocks;
  for (std::size_t n = 0; n < kMaxRecords && !in.Empty(); ++n) {
    const uint8_t selector = in.U8();
    if (selector == 0xFF) {
      if (g_controller != nullptr) {
        CloseController();
      } else if (OpenController(&services) != 1) {
        fuzz::Fail("the surface did not attach again");
      }
      continue;
    }
    const int32_t code = selector >= 0xF0 ? static_cast<int32_t>(in.U32())
                                          : kCodes[selector % (sizeof kCodes / sizeof *kCodes)];
    HostArg first = 0;
    HostArg second = 0;
    switch (code) {
      case HostCode::kVolume:
        first = Integer(in);
        second = blocks.Double(in);
        break;
      case HostCode::kLevels:
        first = blocks.Double(in);
        second = blocks.Double(in);
        break;
      case HostCode::kTime:
        first = blocks.Text(in);
        second = Integer(in);
        break;
      default:
        first = Integer(in);
        second = Integer(in);
        break;
    }
    const HostArg third = Integer(in);
    const bool open = g_controller != nullptr;
    const HostArg result = UpdateController(code, first, second, third);
    if (result != (open ? first : 0)) {
      fuzz::Fail("UpdateController(%d) returned %lld", code, static_cast<long long>(result));
    }
    if (open && code == HostCode::kTrackChange &&
        g_controller->CurrentTrack() != static_cast<int32_t>(first)) {
      fuzz::Fail("code 18 for track %d left the current track at %d", static_cast<int32_t>(first),
                 g_controller->CurrentTrack());
    }
  }
  CloseController();
  fuzz::CheckSurfaceOutput();
  return 0;
}
