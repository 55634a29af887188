// Modules' reference counts, and a thread that frees the module its own code
// is in as it ends (FreeLibraryAndExitThread).
#include <windows.h>

#include <dlfcn.h>

#include <thread>

#include "simctl.h"
#include "thread_module.h"
#include <gtest/gtest.h>

namespace {

constexpr DWORD kDeadlockMs = 10000;  // only a guard against a hang

bool Loaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);  // NOLOAD counted it once more
  return true;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    ASSERT_FALSE(Loaded(QM_THREAD_MODULE)) << "left loaded by an earlier test";
  }
  void TearDown() override { sim_reset(); }
};

TEST_F(ModuleTest, AThreadKeepsItsModuleLoadedUntilItFreesItAndEnds) {
  // Twice: a module unloaded this way loads again at once and works.
  for (DWORD round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    void* library = dlopen(QM_THREAD_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    auto start = reinterpret_cast<StartModuleWorkerFn>(dlsym(library, "StartModuleWorker"));
    ASSERT_NE(nullptr, start);
    ModuleWorkerJob job{CreateEventA(nullptr, TRUE, FALSE, nullptr),
                        CreateEventA(nullptr, TRUE, FALSE, nullptr), 40 + round};
    HANDLE thread = start(&job);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(job.referenced, kDeadlockMs));

    // The loader's own reference goes; the thread's keeps the module.
    dlclose(library);
    EXPECT_TRUE(Loaded(QM_THREAD_MODULE));
    EXPECT_EQ(1u, sim_live_threads());

    SetEvent(job.go);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(40 + round, code);
    EXPECT_FALSE(Loaded(QM_THREAD_MODULE)) << "the thread's reference was its last";
    EXPECT_EQ(0u, sim_live_threads());
    CloseHandle(thread);
    CloseHandle(job.referenced);
    CloseHandle(job.go);
  }
  EXPECT_EQ(2u, sim_call_count("FreeLibraryAndExitThread"));
}

TEST_F(ModuleTest, CountedReferencesAddUpWithTheLoadersOwn) {
  void* library = dlopen(QM_THREAD_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library);
  const auto* inside = reinterpret_cast<LPCSTR>(dlsym(library, "StartModuleWorker"));
  Dl_info info{};
  ASSERT_NE(0, dladdr(inside, &info));

  HMODULE uncounted = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, inside,
      &uncounted));
  EXPECT_EQ(info.dli_fbase, static_cast<void*>(uncounted)) << "named by its load address";
  HMODULE counted = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, inside, &counted));
  EXPECT_EQ(uncounted, counted);
  HMODULE loaded = LoadLibraryA(QM_THREAD_MODULE);
  EXPECT_EQ(counted, loaded) << "LoadLibraryA names it the same way";

  dlclose(library);
  ASSERT_TRUE(Loaded(QM_THREAD_MODULE));
  ASSERT_TRUE(FreeLibrary(loaded));
  ASSERT_TRUE(Loaded(QM_THREAD_MODULE)) << "one counted reference is left";
  ASSERT_TRUE(FreeLibrary(counted));
  EXPECT_FALSE(Loaded(QM_THREAD_MODULE));
  EXPECT_FALSE(FreeLibrary(counted)) << "nobody holds it any more";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(ModuleTest, TheExecutableIsNeitherCountedNorFreed) {
  static const int in_executable = 0;
  HMODULE by_address = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCSTR>(&in_executable), &by_address));
  HMODULE by_name = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(0, nullptr, &by_name));
  EXPECT_EQ(by_name, by_address);
  EXPECT_TRUE(FreeLibrary(by_address));
  EXPECT_TRUE(FreeLibrary(by_address));
  EXPECT_EQ(in_executable, 0);  // still mapped, and still readable

  EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(0x10)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(nullptr, LoadLibraryA("/nonexistent/library.so"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(ModuleTest, OnAThreadOfItsOwnFreeLibraryAndExitThreadFreesInPlaceAndEnds) {
  HMODULE module = LoadLibraryA(QM_THREAD_MODULE);
  ASSERT_NE(nullptr, module);
  bool came_back = false;
  std::thread([&] {
    FreeLibraryAndExitThread(module, 0);
    came_back = true;  // never reached: the thread ends in the call
  }).join();
  EXPECT_FALSE(came_back);
  EXPECT_FALSE(Loaded(QM_THREAD_MODULE));
}

TEST_F(ModuleTest, InjectedFaultsLeaveTheReferenceWhereItWas) {
  HMODULE module = LoadLibraryA(QM_THREAD_MODULE);
  ASSERT_NE(nullptr, module);
  sim_fail("FreeLibrary", ERROR_ACCESS_DENIED, 0, 1);
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(Loaded(QM_THREAD_MODULE));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(Loaded(QM_THREAD_MODULE));
  sim_fail("LoadLibraryA", ERROR_NOT_ENOUGH_MEMORY, 0, 1);
  EXPECT_EQ(nullptr, LoadLibraryA(QM_THREAD_MODULE));
  EXPECT_FALSE(Loaded(QM_THREAD_MODULE));
}

}  // namespace
