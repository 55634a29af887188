/*
 * The test and emulation side of the simulated system.
 *
 * The plug-in only ever sees the Win32 functions of <windows.h> and
 * <mmsystem.h>. Tests, the desk and other tools use this interface to set the
 * simulated machine up (MIDI devices, faults, timing) and to play the surface:
 * read what the plug-in sent, send button and wheel input, collect debugger
 * output. It is a plain C interface so that a Windows build of the simulated
 * MIDI system can expose the same functions from its own DLL.
 *
 * Everything here is thread-safe.
 */
#ifndef QUILLMOTE_SIMCTL_H
#define QUILLMOTE_SIMCTL_H

#include <stddef.h>

#if defined(_WIN32) && defined(SIMCTL_BUILDING)
#define SIMCTL_API __declspec(dllexport)
#elif defined(_WIN32)
#define SIMCTL_API __declspec(dllimport)
#else
#define SIMCTL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Machine set-up ------------------------------------------------------ */

/* Back to a fresh machine: every device removed (open handles become invalid),
   traffic, debugger lines, faults and call counts cleared, completion delay 0.
   Also ends holding, late callbacks and waiting closes, removes the output
   listener, and (Linux) sets the message queues' limit back to 10000.
   Callbacks still waiting for delivery are dropped; one that is running is
   waited for. Events and threads of kernel32, and the threads' message
   queues, are not touched. */
SIMCTL_API void sim_reset(void);

/* Adds a MIDI device with the given name (cut to 31 bytes) and returns its
   device id. Ids are assigned in order of addition, per direction, from 0. */
SIMCTL_API unsigned sim_add_output(const char* name);
SIMCTL_API unsigned sim_add_input(const char* name);

/* Marks a device as held by another program (taken nonzero) or frees it
   again: while taken, midiOutOpen or midiInOpen of it returns
   MMSYSERR_ALLOCATED, as Windows does for a port another program has open.
   A handle already open stays open. direction is SIM_OUTPUT or SIM_INPUT.
   Returns 0 when there is no such device. sim_reset frees every device. */
#define SIM_OUTPUT 0
#define SIM_INPUT 1
SIMCTL_API int sim_set_device_taken(int direction, unsigned device, int taken);

/* Delay in milliseconds between midiOutLongMsg and the system reading the
   header's bytes, setting MHDR_DONE and sending MOM_DONE. */
SIMCTL_API void sim_set_completion_delay(unsigned milliseconds);
/* Delay in milliseconds between a surface message reaching the driver and
   the system thread taking it from the driver's ring to deliver it: with
   SIM_LATE_DRAIN_AFTER_CLOSE, what the surface sent just before a close
   then reaches the application after the close returned. */
SIMCTL_API void sim_set_input_delay(unsigned milliseconds);

/* When nonzero, completion of long messages is held back until released with
   sim_release_completions(); lets tests control done notifications exactly.
   Holding applies to messages handed over while it is on; turning it off
   completes the ones still held, oldest first. */
SIMCTL_API void sim_hold_completions(int hold);
/* Completes up to `count` held long messages of the output device, in the order
   given by `reverse` (0 oldest first, 1 newest first). Returns how many.
   Returns once their MOM_DONE callbacks have returned (at once when called on
   that device's own system thread). A held message still counts as in flight
   for midiOutClose and sim_pending_headers. */
SIMCTL_API unsigned sim_release_completions(unsigned device, unsigned count, int reverse);

/* Real-driver timing. Every callback that a handle's system thread has begun
   reaches the application `lateness` milliseconds later: the system's own
   changes (a header marked done, input stopped) are made first.
   midiOutClose and midiInClose return without waiting for such a callback
   (midiInStop and midiInReset never wait), and the close notification comes
   last, from the system thread. Flags:
   SIM_LATE_CLOSE_INLINE  the close notification is delivered on the caller's
                          thread inside the close call, before anything the
                          system thread has not yet begun (which is dropped),
                          while a callback it has begun may still be running;
   SIM_LATE_NO_CLOSE      the close notification never comes;
   SIM_LATE_DRAIN_AFTER_CLOSE
                          as a driver that drains its ring of received input
                          after an inline close: the close notification is
                          delivered on the caller's thread inside the close
                          call, at once, and the system thread then goes on
                          to deliver everything it still had to (input data
                          sent before the close, though input has stopped,
                          and done notifications): after the close
                          notification and after the close returned.
                          Stronger than SIM_LATE_CLOSE_INLINE, which it
                          overrides; with SIM_LATE_NO_CLOSE only the
                          notification is left out.
   sim_end_late_callbacks and sim_reset end the mode. */
