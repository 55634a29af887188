/*
 * The Windows multimedia MIDI functions (winmm) that the plug-in uses, with
 * the system's names, record layouts and values. Behind them stands the
 * simulated MIDI system of libqmplatform, which tests drive through simctl.h.
 *
 * How the simulated system behaves where Windows leaves room:
 *  - Every open device has a system thread of its own that delivers all of
 *    that device's callbacks in order. A callback never runs on the thread
 *    that called the MIDI function, and no lock of the system is held while
 *    it runs, so a callback may call MIDI functions on other devices.
 *  - Output callbacks are called as
 *      void CALLBACK f(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
 *    and input callbacks with HMIDIIN in place of HMIDIOUT; declaring them
 *    with exactly these types keeps the sanitizers' function checks quiet.
 *  - CALLBACK_FUNCTION, CALLBACK_THREAD and CALLBACK_NULL are supported.
 *    With CALLBACK_THREAD, dwCallback is a thread id, and every notification
 *    a callback function would get is instead posted to that thread
 *    (PostThreadMessageA, winuser.h) as MM_MIM_xxx or MM_MOM_xxx, with the
 *    handle as wParam and the notification's first parameter as lParam; the
 *    instance value and the time stamp of input are not passed on. The post
 *    is made where and when the callback would have run (on the system
 *    thread, or inside the open or close call). A post the system refuses (the thread has no
 * message queue or has ended, or its queue is full) is lost, as a driver's is, and counted
 * (sim_lost_thread_messages in simctl.h).
 *  - A long message completes on the system thread after the completion
 *    delay (simctl.h): the system then reads the header's lpData and
 *    dwBufferLength, sets MHDR_DONE and clears MHDR_INQUEUE with one release
 *    store to dwFlags, and sends MOM_DONE with the header's address.
 *  - When midiOutClose or midiInClose returns, every callback of that handle
 *    has returned and no further one will come (unless simctl.h's late
 *    callbacks say otherwise).
 *  - Header functions accept any size from that of the older, shorter MIDIHDR
 *    (the fields before dwOffset) up; a smaller one is MMSYSERR_INVALPARAM.
 */
#ifndef QUILLMOTE_PLATFORM_MMSYSTEM_H
#define QUILLMOTE_PLATFORM_MMSYSTEM_H

#include <windows.h>

typedef UINT MMRESULT;
typedef UINT MMVERSION;

DECLARE_HANDLE(HMIDIOUT);
DECLARE_HANDLE(HMIDIIN);
DECLARE_HANDLE(HDRVR);
typedef HMIDIOUT* LPHMIDIOUT;
typedef HMIDIIN* LPHMIDIIN;

typedef void(CALLBACK DRVCALLBACK)(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1,
                                   DWORD_PTR dw2);
typedef DRVCALLBACK* LPDRVCALLBACK;
typedef DRVCALLBACK MIDICALLBACK;
typedef MIDICALLBACK* LPMIDICALLBACK;

/* ---- Result codes ---------------------------------------------------------- */

#define MMSYSERR_BASE 0
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR (MMSYSERR_BASE + 1)
#define MMSYSERR_BADDEVICEID (MMSYSERR_BASE + 2)
#define MMSYSERR_NOTENABLED (MMSYSERR_BASE + 3)
#define MMSYSERR_ALLOCATED (MMSYSERR_BASE + 4)
#define MMSYSERR_INVALHANDLE (MMSYSERR_BASE + 5)
#define MMSYSERR_NODRIVER (MMSYSERR_BASE + 6)
#define MMSYSERR_NOMEM (MMSYSERR_BASE + 7)
#define MMSYSERR_NOTSUPPORTED (MMSYSERR_BASE + 8)
#define MMSYSERR_BADERRNUM (MMSYSERR_BASE + 9)
#define MMSYSERR_INVALFLAG (MMSYSERR_BASE + 10)
#define MMSYSERR_INVALPARAM (MMSYSERR_BASE + 11)

#define MIDIERR_BASE 64
#define MIDIERR_UNPREPARED (MIDIERR_BASE + 0)
#define MIDIERR_STILLPLAYING (MIDIERR_BASE + 1)
#define MIDIERR_NOMAP (MIDIERR_BASE + 2)
#define MIDIERR_NOTREADY (MIDIERR_BASE + 3)
#define MIDIERR_NODEVICE (MIDIERR_BASE + 4)
#define MIDIERR_INVALIDSETUP (MIDIERR_BASE + 5)

#define MAXERRORLENGTH 256
#define MAXPNAMELEN 32

/* ---- Opening, callbacks and notifications -------------------------------- */

#define MIDI_MAPPER ((UINT)-1)

#define CALLBACK_TYPEMASK 0x00070000
#define CALLBACK_NULL 0x00000000
#define CALLBACK_WINDOW 0x00010000
#define CALLBACK_TASK 0x00020000
#define CALLBACK_THREAD CALLBACK_TASK
#define CALLBACK_FUNCTION 0x00030000
#define CALLBACK_EVENT 0x00050000
#define MIDI_IO_STATUS 0x00000020

#define MIM_OPEN 0x3C1
#define MIM_CLOSE 0x3C2
#define MIM_DATA 0x3C3
#define MIM_LONGDATA 0x3C4
#define MIM_ERROR 0x3C5
#define MIM_LONGERROR 0x3C6
#define MOM_OPEN 0x3C7
#define MOM_CLOSE 0x3C8
#define MOM_DONE 0x3C9
#define MIM_MOREDATA 0x3CC

