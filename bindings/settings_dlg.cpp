#include "bindings/settings_dlg.h"

#include <cstring>

#include "framework/debug_output.h"
#include "host/host_commands.h"

namespace {

constexpr char kDialogCaption[] = "Quillmote Button Bindings";

// The label beside each box in the dialog (template 1000), in the order the
// dialog reads, row by row: the names by which the user knows the inputs.
struct BoxLabel {
  int32_t controlId;
  const char* label;
};
constexpr BoxLabel kBoxLabels[kBindingCount] = {
    {kBindIn, "IN"},
    {kBindInShifted, "Shift + IN"},
    {kBindOut, "OUT"},
    {kBindOutShifted, "Shift + OUT"},
    {kBindPunch, "PUNCH"},
    {kBindPunchShifted, "Shift + PUNCH"},
    {kBindTrackLeft, "Shift + TRACK-L"},
    {kBindPrev, "Shift + PREV"},
    {kBindTrackRight, "Shift + TRACK-R"},
    {kBindNext, "Shift + NEXT"},
    {kBindFootswitch, "Footswitch"},
    {kBindAdd, "Shift + ADD"},
    {kBindRewind, "Shift + RWD"},
    {kBindFastForward, "Shift + FFWD"},
    {kBindPlay, "Shift + PLAY"},
    {kBindRecord, "Shift + RECORD"},
};

// The row of BindingTable whose slot has this control id.
std::size_t RowOf(int32_t controlId) {
  for (std::size_t row = 0; row < kBindingCount; ++row) {
    if (BindingTable[row].m_controlId == controlId) return row;
  }
  return kBindingCount;
}

// Appends to a fixed buffer, cutting what does not fit; no allocation, as it
// runs inside the dialog's window procedure.
class Text {
 public:
  Text(char* buffer, std::size_t size) : m_buffer(buffer), m_size(size) { m_buffer[0] = 0; }
  void Add(const char* text) {
    const std::size_t length = std::strlen(text);
    const std::size_t room = m_size - 1 - m_length;
    const std::size_t taken = length < room ? length : room;
    std::memcpy(m_buffer + m_length, text, taken);
    m_length += taken;
    m_buffer[m_length] = 0;
  }
  void AddError(LONG error) {
    char number[32];
    wsprintfA(number, "%ld", static_cast<long>(error));
    Add(number);
  }

 private:
  char* m_buffer;
  std::size_t m_size;
  std::size_t m_length = 0;
};

// "IN, OUT, Shift + PLAY": the labels of the slots whose result is `error`
// (ERROR_SUCCESS: those whose name was stored), in dialog order.
void AddLabels(Text& text, const CUserSettingsDlg::SaveResult& result, LONG error) {
  bool first = true;
  for (const BoxLabel& box : kBoxLabels) {
    const std::size_t row = RowOf(box.controlId);
    if (row == kBindingCount || result.slot[row] != error) continue;
    if (!first) text.Add(", ");
    text.Add(box.label);
    first = false;
  }
}

const AFX_MSGMAP_ENTRY kNoEntries[] = {{0}};

}  // namespace

