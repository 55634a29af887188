// Every call the controller makes to the host, in one place: buttons, the
// wheel and notifications all decode what happened and then ask the host
// through these. Once the close has begun (StopInput), none of them calls
// the host any more: a surface message still being handled when the close
// gave up waiting for it comes back into a controller that asks nothing.
#include "bindings/binding_table.h"
#include "controller/controller.h"
#include "host/host_commands.h"

void CMidiReceiveDlg::Act(int32_t code, int32_t value, int32_t track) {
  if (m_hostCallsEnded.load()) return;
  m_host.DoAction(code, value, track, 0);
}

int32_t CMidiReceiveDlg::ActionTrack() const {
  // The host takes the low 16 bits: no current track (-1) is 0xFFFF.
  return static_cast<uint16_t>(m_currentTrack.load());
}

int32_t CMidiReceiveDlg::QueryTrack(int32_t track) { return static_cast<int16_t>(track); }

int32_t CMidiReceiveDlg::QueryFlag(int32_t code, int32_t track) const {
  // Zeroed first, so a host that leaves the slot alone reads as "not set".
  int32_t flag = 0;
  if (m_hostCallsEnded.load()) return flag;
  m_host.QueryValue(code, QueryTrack(track), &flag, 0);
  return flag;
}

void CMidiReceiveDlg::RunBinding(int32_t controlId, bool pressed) {
  RunHostCommand(FindBinding(controlId), pressed);
}

void CMidiReceiveDlg::RunHostCommand(int32_t command, bool pressed) {
  if (command == -1 || m_hostCallsEnded.load()) return;
  m_host.RunCommand(command, pressed ? kCommandPressed : kCommandReleased);
}

int32_t CMidiReceiveDlg::FindHostCommand(const char* name) const {
  // The last of several commands of that name, as the host lists them.
  return ::FindHostCommand(m_host.GetCommandName, m_host.CommandCount, name,
                           HostCommandMatch::kLast);
}
