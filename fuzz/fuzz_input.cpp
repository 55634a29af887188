// The surface's input decoder over arbitrary messages: every four bytes are
// one packed short message (top byte included), handed to the controller of
// an attached surface either directly or through the system's input port.
// The host checks every action it is asked for; the surface checks every
// message it gets back.
//
// Input: a mode byte (bit 0: through the input port; bit 1: a track change
// first), the track change's track and label value (4 bytes each), 32 bytes
// the host cuts its query answers from, then the messages.
#include <cstdint>

#include "controller/controller.h"
#include "fuzz_rig.h"
#include "plugin/exports.h"
#include "simctl.h"

namespace {

constexpr std::size_t kMaxMessages = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t mode = in.U8();
  const auto track = static_cast<int32_t>(in.U32());
  const auto label = static_cast<int32_t>(in.U32());

  fuzz::ResetSurface();
  fuzz::RemoveStore();
  fuzz::SetCommands(fuzz::KnownCommandNames());
  fuzz::HostState& host = fuzz::Host();
  host.answers = in.Take(32);
  host.nextAnswer = 0;
  host.checkActions = true;
  const HostServices services = fuzz::Services();
  if (OpenController(&services) != 1) fuzz::Fail("the surface did not attach");

  if (mode & 2) UpdateController(HostCode::kTrackChange, track, label, 0);
  for (std::size_t n = 0; n < kMaxMessages && !in.Empty(); ++n) {
    const DWORD packed = in.U32();
    if (mode & 1) {
      if (!sim_send_input(fuzz::SurfaceInput(), packed, 0, 1)) {
        fuzz::Fail("the input port dropped a message while started");
      }
    } else {
      g_controller->OnShortMsg(packed, 0);
    }
  }
  CloseController();
  fuzz::CheckSurfaceOutput();
  return 0;
}
