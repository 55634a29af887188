// Loads the real plug-in DLL the way a host does and checks what the host and
// the system loader see: the file's format, its imports and exports, its
// version record and the behaviour of the exports without a surface.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// The host's record and the two notification codes used here, written from
// the host's side rather than taken from the plug-in's headers: this test
// checks the boundary as a host built apart from the plug-in sees it.
constexpr int32_t kRecordState = 7;
constexpr int32_t kUnhandledCode = 8;  // no notification the plug-in follows

struct HostServices {
  void(__cdecl* DoAction)(int32_t, int32_t, int32_t, int32_t);
  void(__cdecl* QueryValue)(int32_t, int32_t, void*, int32_t);
  void(__cdecl* GetCommandName)(int32_t, char*, int32_t, int32_t*);
  int32_t Reserved;
  void(__cdecl* RunCommand)(int32_t, int32_t);
  int32_t CommandCount;
};

typedef int(__cdecl* QueryFn)(void*);
typedef int(__cdecl* OpenFn)(const HostServices*);
typedef int32_t(__cdecl* UpdateFn)(int32_t, int32_t, int32_t, int32_t);
typedef void(__cdecl* CloseFn)();

void __cdecl NoAction(int32_t, int32_t, int32_t, int32_t) {}
void __cdecl NoQuery(int32_t, int32_t, void*, int32_t) {}
void __cdecl NoName(int32_t, char*, int32_t, int32_t* valid) { *valid = 0; }
void __cdecl NoRun(int32_t, int32_t) {}

std::vector<std::string> g_debugLines;

// OutputDebugStringA raises this exception before it looks for a debugger; a
// vectored handler sees it first, so the test reads its own debugger output.
LONG CALLBACK CatchDebugString(EXCEPTION_POINTERS* info) {
  constexpr DWORD kDebugPrint = 0x40010006;
  if (info->ExceptionRecord->ExceptionCode == kDebugPrint &&
      info->ExceptionRecord->NumberParameters >= 2) {
    const auto* text =
        reinterpret_cast<const char*>(info->ExceptionRecord->ExceptionInformation[1]);
    g_debugLines.emplace_back(text);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

class PluginDll : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_module = LoadLibraryA(QM_PLUGIN_FILE);
    ASSERT_NE(s_module, nullptr) << "cannot load " << QM_PLUGIN_FILE;
    AddVectoredExceptionHandler(1, &CatchDebugString);
  }

  const BYTE* Image() const { return reinterpret_cast<const BYTE*>(s_module); }
  const IMAGE_NT_HEADERS32* Headers() const {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Image());
    return reinterpret_cast<const IMAGE_NT_HEADERS32*>(Image() + dos->e_lfanew);
  }
  template <class T>
  const T* At(DWORD rva) const {
    return reinterpret_cast<const T*>(Image() + rva);
  }
  // Through the generic function type, which converts to any other quietly.
  template <class Fn>
  Fn Export(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(s_module, name)));
  }

  static std::string VersionString(const char* name) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(QM_PLUGIN_FILE, &ignored);
    std::vector<char> data(size);
    if (size == 0 || !GetFileVersionInfoA(QM_PLUGIN_FILE, 0, size, data.data())) return "";
    void* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(data.data(), path.c_str(), &value, &length)) return "";
    return static_cast<const char*>(value);
  }

  static HMODULE s_module;
};

HMODULE PluginDll::s_module = nullptr;