bool ReadStoredName(HKEY key, const char* valueName, char (&name)[kCommandNameSize]) {
  name[0] = 0;
  BYTE data[kCommandNameSize] = {};
  DWORD type = 0;
  DWORD size = sizeof data;
  if (RegQueryValueExA(key, valueName, nullptr, &type, data, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ || size > sizeof data) return false;
  // A value written without its terminator still fits when there is room
  // for one.
  const char* text = reinterpret_cast<const char*>(data);
  const std::size_t length = strnlen(text, size);
  if (length >= sizeof name) return false;
  std::memcpy(name, text, length);
  name[length] = 0;
  return true;
}

CUserSettingsDlg::CUserSettingsDlg() : CDialog(IDD, nullptr) {}

const AFX_MSGMAP* CUserSettingsDlg::GetMessageMap() const {
  static const AFX_MSGMAP kMap = {CDialog::GetMessageMap(), kNoEntries};
  return &kMap;
}

void CUserSettingsDlg::SetCommandSource(int32_t commandCount, HostGetCommandNameFn getCommandName) {
  m_commandCount = commandCount;
  m_getCommandName = getCommandName;
}

bool CUserSettingsDlg::CommandName(int32_t index, char (&name)[kCommandNameSize]) const {
  return HostCommandName(m_getCommandName, index, name);
}

int32_t CUserSettingsDlg::ResolveCommand(const char* name) const {
  // The first of several commands of that name, as the host lists them.
  return FindHostCommand(m_getCommandName, m_commandCount, name, HostCommandMatch::kFirst);
}

int32_t CUserSettingsDlg::ResolveSlot(const BindingSlot& slot, const char* stored) const {
  if (stored[0] != 0) {
    const int32_t index = ResolveCommand(stored);
    if (index != -1) return index;
  }
  return ResolveCommand(slot.m_defaultName);
}

void CUserSettingsDlg::LoadBindings() {
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyA(HKEY_CURRENT_USER, kBindingsKey, &key);
  // No key is the normal case before the first save; anything else means
  // the user's bindings exist but could not be read.
  if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
    WriteDebugLine(debug_line::kBindingsUnreadable, static_cast<long>(opened));
  }
  for (BindingSlot& slot : BindingTable) {
    char stored[kCommandNameSize] = {};
    if (opened == ERROR_SUCCESS) ReadStoredName(key, slot.m_valueName, stored);
    // One store per slot: an input on the other thread sees the old binding
    // or the new one, never a passing "none".
    slot.m_commandIndex = ResolveSlot(slot, stored);
  }
  if (opened == ERROR_SUCCESS) RegCloseKey(key);
}

bool CUserSettingsDlg::BoxText(HWND box, char (&text)[kCommandNameSize]) const {
  text[0] = 0;
  if (box == nullptr) return true;
  const LRESULT selected = SendMessageA(box, CB_GETCURSEL, 0, 0);
  if (selected != CB_ERR) {
    const LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(selected), 0);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof text) {
      SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(selected),
                   reinterpret_cast<LPARAM>(text));
      text[sizeof text - 1] = 0;
      return true;
    }
  }
  // No item chosen: what the user typed into the edit field, if anything.
  if (GetWindowTextLengthA(box) >= static_cast<int>(sizeof text)) return false;
  GetWindowTextA(box, text, static_cast<int>(sizeof text));
  text[sizeof text - 1] = 0;
  return true;
}

std::size_t CUserSettingsDlg::SaveResult::StoredCount() const {
  std::size_t stored = 0;
  for (LONG error : slot) stored += error == ERROR_SUCCESS ? 1 : 0;
  return stored;
}

CUserSettingsDlg::SaveResult CUserSettingsDlg::SaveBindings() {
  SaveResult result;
  HKEY key = nullptr;
  DWORD disposition = 0;
  char noClass[] = "";
  const LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, noClass, 0,
                                       KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (created != ERROR_SUCCESS) {
    for (LONG& error : result.slot) error = created;
    return result;
  }
  for (std::size_t row = 0; row < kBindingCount; ++row) {
    BindingSlot& slot = BindingTable[row];
    char name[kCommandNameSize];
    if (!BoxText(GetDlgItem(slot.m_controlId), name)) name[0] = 0;
    result.slot[row] =
        RegSetValueExA(key, slot.m_valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                       static_cast<DWORD>(std::strlen(name) + 1));
    // The slot takes what a later load of the stored name gives. A name the
    // registry refused leaves the stored one, and the slot's command with it.
    if (result.slot[row] == ERROR_SUCCESS) slot.m_commandIndex = ResolveSlot(slot, name);
  }
  RegCloseKey(key);
  return result;
}