/* The same notifications as thread messages (CALLBACK_THREAD). */
#define MM_MIM_OPEN 0x3C1
#define MM_MIM_CLOSE 0x3C2
#define MM_MIM_DATA 0x3C3
#define MM_MIM_LONGDATA 0x3C4
#define MM_MIM_ERROR 0x3C5
#define MM_MIM_LONGERROR 0x3C6
#define MM_MOM_OPEN 0x3C7
#define MM_MOM_CLOSE 0x3C8
#define MM_MOM_DONE 0x3C9
#define MM_MIM_MOREDATA 0x3CC

/* ---- Headers and capability records --------------------------------------- */

#define MHDR_DONE 0x00000001
#define MHDR_PREPARED 0x00000002
#define MHDR_INQUEUE 0x00000004
#define MHDR_ISSTRM 0x00000008

typedef struct midihdr_tag {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  struct midihdr_tag* lpNext;
  DWORD_PTR reserved;
  DWORD dwOffset;
  DWORD_PTR dwReserved[8];
} MIDIHDR, *PMIDIHDR, *NPMIDIHDR, *LPMIDIHDR;

#define MOD_MIDIPORT 1
#define MOD_SYNTH 2
#define MOD_SQSYNTH 3
#define MOD_FMSYNTH 4
#define MOD_MAPPER 5

/* 52 bytes, as on Windows. */
typedef struct tagMIDIOUTCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];
  WORD wTechnology;
  WORD wVoices;
  WORD wNotes;
  WORD wChannelMask;
  DWORD dwSupport;
} MIDIOUTCAPSA, *PMIDIOUTCAPSA, *NPMIDIOUTCAPSA, *LPMIDIOUTCAPSA;

/* 44 bytes, as on Windows. */
typedef struct tagMIDIINCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];
  DWORD dwSupport;
} MIDIINCAPSA, *PMIDIINCAPSA, *NPMIDIINCAPSA, *LPMIDIINCAPSA;

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Output ----------------------------------------------------------------- */

WINMMAPI UINT WINAPI midiOutGetNumDevs(void);
/* MMSYSERR_BADDEVICEID for an id out of range, MMSYSERR_INVALPARAM for a null
   record or a size below sizeof(MIDIOUTCAPSA). */
WINMMAPI MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc);
/* The system's text for a result code, cut to cchText with its NUL.
   MMSYSERR_BADERRNUM, with the buffer untouched, for a code without text. */
WINMMAPI MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);
/* MMSYSERR_ALLOCATED while the device is open already. MOM_OPEN follows on
   the device's system thread. */
WINMMAPI MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                                     DWORD_PTR dwInstance, DWORD fdwOpen);
/* MIDIERR_STILLPLAYING while a header is queued (handed over and not done).
   Delivers MOM_CLOSE and returns after the handle's last callback. */
WINMMAPI MMRESULT WINAPI midiOutClose(HMIDIOUT hmo);
WINMMAPI MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
/* MIDIERR_STILLPLAYING for a header that is queued and not done. */
WINMMAPI MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
WINMMAPI MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg);
/* MIDIERR_UNPREPARED for an unprepared header, MIDIERR_STILLPLAYING for one
   that is queued already. Sets MHDR_INQUEUE, clears MHDR_DONE and returns at
   once; the system completes the message later on its own thread. */
WINMMAPI MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
/* Every queued header is marked done before this returns (its bytes are not
   sent); their MOM_DONE notifications follow on the system thread. */
WINMMAPI MMRESULT WINAPI midiOutReset(HMIDIOUT hmo);

/* ---- Input ------------------------------------------------------------------ */

WINMMAPI UINT WINAPI midiInGetNumDevs(void);
WINMMAPI MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic);
WINMMAPI MMRESULT WINAPI midiInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);
/* MIM_OPEN follows on the device's system thread. Input stays off until
   midiInStart. */
WINMMAPI MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                                    DWORD_PTR dwInstance, DWORD fdwOpen);
/* MIDIERR_STILLPLAYING while buffers are added; otherwise as midiOutClose,
   with MIM_CLOSE. */
WINMMAPI MMRESULT WINAPI midiInClose(HMIDIIN hmi);
WINMMAPI MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
WINMMAPI MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
WINMMAPI MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
WINMMAPI MMRESULT WINAPI midiInStart(HMIDIIN hmi);
/* Stops input; added buffers stay with the system. */
WINMMAPI MMRESULT WINAPI midiInStop(HMIDIIN hmi);
/* Stops input and returns every added buffer, marked done with
   dwBytesRecorded 0, through MIM_LONGDATA. */
WINMMAPI MMRESULT WINAPI midiInReset(HMIDIIN hmi);

#ifdef __cplusplus
}
#endif

#define MIDIOUTCAPS MIDIOUTCAPSA
#define PMIDIOUTCAPS PMIDIOUTCAPSA
#define LPMIDIOUTCAPS LPMIDIOUTCAPSA
#define MIDIINCAPS MIDIINCAPSA
#define PMIDIINCAPS PMIDIINCAPSA
#define LPMIDIINCAPS LPMIDIINCAPSA
#define midiOutGetDevCaps midiOutGetDevCapsA
#define midiOutGetErrorText midiOutGetErrorTextA
#define midiInGetDevCaps midiInGetDevCapsA
#define midiInGetErrorText midiInGetErrorTextA

#endif
