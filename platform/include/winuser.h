/*
 * The windows and dialogs of user32 that the plug-in uses, with the system's
 * names and values, over a headless dialog engine.
 *
 * DialogBoxParamA builds the dialog and its controls from a DIALOGEX (or
 * DIALOG) template in the module's resources (libloaderapi.h), sends
 * WM_INITDIALOG, and then lets the simulated user act (simctl.h: the dialog
 * script); nothing is drawn. How the engine behaves where Windows leaves room:
 *  - All of a dialog's messages are handled on the thread that runs it; the
 *    script runs there too, as a modal loop would dispatch the user's input.
 *  - When the script returns with the dialog still open, or no script is
 *    set, the user presses Escape (WM_COMMAND IDCANCEL). A dialog that still
 *    does not end is closed with IDCANCEL, which the debugger output notes.
 *  - Combo boxes keep a list and an edit field. With CBS_SORT, CB_ADDSTRING
 *    puts a text after every item that does not sort after it, comparing
 *    without regard to letter case (byte order of the lower-cased texts);
 *    CB_FINDSTRINGEXACT compares whole texts the same way. Selecting an item
 *    shows its text in the edit field; typing (sim_user_type) drops the
 *    selection, as when the list is closed.
 *  - MessageBoxA draws nothing: it records caption and text (simctl.h) and
 *    returns the simulated user's answer, IDOK unless set otherwise.
 *  - Windows are HWNDs that stay invalid once their dialog has ended.
 *
 * Thread messages, as Windows has them for a thread that owns no window:
 *  - A thread gets its message queue on its first PeekMessageA, GetMessageA
 *    or MsgWaitForMultipleObjects call; until then, and once it has ended,
 *    PostThreadMessageA to it fails with ERROR_INVALID_THREAD_ID. What was
 *    still queued when it ended is dropped. A queue holds at most 10000
 *    messages (sim_set_thread_queue_limit in simctl.h); a post to a full
 *    one fails with ERROR_NOT_ENOUGH_QUOTA.
 *  - Messages come out in the order they were posted. A filter of 0, 0
 *    takes every message; WM_QUIT is taken whatever the filter. MSG.time is
 *    the tick count (GetTickCount) of the post, MSG.pt is 0, 0.
 *  - hWnd must be null or (HWND)-1 (thread messages only; no message is
 *    ever posted to a window): PeekMessageA returns FALSE and GetMessageA
 *    -1 with ERROR_INVALID_WINDOW_HANDLE for any other.
 *  - MsgWaitForMultipleObjects, as on Windows, wakes for *new* posted
 *    messages: those posted since the thread last called PeekMessageA or
 *    GetMessageA. A message still queued that such a call could have seen
 *    does not end the wait; drain the queue before waiting again.
 */
#ifndef QUILLMOTE_PLATFORM_WINUSER_H
#define QUILLMOTE_PLATFORM_WINUSER_H

#include <windows.h>

#include <libloaderapi.h>

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *PMSG, *LPMSG;

#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))

#pragma pack(push, 2)
typedef struct {
  DWORD style;
  DWORD dwExtendedStyle;
  WORD cdit;
  short x;
  short y;
  short cx;
  short cy;
} DLGTEMPLATE;
#pragma pack(pop)
typedef DLGTEMPLATE* LPDLGTEMPLATEA;
typedef const DLGTEMPLATE* LPCDLGTEMPLATEA;

/* Window messages */
#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_SETFOCUS 0x0007
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define BM_CLICK 0x00F5
#define WM_QUIT 0x0012
#define WM_USER 0x0400
#define WM_APP 0x8000

/* PeekMessageA */
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

/* MsgWaitForMultipleObjects wake masks: only posted messages exist here. */
#define QS_KEY 0x0001
#define QS_MOUSEMOVE 0x0002
#define QS_MOUSEBUTTON 0x0004
#define QS_POSTMESSAGE 0x0008
#define QS_TIMER 0x0010
#define QS_PAINT 0x0020
#define QS_SENDMESSAGE 0x0040
#define QS_HOTKEY 0x0080
#define QS_ALLPOSTMESSAGE 0x0100
#define QS_MOUSE (QS_MOUSEMOVE | QS_MOUSEBUTTON)
#define QS_INPUT (QS_MOUSE | QS_KEY)
#define QS_ALLEVENTS (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY)
#define QS_ALLINPUT (QS_ALLEVENTS | QS_SENDMESSAGE)

/* Dialog box command ids and message box results */
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

/* Window styles */
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_MAXIMIZE 0x01000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L