TEST_F(PluginDll, IsA32BitDll) {
  EXPECT_EQ(Headers()->Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(Headers()->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(Headers()->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
  EXPECT_NE(Headers()->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
}

TEST_F(PluginDll, ImportsExactlyTheSystemDllsItUses) {
  // Every DLL the plug-in needs ships with Windows: the registry (advapi32),
  // the kernel, the C runtime every Windows has, the dialog (user32) and
  // MIDI (winmm). A new one must be added here on purpose.
  const std::vector<std::string> expected = {"advapi32.dll", "kernel32.dll", "msvcrt.dll",
                                             "user32.dll", "winmm.dll"};
  const auto& directory = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(directory.VirtualAddress, 0u);
  std::vector<std::string> imported;
  for (const auto* entry = At<IMAGE_IMPORT_DESCRIPTOR>(directory.VirtualAddress); entry->Name != 0;
       ++entry) {
    imported.push_back(Lower(At<char>(entry->Name)));
  }
  std::sort(imported.begin(), imported.end());
  EXPECT_EQ(imported, expected);
}

TEST_F(PluginDll, ExportsByPlainNameUnderAlphabeticalOrdinals) {
  const auto& directory = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(directory.VirtualAddress, 0u);
  const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
  EXPECT_STREQ(At<char>(exports->Name), "Quillmote1_5.cv2");

  const auto* names = At<DWORD>(exports->AddressOfNames);
  const auto* ordinals = At<WORD>(exports->AddressOfNameOrdinals);
  std::vector<std::pair<std::string, DWORD>> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    found.emplace_back(At<char>(names[i]), exports->Base + ordinals[i]);
  }
  const std::vector<std::pair<std::string, DWORD>> expected = {{"CloseController", 1},
                                                               {"ConfigureController", 2},
                                                               {"OpenController", 3},
                                                               {"QueryController", 4},
                                                               {"UpdateController", 5}};
  // The export table lists its names in sorted order, each with its ordinal.
  EXPECT_EQ(exports->NumberOfFunctions, expected.size());
  ASSERT_EQ(found, expected);
  for (const auto& entry : found) {
    EXPECT_EQ(GetProcAddress(s_module, MAKEINTRESOURCEA(entry.second)),
              GetProcAddress(s_module, entry.first.c_str()));
  }
}

TEST_F(PluginDll, CarriesItsVersionRecord) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(QM_PLUGIN_FILE, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(QM_PLUGIN_FILE, 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00030000u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00030000u);
  EXPECT_EQ(VersionString("FileDescription"), "Quillmote CV2");
  EXPECT_EQ(VersionString("InternalName"), "QuillmoteDLL");
  EXPECT_EQ(VersionString("OriginalFilename"), "Quillmote.CV2");
}

TEST_F(PluginDll, QueryControllerWritesOnlyItsFields) {
  auto query = Export<QueryFn>("QueryController");
  ASSERT_NE(query, nullptr);
  unsigned char record[64];
  std::memset(record, 0xFF, sizeof record);
  EXPECT_EQ(query(record), 1);
  const unsigned char head[] = {0x7A, 0x76, 0x6C, 0x6B, 0x00, 0x01,
                                0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(record, head, sizeof head), 0);
  EXPECT_EQ(std::memcmp(record + 12, "Quillmote\0", 10), 0);
  EXPECT_EQ(record[22], 0xFF);
}

TEST_F(PluginDll, WithoutMidiDevicesOpenFailsAndSaysWhy) {
  auto open = Export<OpenFn>("OpenController");
  auto update = Export<UpdateFn>("UpdateController");
  auto close = Export<CloseFn>("CloseController");
  ASSERT_TRUE(open && update && close);

  // Nothing happens before a controller exists.
  EXPECT_EQ(update(kRecordState, 1, 0, 0), 0);
  close();

  const HostServices host = {&NoAction, &NoQuery, &NoName, 0, &NoRun, 0};
  g_debugLines.clear();
  EXPECT_EQ(open(&host), 0);
  EXPECT_NE(
      std::find(g_debugLines.begin(), g_debugLines.end(), "Couldn't find Quillmote Midi port\n"),
      g_debugLines.end());
  // The controller stays and takes notifications, sending nothing.
  EXPECT_EQ(update(kUnhandledCode, 42, 0, 0), 42);
  update(kRecordState, 1, 0, 0);
  close();
  close();
}

}  // namespace