#define SIM_LATE_CLOSE_INLINE 1
#define SIM_LATE_NO_CLOSE 2
#define SIM_LATE_DRAIN_AFTER_CLOSE 4
SIMCTL_API void sim_set_late_callbacks(unsigned lateness_milliseconds, int flags);
SIMCTL_API void sim_end_late_callbacks(void);
/* Waits until no system thread has a callback running or to deliver, those
   of closed handles included. Returns 1 when done, 0 when the timeout passed
   first. */
SIMCTL_API int sim_wait_callbacks_done(unsigned timeout_milliseconds);
/* Callbacks the system dropped since the last reset because the code they
   would have called was no longer loaded: a module unloaded while a handle
   it opened still had callbacks to come. */
SIMCTL_API unsigned sim_stray_callbacks(void);
/* Notifications that handles' system threads gave (or dropped as stray)
   after the handle's close call had returned without waiting for them, in
   late mode, since the last reset. */
SIMCTL_API unsigned sim_callbacks_after_close(void);
/* Thread messages of handles opened with CALLBACK_THREAD that the system
   refused to queue, since the last reset: the thread had no message queue
   (it never asked for one, or it has ended) or its queue was full. Such a
   notification is lost, as a driver's is. */
SIMCTL_API unsigned sim_lost_thread_messages(void);

/* With on nonzero, midiInStop, midiInReset, midiInClose, midiOutReset and
   midiOutClose make their change and then, without a time limit, wait until
   the callback that the handle's system thread is running, if any, has
   returned (as a system whose own client waits for a delivery in
   progress), unless they are called from that callback's own thread. A
   callback that waits for the caller deadlocks the call. With
   CALLBACK_THREAD the callback is only the post of the message, so such a
   call waits for nothing of the application's. Works with late callbacks
   too: the call then waits for the callback in progress, not for those
   still to come. sim_reset turns it off. */
SIMCTL_API void sim_set_close_waits_for_callbacks(int on);
/* MIDI calls now waiting so for a callback in progress: lets a test see a
   stop or close blocked without timing it. */
SIMCTL_API unsigned sim_waiting_for_callbacks(void);

/* Linux build only: the milliseconds the calling thread asked to wait for
   in Sleep and in WaitForSingleObject and MsgWaitForMultipleObjects calls
   that timed out, since it began. A test checks a time bound through what
   the code waited for. */
SIMCTL_API unsigned sim_thread_timed_waits(void);
/* Linux build only: threads started by CreateThread that have not yet
   ended, suspended ones included. A thread no longer counts by the time its
   object is signalled, so that a test that waited for every thread's handle
   finds none left. */
SIMCTL_API unsigned sim_live_threads(void);
/* Linux build only: the most posted messages one thread's queue holds
   (10000, as on Windows, until set; sim_reset sets it back). A post beyond
   it fails with ERROR_NOT_ENOUGH_QUOTA; 0 refuses every post. */
SIMCTL_API void sim_set_thread_queue_limit(unsigned limit);

/* ---- Fault injection ----------------------------------------------------- */