/* Dialog styles */
#define DS_ABSALIGN 0x01L
#define DS_SYSMODAL 0x02L
#define DS_LOCALEDIT 0x20L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_NOIDLEMSG 0x100L
#define DS_SETFOREGROUND 0x200L
#define DS_FIXEDSYS 0x0008L
#define DS_SHELLFONT (DS_SETFONT | DS_FIXEDSYS)

/* Button styles and notifications */
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_TYPEMASK 0x0000000FL
#define BN_CLICKED 0

/* Static styles */
#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_RIGHT 0x00000002L
#define SS_TYPEMASK 0x0000001FL

/* Combo box styles, messages, results and notifications */
#define CBS_SIMPLE 0x0001L
#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_AUTOHSCROLL 0x0040L
#define CBS_SORT 0x0100L
#define CBS_HASSTRINGS 0x0200L

#define CB_ADDSTRING 0x0143
#define CB_DELETESTRING 0x0144
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_INSERTSTRING 0x014A
#define CB_RESETCONTENT 0x014B
#define CB_FINDSTRING 0x014C
#define CB_SETCURSEL 0x014E
#define CB_FINDSTRINGEXACT 0x0158

#define CB_OKAY 0
#define CB_ERR (-1)
#define CB_ERRSPACE (-2)

#define CBN_SELCHANGE 1
#define CBN_EDITCHANGE 5

/* Window fields and relations */
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWL_ID (-12)
#define GWLP_ID (-12)
#define GWLP_USERDATA (-21)
#define GW_HWNDFIRST 0
#define GW_HWNDLAST 1
#define GW_HWNDNEXT 2
#define GW_HWNDPREV 3
#define GW_OWNER 4
#define GW_CHILD 5

/* Message boxes */
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_YESNO 0x00000004L
#define MB_ICONERROR 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONWARNING 0x00000030L
#define MB_ICONINFORMATION 0x00000040L

/* Keys the simulated user presses */
#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_DLG_ITEM 1421L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

#ifdef __cplusplus
extern "C" {
#endif

WINUSERAPI INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName,
                                          HWND hWndParent, DLGPROC lpDialogFunc,
                                          LPARAM dwInitParam);
WINUSERAPI INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE hInstance,
                                                  LPCDLGTEMPLATEA hDialogTemplate, HWND hWndParent,
                                                  DLGPROC lpDialogFunc, LPARAM dwInitParam);
WINUSERAPI BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);
WINUSERAPI HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
WINUSERAPI int WINAPI GetDlgCtrlID(HWND hWnd);
WINUSERAPI LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                              LPARAM lParam);
WINUSERAPI int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
WINUSERAPI int WINAPI GetWindowTextLengthA(HWND hWnd);
WINUSERAPI BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString);
WINUSERAPI int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount);
WINUSERAPI LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex);
WINUSERAPI LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex);
WINUSERAPI LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
WINUSERAPI HWND WINAPI GetParent(HWND hWnd);
WINUSERAPI HWND WINAPI GetWindow(HWND hWnd, UINT uCmd);
WINUSERAPI BOOL WINAPI IsWindow(HWND hWnd);
WINUSERAPI HWND WINAPI SetFocus(HWND hWnd);
WINUSERAPI HWND WINAPI GetFocus(void);
WINUSERAPI HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
WINUSERAPI int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

/* Thread messages (see above). */
WINUSERAPI BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
/* TRUE when a message was found (and, with PM_REMOVE, taken). */
WINUSERAPI BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg);
/* Waits without a time limit for a message and takes it: 0 for WM_QUIT,
   -1 on an error (a null lpMsg, a window), nonzero otherwise. */
WINUSERAPI BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
/* Thread messages have no window to go to: nothing is dispatched (0) and
   nothing translated (FALSE), as on Windows; a host's own message loop can
   call them all the same. */
WINUSERAPI LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
WINUSERAPI BOOL WINAPI TranslateMessage(const MSG* lpMsg);
/* Waits for one of nCount events or threads (WAIT_OBJECT_0 + its index) or
   for a new posted message that dwWakeMask asks for (WAIT_OBJECT_0 +
   nCount), whichever comes first; WAIT_TIMEOUT when dwMilliseconds passed.
   An object signalled at once wins over a message. fWaitAll TRUE (all
   objects and a message) is not supported: WAIT_FAILED with
   ERROR_NOT_SUPPORTED. */
WINUSERAPI DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles,
                                                  BOOL fWaitAll, DWORD dwMilliseconds,
                                                  DWORD dwWakeMask);

#ifdef __cplusplus
}
#endif

#define DialogBoxParam DialogBoxParamA
#define SendMessage SendMessageA
#define MessageBox MessageBoxA
#define PostThreadMessage PostThreadMessageA
#define PeekMessage PeekMessageA
#define GetMessage GetMessageA
#define DispatchMessage DispatchMessageA

#endif
