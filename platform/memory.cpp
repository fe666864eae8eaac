#include "platform/memory.h"

#include <cstdlib>

namespace {
int failAfter = -1;
}

void* AllocMem(std::size_t size) noexcept {
  if (failAfter >= 0) {
    if (failAfter == 0) {
      failAfter = -1;
      return nullptr;
    }
    --failAfter;
  }
  return std::malloc(size == 0 ? 1 : size);
}

void FreeMem(void* block) noexcept { std::free(block); }

void InjectAllocFailure(int after) noexcept { failAfter = after; }
