// The controller: the one object that connects the host to the surface. It
// owns the two MIDI ports to the surface and the copy of the host's callbacks,
// writes the display and lamps, and follows the host's notifications.
#ifndef QUILLMOTE_CONTROLLER_CONTROLLER_H
#define QUILLMOTE_CONTROLLER_CONTROLLER_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bindings/settings_dlg.h"
#include "host/host_services.h"
#include "midi/in_device.h"
#include "midi/out_device.h"
#include "midi/receiver.h"

// What the surface sends and takes: its buttons and lamps are note-ons
// (velocity 0 for a release or a dark lamp), its jog wheel a controller
// change.
constexpr BYTE kNoteOn = 0x90;
constexpr BYTE kControlChange = 0xB0;
constexpr BYTE kWheelController = 60;

// Note numbers of the surface's buttons and lamps.
enum SurfaceNote : BYTE {
  kNoteFlag19 = 0,
  kNoteFlag16 = 8,
  kNoteFlag15 = 16,
  kNoteTrackLeft = 48,
  kNoteTrackRight = 49,
  kNoteUndo = 76,
  kNoteAdd = 82,
  kNotePrev = 84,
  kNoteNext = 85,
  kNoteLoop = 86,
  kNoteIn = 87,
  kNoteOut = 88,
  kNoteRewind = 91,
  kNoteFastForward = 92,
  kNoteStop = 93,
  kNotePlay = 94,
  kNoteRecord = 95,
  kNoteFootswitch = 103,
  kNoteAny16 = 115,
  kNotePunch = 120,
  kNoteShift = 121,
};

// The shifted flag buttons and notification 16 look at this many tracks,
// from 0.
constexpr int32_t kScannedTracks = 128;

// Display cells of the two wheel marks.
constexpr BYTE kVolumeMarkCell = 10;
constexpr BYTE kPanMarkCell = 16;

// The surface's two kinds of output, sent to any open port: `count` display
// cells (at most the display's 40) from `firstCell` on, and one lamp. Both
// throw what the port throws.
void SendDisplayCells(midi::CMIDIOutDevice& out, BYTE firstCell, const char* cells,
                      std::size_t count);
void SendLamp(midi::CMIDIOutDevice& out, BYTE note, bool on);
// What each message the controller sends sets on the surface, for the
// output port to tell which waiting message a later one makes invisible.
const midi::CFootprints& SurfaceFootprints();

class CMidiReceiveDlg : public midi::CMIDIReceiver {
 public:
  // Copies the host's record; opens nothing and sends nothing.
  explicit CMidiReceiveDlg(const HostServices* host);
  ~CMidiReceiveDlg() override;
  CMidiReceiveDlg(const CMidiReceiveDlg&) = delete;
  CMidiReceiveDlg& operator=(const CMidiReceiveDlg&) = delete;

  // The first step of closing: surface messages are dropped and the host is
  // called no more from now on, and the call waits (bounded) for a message
  // still being handled. False when one is still running: the controller
  // must then be kept, not destroyed.
  bool StopInput();
  // Stops input and closes both ports; the destructor does it too.
  void ClosePorts();
  // How long StopInput waits for a surface message being handled.
  static constexpr DWORD kInputStopBound = 200;
  // The most a close waits in all: for a message being handled, then for
  // each port's close.
  static constexpr DWORD kCloseBound =
      kInputStopBound + midi::CMIDIInDevice::kCloseBound + midi::CMIDIOutDevice::kCloseBound;
  static_assert(kCloseBound <= 1500, "CloseController returns within 1.5 s");

  // The surface's ports as the controller finds them: the highest-indexed
  // device of each direction whose name is a surface name, or -1. Public so
  // that tools can say what the plug-in would attach to.
  static int FindOutputDevice();
  static int FindInputDevice();
  // A surface name begins with "Quillmote", byte for byte.
  static bool IsSurfaceName(const char* name);

  // Finds and opens the surface's ports and prepares surface and controller.
  // Always returns 1; a missing surface sets m_noSurface.
  int Attach();
  // Index of the last valid host command named exactly `name`, or -1.
  int32_t FindHostCommand(const char* name) const;

  // Host notifications: returns `first` for every code it does not act on.
  HostArg OnHostUpdate(int32_t code, HostArg first, HostArg second, HostArg third);

