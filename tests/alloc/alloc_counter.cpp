#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// The linker's bounds of this program's code.
extern "C" char __executable_start[];
extern "C" char etext[];

namespace {

std::atomic<uint64_t> g_count{0};

void* Allocate(std::size_t size, const void* caller) {
  const auto* address = static_cast<const char*>(caller);
  if (address >= __executable_start && address < etext) g_count.fetch_add(1);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

void* AllocateNoThrow(std::size_t size, const void* caller) noexcept {
  try {
    return Allocate(size, caller);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

namespace alloc {

uint64_t Count() { return g_count.load(); }

}  // namespace alloc

// Each variant is defined here, so that the caller seen is the code that
// asked, never the C++ library's own forwarding.
void* operator new(std::size_t size) { return Allocate(size, __builtin_return_address(0)); }
void* operator new[](std::size_t size) { return Allocate(size, __builtin_return_address(0)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size, __builtin_return_address(0));
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size, __builtin_return_address(0));
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