void CUserSettingsDlg::FillBox(const BindingSlot& slot) {
  HWND box = GetDlgItem(slot.m_controlId);
  if (box == nullptr) return;
  const int32_t current = slot.m_commandIndex.load();
  char currentName[kCommandNameSize] = {};
  for (int32_t index = 0; index < m_commandCount; ++index) {
    char name[kCommandNameSize];
    if (!CommandName(index, name)) continue;
    SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    if (index == current) std::memcpy(currentName, name, sizeof name);
  }
  if (currentName[0] == 0) return;
  // The box's own search ignores letter case, so among names that differ
  // only in case it picks the first in sorted order.
  const LRESULT found = SendMessageA(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(currentName));
  if (found != CB_ERR) SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
}

BOOL CUserSettingsDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (m_getCommandName == nullptr) {
    EndDialog(0);
    return TRUE;
  }
  for (const BindingSlot& slot : BindingTable) FillBox(slot);
  return TRUE;
}

HWND CUserSettingsDlg::FindUnknownName(char (&text)[kCommandNameSize]) const {
  for (const BindingSlot& slot : BindingTable) {
    HWND box = GetDlgItem(slot.m_controlId);
    if (box == nullptr || SendMessageA(box, CB_GETCURSEL, 0, 0) != CB_ERR) continue;
    if (!BoxText(box, text)) {
      GetWindowTextA(box, text, static_cast<int>(sizeof text));
      return box;
    }
    if (text[0] != 0 && ResolveCommand(text) == -1) return box;
  }
  text[0] = 0;
  return nullptr;
}

void CUserSettingsDlg::TellUser(const char* message) const {
  OutputDebugStringA(message);
  OutputDebugStringA("\n");
  MessageBoxA(GetSafeHwnd(), message, kDialogCaption, MB_OK | MB_ICONWARNING);
}

void CUserSettingsDlg::OnOK() {
  // A typed name must be one the host knows: storing it would silently give
  // the button its default command instead.
  char typed[kCommandNameSize];
  if (HWND box = FindUnknownName(typed)) {
    char message[512];
    wsprintfA(message,
              "\"%s\" is not the name of a command. Choose a command from the list, or "
              "clear the box to use the button's default command.",
              typed);
    TellUser(message);
    SetFocus(box);
    return;
  }
  const SaveResult result = SaveBindings();
  const std::size_t stored = result.StoredCount();
  if (stored == 0) {
    // Nothing was written and no slot changed: the choices stay on screen,
    // so the user can try again, or cancel and truly keep what was there.
    char message[512];
    wsprintfA(message,
              "The button bindings could not be saved (registry error %ld). Press OK to try "
              "again, or Cancel to keep the bindings as they were.",
              static_cast<long>(result.slot[0]));
    TellUser(message);
    return;
  }
  // Some names are stored and in use: there is no way back to the bindings as
  // they were, so the dialog ends as OK, saying which inputs kept what.
  if (stored < kBindingCount) TellPartlySaved(result);
  CDialog::OnOK();
}

void CUserSettingsDlg::TellPartlySaved(const SaveResult& result) const {
  char message[1536];
  Text text(message, sizeof message);
  text.Add("Only some of the button bindings could be saved.\n\nSaved, and in use now: ");
  AddLabels(text, result, ERROR_SUCCESS);
  text.Add(".\n");
  // One line per error the registry gave, in the order the slots met them.
  for (std::size_t row = 0; row < kBindingCount; ++row) {
    const LONG error = result.slot[row];
    bool seen = error == ERROR_SUCCESS;
    for (std::size_t before = 0; before < row && !seen; ++before) {
      seen = result.slot[before] == error;
    }
    if (seen) continue;
    text.Add("Not saved (registry error ");
    text.AddError(error);
    text.Add("): ");
    AddLabels(text, result, error);
    text.Add(".\n");
  }
  text.Add(
      "\nThe inputs not saved keep the commands they had before. Open the bindings again to "
      "choose theirs once more.");
  TellUser(message);
}