  // Surface output. Each sends one complete message at once, write-through.
  void ClearDisplay();
  void AllLampsOff();
  // The display clear, then the seven lamps off, each tried whatever became
  // of the others; throws the first refusal once every one has been tried.
  void BlankSurface();
  void SetLamp(BYTE note, bool on);
  void ShowTrackName(const char* name);
  void ShowVolume(double volume);
  void ShowPan(int32_t pan);
  void ShowTrackLabel(int32_t track, int32_t value);
  void ShowLevels(double first, double second);
  void ShowTime(const char* text);
  void ShowWheelMark(BYTE cell, bool shown);

  // Surface input, on the input port's own thread. OnShortMsg decodes the
  // buttons and the wheel; nothing it does lets an exception out.
  void OnLongMsg(const char* bytes, DWORD length, DWORD timeStamp) override;
  void OnShortMsg(DWORD packed, DWORD timeStamp) override;
  void OnLongError(const char* bytes, DWORD length, DWORD timeStamp) override;
  void OnShortError(DWORD packed, DWORD timeStamp) override;

  // Runs the host command bound to the slot with this control id, if any:
  // status 0x90 on a press, 0x80 on a release.
  void RunBinding(int32_t controlId, bool pressed);

  bool NoSurface() const { return m_noSurface; }
  int32_t CurrentTrack() const { return m_currentTrack.load(); }
  double Volume() const { return m_volume.load(); }
  // Messages for the surface waiting in the output port for the wire.
  std::size_t WaitingMessages() const { return m_midiOut.WaitingMessages(); }
  int32_t UndoCommand() const { return m_undoCommand.load(); }
  int32_t RedoCommand() const { return m_redoCommand.load(); }

 private:
  void LcdWrite(BYTE firstCell, const char* cells, std::size_t count);
  void WriteField(BYTE firstCell, std::size_t width, const char* text);

  // Track index of a query: the low 16 bits, sign-extended.
  static int32_t QueryTrack(int32_t track);
  int32_t QueryFlag(int32_t code, int32_t track) const;
  void RefreshTrack(int32_t track, int32_t labelValue);
  void ShowCurrentTrackName();
  void ScanAny16();

  // Button and wheel input; each handler takes the pressed flag.
  void DecodeShortMsg(DWORD packed);
  void OnWheel(int32_t steps);
  void OnFlag19(bool pressed);
  void OnFlag16(bool pressed);
  void OnFlag15(bool pressed);
  void OnTrackLeft(bool pressed);
  void OnTrackRight(bool pressed);
  void OnUndo(bool pressed);
  void OnAdd(bool pressed);
  void OnPrev(bool pressed);
  void OnNext(bool pressed);
  void OnLoop(bool pressed);
  void OnIn(bool pressed);
  void OnOut(bool pressed);
  void OnRewind(bool pressed);
  void OnFastForward(bool pressed);
  void OnStop(bool pressed);
  void OnPlay(bool pressed);
  void OnRecord(bool pressed);
  void OnFootswitch(bool pressed);
  void OnPunch(bool pressed);
  void OnShift(bool pressed);
  // Shared steps of the handlers above.
  void Act(int32_t code, int32_t value, int32_t track = 0);
  void RunHostCommand(int32_t command, bool pressed);
  int32_t ActionTrack() const;
  int32_t PreviousTrack() const;
  int32_t NextTrack() const;
  void ToggleFlag(int32_t code, bool pressed, bool highestOnly);
  void ActionOrBinding(int32_t code, int32_t controlId, bool pressed);
  void BindingPerLayer(int32_t plainId, int32_t shiftedId, bool pressed);

  bool m_noSurface = false;
  // Never shown: it holds the command source the bindings are resolved
  // through, and loads them.
  CUserSettingsDlg m_settingsDlg;
  std::atomic<int32_t> m_undoCommand{-1};
  std::atomic<int32_t> m_redoCommand{-1};
  bool m_shift = false;
  bool m_wheelToPan = false;
  bool m_fineWheel = false;
  bool m_trackKeyHeld = false;
  // Each track key on its own, so that releasing one of two held keys
  // leaves the wheel selecting tracks.
  bool m_trackLeftHeld = false;
  bool m_trackRightHeld = false;
  const HostServices m_host;
  // Set once the close has begun: no host call starts after it.
  std::atomic<bool> m_hostCallsEnded{false};
  std::atomic<int32_t> m_currentTrack{-1};
  std::atomic<double> m_volume{0.0};
  bool m_loop = false;
  midi::CMIDIOutDevice m_midiOut;
  midi::CMIDIInDevice m_midiIn;
};

#endif
