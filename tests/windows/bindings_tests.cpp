// The bindings dialog of the real DLL under a real window system: one thread
// is the host, which calls ConfigureController and waits in it; the other
// plays the user, who finds the dialog by its caption, reads it, changes it
// and closes it. What OK stored is read back from the registry.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dialog_layout.h"
#include <gtest/gtest.h>

namespace {

constexpr const char* kCaption = test::kDialogCaption;
constexpr char kKey[] = "Software\\Harrowgate\\QuillmoteVelloran";

typedef void(__cdecl* GetCommandNameFn)(int32_t, char*, int32_t, int32_t*);
typedef int(__cdecl* ConfigureFn)(int32_t, int32_t, int32_t, GetCommandNameFn);

const std::vector<std::string> kCommands = {"Zoom",
                                            "Hidden",
                                            "Add",
                                            "Mark",
                                            "Undo (1)",
                                            "Metronome On/Off toggle",
                                            "Selection Anchor Left when playing"};

void __cdecl CommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  *valid = 0;
  if (index < 0 || index >= static_cast<int32_t>(kCommands.size())) return;
  std::snprintf(buffer, static_cast<size_t>(size), "%s",
                kCommands[static_cast<size_t>(index)].c_str());
  *valid = index == 1 ? 0 : 1;  // "Hidden" is not a valid command
}

using test::Items;
using test::Selected;
using test::Text;

// The dialog once it is on screen; null if it never comes.
HWND WaitForDialog() {
  for (int attempt = 0; attempt < 3000; ++attempt) {
    HWND dialog = FindWindowA(nullptr, kCaption);
    if (dialog != nullptr && IsWindowVisible(dialog)) {
      // Let the dialog's thread finish whatever it was doing, painting too.
      RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      return dialog;
    }
    Sleep(10);
  }
  return nullptr;
}

bool WaitUntilGone(HWND dialog) {
  for (int attempt = 0; attempt < 3000 && IsWindow(dialog); ++attempt) Sleep(10);
  return !IsWindow(dialog);
}

// A message box the dialog shows (another window of the dialog class with the
// same caption, owned by the dialog) once it is on screen; null if it never
// comes.
HWND WaitForMessageBox(HWND dialog) {
  for (int attempt = 0; attempt < 3000; ++attempt) {
    for (HWND window = FindWindowExA(nullptr, nullptr, "#32770", kCaption); window != nullptr;
         window = FindWindowExA(nullptr, window, "#32770", kCaption)) {
      if (window != dialog && GetWindow(window, GW_OWNER) == dialog && IsWindowVisible(window)) {
        return window;
      }
    }
    Sleep(10);
  }
  return nullptr;
}

// The texts of a window's static controls, one after another.
std::string StaticTexts(HWND window) {
  std::string texts;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    char className[32] = {};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0) continue;
    char text[1024] = {};
    GetWindowTextA(child, text, sizeof text);
    texts += text;
  }
  return texts;
}

// Saves what the screen shows of the window as a 24-bit BMP.
bool SaveScreenshot(HWND window, const char* path) {
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, previous);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const int stride = (width * 3 + 3) & ~3;
  std::vector<BYTE> pixels(static_cast<size_t>(stride) * static_cast<size_t>(height));
  const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                             reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return false;

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
            std::fwrite(&info, sizeof info, 1, out) == 1 &&
            std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
  ok = std::fclose(out) == 0 && ok;
  return ok;
}

struct Value {
  LONG result = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

Value ReadValue(const char* name) {
  Value value;
  HKEY key = nullptr;
  value.result = RegOpenKeyA(HKEY_CURRENT_USER, kKey, &key);
  if (value.result != ERROR_SUCCESS) return value;
  value.data.resize(512);
  DWORD size = static_cast<DWORD>(value.data.size());
  value.result = RegQueryValueExA(key, name, nullptr, &value.type, value.data.data(), &size);
  value.data.resize(value.result == ERROR_SUCCESS ? size : 0);
  RegCloseKey(key);
  return value;
}

std::vector<BYTE> Bytes(const std::string& text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

class BindingsDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_module = LoadLibraryA(QM_PLUGIN_FILE);
    ASSERT_NE(s_module, nullptr) << "cannot load " << QM_PLUGIN_FILE;
  }
  void SetUp() override {
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    m_configure = reinterpret_cast<ConfigureFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(s_module, "ConfigureController")));
    ASSERT_NE(m_configure, nullptr);
  }
  void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, kKey); }

  // Runs ConfigureController on this thread while `user` plays the dialog.
  template <class User>
  int Configure(User user) {
    std::thread player([&] {
      HWND dialog = WaitForDialog();
      if (dialog == nullptr) {
        ADD_FAILURE() << "the dialog never showed";
        return;
      }
      user(dialog);
      EXPECT_TRUE(WaitUntilGone(dialog));
    });
    const int result = m_configure(0, 0, static_cast<int32_t>(kCommands.size()), &CommandName);
    player.join();
    return result;
  }

  static void Store(const char* name, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
  }

  static HMODULE s_module;
  ConfigureFn m_configure = nullptr;
};

HMODULE BindingsDialog::s_module = nullptr;

TEST_F(BindingsDialog, IsExportedUnderOrdinal2) {
  EXPECT_EQ(GetProcAddress(s_module, MAKEINTRESOURCEA(2)),
            GetProcAddress(s_module, "ConfigureController"));
}