/* The named platform function ("midiOutOpen", "CreateEventA", "CreateThread",
   "RegOpenKeyA", ...) lets `skip` calls succeed and then fails the next `count`
   calls (0 = every call) with `result`: the return value for functions that
   return a result code, the GetLastError value for functions that return a
   handle (they return NULL). In detail:
   - MMRESULT functions return `result`; midiOutOpen and midiInOpen also set
     the handle to NULL. midiOutGetNumDevs and midiInGetNumDevs report
     `result` devices. WaitForSingleObject returns `result`.
   - CreateEventA, CreateThread and LoadLibraryA return NULL, and the BOOL
     functions (SetEvent, ResetEvent, CloseHandle, GetExitCodeThread,
     SetThreadPriority, TryEnterCriticalSection, FreeLibrary,
     PostThreadMessageA, PeekMessageA) return FALSE, with GetLastError() ==
     `result`; ResumeThread returns (DWORD)-1 and GetMessageA -1 likewise.
     MsgWaitForMultipleObjects returns `result`. A failed FreeLibrary keeps
     its reference; a failed PostThreadMessageA queues nothing.
   - Functions that cannot fail on Windows (the other critical-section
     functions, Sleep, GetTickCount, GetCurrentThreadId, Get/SetLastError,
     OutputDebugStringA, wsprintfA, wvsprintfA, FreeLibraryAndExitThread,
     DispatchMessageA, TranslateMessage) are counted but never fail.
   - The simulated MIDI system's own posts to CALLBACK_THREAD threads are no
     calls of PostThreadMessageA: they are neither counted nor failed.
   A new sim_fail for the same function replaces the previous one. */
SIMCTL_API void sim_fail(const char* function, unsigned result, unsigned skip, unsigned count);
SIMCTL_API void sim_clear_faults(void);
/* Calls made to the named platform function since the last reset. */
SIMCTL_API unsigned sim_call_count(const char* function);
/* The names of the platform functions called since the last reset, in name
   order: copies name `index` into buf as a NUL-terminated text cut to cap
   bytes and returns its full length, or 0 when there is no such name. Lets a
   test find out which functions a run of the plug-in calls. */
SIMCTL_API size_t sim_called_function(size_t index, char* buf, size_t cap);

/* ---- Threads waking on their own ---------------------------------------- */

/* A thread started with CreateThread wakes on its own when a wait of its
   times out: a worker that looks at its port now and then even without a
   signal. sim_threads_woke_on_their_own returns 1 when every such thread
   that still runs its routine has, since the last sim_mark_thread_wakes (or
   since it started, if later), come back from a wait (WaitForSingleObject
   or MsgWaitForMultipleObjects) that timed out and begun another, so that
   it did one whole round of its loop on its own; or else waits without a
   time limit (GetMessageA among them), so that it can't. Returns 0
   otherwise. Lets a test wait until the workers have done what they do on
   their own, instead of sleeping for long enough. */
SIMCTL_API void sim_mark_thread_wakes(void);
SIMCTL_API int sim_threads_woke_on_their_own(void);

/* ---- Surface side: what the plug-in sent -------------------------------- */

/* Every message an output device received, in the order the plug-in handed
   them to the system: short messages as their 1 to 3 wire bytes (by status),
   long messages as the bytes read at completion. A message counts as
   received once everything handed over before it has been: a short message
   sent while no long message is in flight is received before midiOutShortMsg
   returns, one sent behind a long message when that completes. A long
   message ended by midiOutReset is not received at all. */
SIMCTL_API size_t sim_sent_count(unsigned device);
/* Copies message `index` into buf (at most cap bytes); returns its length, or
   0 when there is no such message. */
SIMCTL_API size_t sim_sent_message(unsigned device, size_t index, unsigned char* buf, size_t cap);
SIMCTL_API void sim_clear_sent(void);

/* Called on a system thread for every message an output device receives. */
typedef void (*sim_output_listener)(void* context, unsigned device, const unsigned char* bytes,
                                    size_t length);
SIMCTL_API void sim_set_output_listener(sim_output_listener listener, void* context);

/* Waits until no output device has a message in flight and every output
   callback and listener call already due has returned, and every thread
   that output notifications were posted to (CALLBACK_THREAD) has handled
   them; again, until that handling sent nothing more. Held messages don't
   count: they wait for sim_release_completions; on the manual clock neither
   do messages due later. Returns 1 when idle, 0 when the timeout passed
   first. */
SIMCTL_API int sim_wait_idle(unsigned timeout_milliseconds);

/* ---- Surface side: the wire and the display ---------------------------- */

/* The MIDI cable's rate in bytes a second (a DIN cable carries 3125), or 0
   for none (sim_reset). With a rate, every message an output device takes
   holds its wire for its length, behind what the wire still carries, and a
   long message of the queued driver is done once its last byte is through
   (not before the completion delay either). */
