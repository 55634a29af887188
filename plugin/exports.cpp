#include "plugin/exports.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "bindings/settings_dlg.h"
#include "controller/controller.h"
#include "framework/debug_output.h"

CMidiReceiveDlg* g_controller = nullptr;

namespace {

// "zvlk" in memory order.
constexpr uint32_t kVendorCode = 0x6B6C767A;
constexpr uint32_t kInterfaceVersion = 0x100;
constexpr char kPluginName[] = "Quillmote";

// Ends the controller, within CMidiReceiveDlg::kCloseBound whatever the
// host and the system do. Surface input stops first, so that no host call
// begins once CloseController has returned; the surface is blanked while the
// ports are still open; then the ports close with the controller. Their
// threads leave the library by themselves, last (midi/port_thread.h).
void EndController() {
  if (g_controller == nullptr) return;
  const bool inputStopped = g_controller->StopInput();
  try {
    g_controller->BlankSurface();
  } catch (...) {
    // The surface refused a message; the controller is ended all the same.
  }
  if (inputStopped) {
    delete g_controller;
  } else {
    // A surface message is still being handled on the input port's thread,
    // in the host perhaps: the ports close, but the memory it uses is kept
    // rather than freed under it, and it calls the host no more.
    g_controller->ClosePorts();
    midi::KeepForLateCallbacks(g_controller);
    WriteDebugLine(debug_line::kControllerKept);
  }
  g_controller = nullptr;
}

void ReportOpenFailure(const char* reason) { WriteDebugLine(debug_line::kAttachError, reason); }

}  // namespace

extern "C" int __cdecl QueryController(PluginInfo* info) {
  if (info == nullptr) return 0;
  info->vendor = kVendorCode;
  info->version = kInterfaceVersion;
  std::memcpy(info->name, kPluginName, sizeof kPluginName);
  return 1;
}

extern "C" int __cdecl OpenController(const HostServices* host) {
  if (host == nullptr) return 0;
  // A host that opens twice without closing gets the devices back first.
  EndController();
  try {
    g_controller = new CMidiReceiveDlg(host);
  } catch (const std::exception& e) {
    // Without its ports' events or memory there is no controller; the host
    // only sees 0, so the reason goes where a person can read it.
    g_controller = nullptr;
    ReportOpenFailure(e.what());
    return 0;
  } catch (...) {
    g_controller = nullptr;
    ReportOpenFailure("unknown error");
    return 0;
  }
  try {
    if (g_controller->Attach() != 0 && !g_controller->NoSurface()) return 1;
    return 0;
  } catch (const std::exception& e) {
    ReportOpenFailure(e.what());
    delete g_controller;
    g_controller = nullptr;
    return 0;
  } catch (...) {
    ReportOpenFailure("unknown error");
    delete g_controller;
    g_controller = nullptr;
    return 0;
  }
}

extern "C" HostArg __cdecl UpdateController(int32_t code, HostArg first, HostArg second,
                                            HostArg third) {
  if (g_controller == nullptr) return 0;
  try {
    return g_controller->OnHostUpdate(code, first, second, third);
  } catch (...) {
    // A message the surface refused ends this notification, not the host.
    return first;
  }
}

extern "C" void __cdecl CloseController() { EndController(); }

extern "C" int __cdecl ConfigureController(int32_t, int32_t, int32_t commandCount,
                                           HostGetCommandNameFn getCommandName) {
  // Without a way to list the commands there is nothing to choose from.
  if (getCommandName == nullptr) return 0;
  try {
    std::unique_ptr<CUserSettingsDlg> dialog(new (std::nothrow) CUserSettingsDlg);
    if (!dialog) {
      WriteDebugLine(debug_line::kConfigureOutOfMemory);
      return -1;
    }
    // This host's commands, not necessarily those the controller was opened
    // with: the slots are resolved through them and shown from them.
    dialog->SetCommandSource(commandCount, getCommandName);
    dialog->LoadBindings();
    return static_cast<int>(dialog->DoModal());
  } catch (...) {
    WriteDebugLine(debug_line::kConfigureFailed);
    return -1;
  }
}
