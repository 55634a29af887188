#include "controller/controller.h"

#include <cstring>
#include <exception>

#include "bindings/binding_table.h"
#include "framework/debug_output.h"

namespace {

constexpr char kSurfaceName[] = "Quillmote";
constexpr std::size_t kSurfaceNameLength = sizeof kSurfaceName - 1;

// The highest-numbered device whose name says it is the surface, or -1. The
// count is asked again before every step, as devices may come and go.
template <class Port, class Caps, class Count>
int FindSurfaceDevice(Count deviceCount) {
  int found = -1;
  for (UINT id = 0; id < deviceCount(); ++id) {
    Caps caps{};
    try {
      Port::GetDevCaps(id, caps);
    } catch (const std::exception&) {
      continue;  // A device that can't describe itself can't be the surface.
    }
    caps.szPname[MAXPNAMELEN - 1] = 0;
    if (CMidiReceiveDlg::IsSurfaceName(caps.szPname)) found = static_cast<int>(id);
  }
  return found;
}

}  // namespace

CMidiReceiveDlg::CMidiReceiveDlg(const HostServices* host) : m_host(*host) {
  // The bindings resolve through the commands of the host that opened the
  // controller; they are loaded only once the surface is attached.
  m_settingsDlg.SetCommandSource(m_host.CommandCount, m_host.GetCommandName);
}

CMidiReceiveDlg::~CMidiReceiveDlg() {
  // Whoever destroys the controller (CloseController has done this already)
  // stops surface messages from reaching it first.
  StopInput();
  ClosePorts();
}

bool CMidiReceiveDlg::StopInput() {
  m_hostCallsEnded = true;
  return m_midiIn.DetachReceiver(kInputStopBound);
}

void CMidiReceiveDlg::ClosePorts() {
  // Input ends first: no surface message may reach a controller that is
  // going away, and the handlers still send through the output port.
  try {
    if (m_midiIn.IsOpen()) {
      if (m_midiIn.IsStarted()) m_midiIn.Stop();
      m_midiIn.Close();
    }
  } catch (...) {
    // The device would not close. It is stopped; make sure whatever the
    // system still delivers finds no receiver.
    m_midiIn.SetReceiver(nullptr);
  }
  if (m_midiOut.IsOpen()) m_midiOut.Close();
}

// Only the first nine characters count, byte for byte: "Quillmote Port 2"
// matches, "QUILLMOTE" and "Quill" don't.
bool CMidiReceiveDlg::IsSurfaceName(const char* name) {
  return std::strncmp(name, kSurfaceName, kSurfaceNameLength) == 0;
}

int CMidiReceiveDlg::FindOutputDevice() {
  return FindSurfaceDevice<midi::CMIDIOutDevice, MIDIOUTCAPSA>([] { return midiOutGetNumDevs(); });
}

int CMidiReceiveDlg::FindInputDevice() {
  return FindSurfaceDevice<midi::CMIDIInDevice, MIDIINCAPSA>([] { return midiInGetNumDevs(); });
}

int CMidiReceiveDlg::Attach() {
  const int output = FindOutputDevice();
  const int input = FindInputDevice();
  if (input == -1 || output == -1) {
    m_noSurface = true;
    WriteDebugLine(debug_line::kNoSurface);
    return 1;
  }

  try {
    m_midiOut.SetFootprints(&SurfaceFootprints());
    m_midiOut.Open(static_cast<UINT>(output));
    ClearDisplay();
    // From Start on, the surface's messages reach OnShortMsg on the input
    // port's thread, before the commands and bindings below are known.
    m_midiIn.SetReceiver(this);
    m_midiIn.Open(static_cast<UINT>(input));
    m_midiIn.Start();
  } catch (const std::exception& e) {
    WriteDebugLine(debug_line::kAttachError, e.what());
  }

  m_undoCommand = FindHostCommand("Undo (1)");
  m_redoCommand = FindHostCommand("Redo");
  m_settingsDlg.LoadBindings();

  // Loop mode starts off; m_loop itself belongs to the input thread by now.
  try {
    SetLamp(kNoteLoop, false);
  } catch (const std::exception& e) {
    WriteDebugLine(debug_line::kAttachError, e.what());
  }
  return 1;
}