SIMCTL_API void sim_set_wire_rate(unsigned bytes_per_second);

/* How the output driver reports a long message done (sim_reset: queued):
   SIM_DRIVER_QUEUED       on the system thread, once the bytes are out; with
                           no completion delay, no wire rate and no late
                           callbacks (nothing to wait for) the bytes are read
                           and MHDR_DONE set before midiOutLongMsg returns,
                           and MOM_DONE follows on the system thread;
   SIM_DRIVER_DONE_INLINE  inside midiOutLongMsg: done flag set and MOM_DONE
                           posted (to a CALLBACK_THREAD thread) before the
                           call returns; the bytes still take their wire time;
   SIM_DRIVER_BLOCKING     midiOutLongMsg returns only once the last byte is
                           through, done flag set and MOM_DONE posted (on the
                           manual clock the call moves the clock on itself);
   SIM_DRIVER_DONE_EARLY   on the system thread at once (after the completion
                           delay), while the bytes wait in a buffer of the
                           driver's own for the wire.
   Returns 0 for an unknown kind. */
#define SIM_DRIVER_QUEUED 0
#define SIM_DRIVER_DONE_INLINE 1
#define SIM_DRIVER_BLOCKING 2
#define SIM_DRIVER_DONE_EARLY 3
SIMCTL_API int sim_set_output_driver(int kind);

/* The system's clock: the real one, or with on nonzero a manual one that
   stands still until sim_advance_clock moves it on (wire times, completion
   delays and the display's record go by it). It goes on from where the
   other stood. sim_reset goes back to the real clock. */
SIMCTL_API void sim_set_manual_clock(int on);
/* Moves the manual clock on and returns once everything that came due has
   been delivered and handled, as sim_wait_idle waits (10 s at most).
   Returns 0 without the manual clock or when that bound passed. */
SIMCTL_API int sim_advance_clock(unsigned microseconds);
SIMCTL_API unsigned long long sim_clock_microseconds(void);

/* The surface's 40 display cells (two lines of 20) as the display writes
   received so far made them, from 40 spaces: copies them into cells (40
   bytes, no NUL) and returns how many display writes were applied. A
   display write is F0 00 01 40 10 00, its first cell, a byte a cell, F7. */
SIMCTL_API size_t sim_display_cells(unsigned device, char* cells);
/* Every change of the display, oldest first: its time on the system's clock
   in microseconds (with a wire rate, when the write's last byte was
   through) and the 40 cells after it. sim_clear_sent and sim_reset clear
   them. Returns 0 when there is no such change. */
SIMCTL_API size_t sim_display_change_count(unsigned device);
SIMCTL_API int sim_display_change(unsigned device, size_t index, unsigned long long* microseconds,
                                  char* cells);

/* Output headers currently prepared (prepared and not yet unprepared), and
   those handed to the system and not yet done. */
SIMCTL_API unsigned sim_prepared_headers(void);
SIMCTL_API unsigned sim_pending_headers(void);

/* Open handles of MIDI devices, both directions. */
SIMCTL_API unsigned sim_open_devices(void);

/* ---- Surface side: input ------------------------------------------------- */

/* Sends a short message from the surface: MIM_DATA with the packed message
   and time stamp, delivered on the system's input thread, only while the
   device is started (as Windows does). With wait nonzero, returns after the
   callback has returned. Returns 1 when delivered (or queued), 0 when dropped
   because the device is not started. */
SIMCTL_API int sim_send_input(unsigned device, unsigned packed, unsigned timestamp, int wait);

/* Sends a system-exclusive message from the surface while the device is
   started: the bytes are written into the oldest buffers added with
   midiInAddBuffer (continuing into the next when one is full), each filled
   buffer is marked done with its dwBytesRecorded and returned through
   MIM_LONGDATA with the time stamp. With wait nonzero, returns after the last
   callback has returned. Returns 1 when the whole message found buffers, 0
   when it was dropped in whole or in part (not started, no buffers left). */
SIMCTL_API int sim_send_input_sysex(unsigned device, const unsigned char* bytes, size_t length,
                                    unsigned timestamp, int wait);

