// Many cycles of what a host does with the library: load it, open the
// controller, traffic both ways, close and unload at once; half of the cycles
// load it again straight away (the image the ports' threads still hold), the
// others once it has gone; some close as surface input is still on its way.
// Nothing may stay mapped or running, no host call may come after a close,
// and the system may never find the plug-in's code gone. ctest runs a short
// form; QM_SOAK_UNLOADS sets the long one (scripts/soak.sh).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fake_host.h"
#include "plugin_library.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::FakeHost;
using test::PluginLibrary;
using test::SimSurface;

TEST(UnloadSoak, LoadOpenTrafficCloseUnloadLeavesNothingBehind) {
  const char* setting = std::getenv("QM_SOAK_UNLOADS");
  const unsigned cycles = setting != nullptr && setting[0] != 0
                              ? static_cast<unsigned>(std::strtoul(setting, nullptr, 10))
                              : 200;
  SimSurface surface;
  FakeHost host;
  host.SetCommands({"Undo (1)", "Redo"});
  host.SetName(0, "Bass");
  const HostServices services = host.Services();
  const double levels[2] = {0.75, 0.5};
  unsigned reloadsAtOnce = 0;
  for (unsigned n = 0; n < cycles; ++n) {
    {
      PluginLibrary plugin;
      ASSERT_TRUE(plugin.Loaded()) << dlerror() << " (cycle " << n << ")";
      ASSERT_EQ(plugin.Open(&services), 1) << "cycle " << n;
      if (n % 8 == 3) sim_set_late_callbacks(n % 5, n % 16 == 3 ? SIM_LATE_DRAIN_AFTER_CLOSE : 0);
      // Presses still in the driver's ring as the host closes, drained
      // after the close.
      if (n % 16 == 3) sim_set_input_delay(3);
      sim_send_input(surface.input(), 0x7F5E90, 0, 0);
      plugin.Update(HostCode::kTrackChange, 0, 0);
      plugin.Update(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                    reinterpret_cast<HostArg>(&levels[1]));
      sim_send_input(surface.input(), 0x005E90, 0, 0);
      plugin.Update(HostCode::kTime, reinterpret_cast<HostArg>("00:00:01.25"));
      sim_send_input(surface.input(), 0x013CB0, 0, 0);
      plugin.Close();
    }
    const std::size_t callsAtClose = host.Calls().size();
    if (n % 2 == 0) {
      // The next cycle loads it again at once.
      reloadsAtOnce += PluginLibrary::StillLoaded() ? 1 : 0;
    } else {
      // Gone, and so are the threads that gave it back.
      ASSERT_TRUE(test::WaitUntil([] {
        return sim_live_threads() == 0 && !PluginLibrary::StillLoaded();
      })) << "still mapped after cycle "
          << n;
    }
    ASSERT_EQ(sim_wait_callbacks_done(10000), 1) << "cycle " << n;
    sim_end_late_callbacks();
    sim_set_input_delay(0);
    ASSERT_EQ(host.Calls().size(), callsAtClose) << "host called after the close of cycle " << n;
    ASSERT_EQ(sim_open_devices(), 0u) << "cycle " << n;
    host.ClearCalls();
    sim_clear_sent();
    sim_debug_clear();
  }
  EXPECT_TRUE(test::WaitUntil([] { return !PluginLibrary::StillLoaded(); }));
  EXPECT_TRUE(test::WaitUntil([] { return sim_live_threads() == 0; }))
      << sim_live_threads() << " threads left";
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(sim_stray_callbacks(), 0u);
  std::printf("unload soak: %u cycles, %u of the loads again at once found the image still held\n",
              cycles, reloadsAtOnce);
}

}  // namespace
