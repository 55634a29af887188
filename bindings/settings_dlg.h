// The user's bindings: where they are stored, how a stored name becomes a
// host command index, and the dialog in which the user chooses them.
//
// Every object of this class works on the one module-wide BindingTable. The
// controller keeps one that is never shown, to load the bindings; the host's
// configuration request shows another.
#ifndef QUILLMOTE_BINDINGS_SETTINGS_DLG_H
#define QUILLMOTE_BINDINGS_SETTINGS_DLG_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "bindings/binding_table.h"
#include "framework/dialog.h"
#include "host/host_services.h"

// A stored name as the registry gives it: a REG_SZ value that fits, with its
// terminator, in a name buffer. Anything else counts as nothing stored, so
// the slot takes its default. Public so that tools read the bindings exactly
// as the plug-in does.
bool ReadStoredName(HKEY key, const char* valueName, char (&name)[kCommandNameSize]);

class CUserSettingsDlg : public CDialog {
 public:
  enum { IDD = 1000 };

  CUserSettingsDlg();

  // Where command names come from. Every user of the object sets it first.
  void SetCommandSource(int32_t commandCount, HostGetCommandNameFn getCommandName);

  // Index of the first valid host command named exactly `name`, or -1.
  int32_t ResolveCommand(const char* name) const;

  // Sets every slot from its stored name, or its default name when nothing
  // usable is stored or the stored name names no command.
  void LoadBindings();

  // What a save did, slot by slot in table order: ERROR_SUCCESS where the
  // slot's name was stored, else the registry's error (the key's own when
  // it could not be opened, for every slot alike).
  struct SaveResult {
    LONG slot[kBindingCount];
    std::size_t StoredCount() const;
  };

  // Stores the name in each of the dialog's sixteen boxes. Needs the dialog
  // on screen. Each slot whose name was stored is rebound to it; a slot whose
  // name was not keeps its command, which is the one still stored for it
  // (loaded before the dialog), so that the running bindings and the stored
  // ones never disagree.
  SaveResult SaveBindings();

 protected:
  const AFX_MSGMAP* GetMessageMap() const override;
  BOOL OnInitDialog() override;
  void OnOK() override;

 private:
  // The host's name of command `index` in `name`, always terminated; false
  // when the host says the index is not a valid command.
  bool CommandName(int32_t index, char (&name)[kCommandNameSize]) const;
  // The index a slot takes for a stored name: the name's command, else the
  // slot's default command, else -1.
  int32_t ResolveSlot(const BindingSlot& slot, const char* stored) const;
  void FillBox(const BindingSlot& slot);
  // What a box holds at OK: its selected item, or else what was typed into
  // its edit field. False when the typed text is too long to be a name.
  bool BoxText(HWND box, char (&text)[kCommandNameSize]) const;
  // The first box holding typed text that names no command, or null.
  HWND FindUnknownName(char (&text)[kCommandNameSize]) const;
  void TellUser(const char* message) const;
  // Tells the user of a save that stored some names and not others.
  void TellPartlySaved(const SaveResult& result) const;

  int32_t m_commandCount = 0;
  HostGetCommandNameFn m_getCommandName = nullptr;
};

#endif