TEST_F(BindingsDialog, WithoutACallbackNothingIsShown) {
  EXPECT_EQ(m_configure(0, 0, 3, nullptr), 0);
  EXPECT_EQ(FindWindowA(nullptr, kCaption), nullptr);
}

TEST_F(BindingsDialog, ShowsTheTemplateAndStoresTheUsersChoicesAtOk) {
  Store("Shift Play", "Undo (1)");
  const int result = Configure([](HWND dialog) {
    EXPECT_EQ(Text(dialog), kCaption);
    HWND control = GetWindow(dialog, GW_CHILD);
    for (const test::DialogControl& expected : test::kDialogLayout) {
      ASSERT_NE(control, nullptr);
      char className[32] = {};
      GetClassNameA(control, className, sizeof className);
      EXPECT_STREQ(className, expected.className) << expected.id;
      EXPECT_EQ(static_cast<int>(static_cast<int16_t>(GetDlgCtrlID(control))), expected.id);
      // A combo box hands WS_VSCROLL on to its list window, so the box itself
      // no longer shows it; the window system may add bits of its own.
      DWORD styleBits = expected.style;
      if (expected.className == std::string("ComboBox")) {
        styleBits &= ~static_cast<DWORD>(WS_VSCROLL);
      }
      const DWORD style = static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE));
      EXPECT_EQ(style & styleBits, styleBits) << expected.id;
      if (expected.textIsPrefix) {
        EXPECT_EQ(Text(control).rfind(expected.text, 0), 0u) << Text(control);
      } else if (expected.className != std::string("ComboBox")) {
        EXPECT_EQ(Text(control), expected.text) << expected.id;
      }
      // Where the template puts it, in this dialog's units.
      RECT want = {expected.x, expected.y, expected.x + expected.cx, expected.y + expected.cy};
      MapDialogRect(dialog, &want);
      RECT got{};
      GetWindowRect(control, &got);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&got), 2);
      EXPECT_NEAR(got.left, want.left, 1) << expected.id;
      EXPECT_NEAR(got.top, want.top, 1) << expected.id;
      EXPECT_NEAR(got.right, want.right, 1) << expected.id;
      control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr) << "more than 35 controls";

    for (int id = 1000; id <= 1015; ++id) {
      EXPECT_EQ(
          Items(GetDlgItem(dialog, id)),
          (std::vector<std::string>{"Add", "Mark", "Metronome On/Off toggle",
                                    "Selection Anchor Left when playing", "Undo (1)", "Zoom"}))
          << id;
    }
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1013)), "Undo (1)");                            // stored
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1001)), "Selection Anchor Left when playing");  // default
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1015)), "<none>");  // its default is not a command

    // The user picks "Mark" for IN and types a name for the footswitch.
    HWND in = GetDlgItem(dialog, 1001);
    SendMessageA(in, CB_SETCURSEL,
                 static_cast<WPARAM>(SendMessageA(in, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                                  reinterpret_cast<LPARAM>("mark"))),
                 0);
    HWND footswitch = GetDlgItem(dialog, 1015);
    SetWindowTextA(footswitch, "Zoom");
    EXPECT_EQ(SendMessageA(footswitch, CB_GETCURSEL, 0, 0), CB_ERR);
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    EXPECT_TRUE(SaveScreenshot(dialog, "artifacts\\bindings-dialog.bmp"));

    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  });
  EXPECT_EQ(result, IDOK);

  const Value in = ReadValue("In");
  EXPECT_EQ(in.result, ERROR_SUCCESS);
  EXPECT_EQ(in.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(in.data, Bytes("Mark"));
  EXPECT_EQ(ReadValue("Footswitch").data, Bytes("Zoom"));
  EXPECT_EQ(ReadValue("Shift Play").data, Bytes("Undo (1)"));
  // A box left without a command stores the empty name: the default at the
  // next load.
  EXPECT_EQ(ReadValue("Shift Record").data, Bytes(""));
}

TEST_F(BindingsDialog, ATypedTextTooLongForANameIsRefusedAndNothingIsStored) {
  // Names travel through buffers of 128 bytes: 128 bytes or more can name no
  // command. The message quotes as much as a name holds.
  const std::string typed(200, 'x');
  std::string told;
  bool stayed = false;
  const int result = Configure([&](HWND dialog) {
    EXPECT_TRUE(SetWindowTextA(GetDlgItem(dialog, 1015), typed.c_str()));
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    // Whatever happens, the user ends with Cancel, so that the host's call
    // returns.
    if (HWND box = WaitForMessageBox(dialog)) {
      told = StaticTexts(box);
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      EXPECT_TRUE(WaitUntilGone(box));
    } else {
      ADD_FAILURE() << "no message box";
    }
    stayed = IsWindow(dialog) != FALSE;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(stayed) << "the dialog closed at OK";
  EXPECT_EQ(told.rfind("\"" + std::string(127, 'x') + "\" is not the name of a command.", 0), 0u)
      << told;
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kKey, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(BindingsDialog, CancelStoresNothing) {
  const int result = Configure([](HWND dialog) {
    SendMessageA(GetDlgItem(dialog, 1001), CB_SETCURSEL, 0, 0);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
  });
  EXPECT_EQ(result, IDCANCEL);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kKey, &key), ERROR_FILE_NOT_FOUND);
}

}  // namespace