/* Delivers any notification (MIM_LONGDATA, MIM_ERROR, ...) with its two
   parameters to the input device's callback, whatever its state, on the
   system's input thread; waits until delivered. Returns 0 when the device is
   not open. */
SIMCTL_API int sim_deliver_input(unsigned device, unsigned message, size_t param1, size_t param2);

/* Nonzero when the calling thread is one of the simulated system's threads. */
SIMCTL_API int sim_on_system_thread(void);

/* ---- Debugger output ----------------------------------------------------- */

/* Each OutputDebugStringA call is one entry, as given. */
SIMCTL_API size_t sim_debug_count(void);
/* Copies entry `index` into buf as a NUL-terminated text cut to cap bytes;
   returns the entry's full length, or 0 when there is no such entry. */
SIMCTL_API size_t sim_debug_line(size_t index, char* buf, size_t cap);
SIMCTL_API void sim_debug_clear(void);

/* ---- The user at the screen: dialogs and message boxes ------------------
   Windows are the HWNDs of <windows.h>, passed here as void*. The dialog is
   read through the ordinary functions (GetWindowTextA, GetDlgItem,
   GetWindow, GetClassNameA, GetWindowLongA, SendMessageA with CB_GETCOUNT,
   CB_GETLBTEXT, CB_GETCURSEL, ...); the functions below act as its user.
   None of this is cleared by sim_reset; sim_user_reset clears it. */

/* Called on the dialog's own thread whenever a modal dialog has been
   initialised and waits for its user, with the dialog's window. When it
   returns with the dialog still open, or when no script is set, the user
   presses Escape. Null removes the script. */
typedef void (*sim_dialog_script)(void* context, void* dialog);
SIMCTL_API void sim_set_dialog_script(sim_dialog_script script, void* context);

/* Picks list item `index` of a combo box from its dropped-down list: the
   item is selected and shown in the edit field, and the dialog is told
   (CBN_SELCHANGE). Returns 0 for a window that is not a combo box or an
   index outside the list. */
SIMCTL_API int sim_user_choose(void* combo, int index);
/* Types `text` into a control, replacing what its edit field held; in a
   combo box this drops the list's selection (CBN_EDITCHANGE). */
SIMCTL_API int sim_user_type(void* control, const char* text);
/* Clicks the dialog's push button with this id (WM_COMMAND, BN_CLICKED).
   Returns 0 when there is no such button or it is disabled. */
SIMCTL_API int sim_user_click(void* dialog, int id);
/* Presses a key in the dialog: VK_RETURN (0x0D) works the default push
   button (IDOK when there is none), VK_ESCAPE (0x1B) sends IDCANCEL. */
SIMCTL_API int sim_user_key(void* dialog, int virtual_key);
/* Clicks the caption's close box: WM_CLOSE, which a dialog that does not
   handle it turns into IDCANCEL. */
SIMCTL_API int sim_user_close(void* dialog);

/* A window's position and size in dialog units, as its template gave them.
   Returns 0 for a window that does not exist. */
SIMCTL_API int sim_window_rect(void* window, int* x, int* y, int* cx, int* cy);
/* The dialog's font as its template gave it: the face name into buf (cut to
   cap bytes); returns the point size, 0 when it has none. */
SIMCTL_API int sim_dialog_font(void* dialog, char* buf, size_t cap);
/* Modal dialogs started since sim_user_reset, and the windows that exist. */
SIMCTL_API unsigned sim_dialog_count(void);
SIMCTL_API unsigned sim_window_count(void);

/* Message boxes shown since sim_user_reset, each as its caption, a line
   feed and its text. Copies entry `index` cut to cap bytes; returns its full
   length, or 0 when there is no such entry. */
SIMCTL_API size_t sim_message_box_count(void);
SIMCTL_API size_t sim_message_box_text(size_t index, char* buf, size_t cap);
/* What the user answers every message box with (IDOK, 1, until set). */
SIMCTL_API void sim_set_message_box_answer(int answer);

/* No script, no dialogs or message boxes counted, the answer IDOK. */
SIMCTL_API void sim_user_reset(void);

#ifdef __cplusplus
}
#endif

#endif
