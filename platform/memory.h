// Memory with a failure indication: AllocMem answers nullptr instead of
// throwing, so callers can turn a failure into their own message.
#pragma once
#include <cstddef>

void* AllocMem(std::size_t size) noexcept;
void FreeMem(void* block) noexcept;

// Test hook: make the allocation that comes `after` successful ones from now
// fail (0 = the next one). A negative value switches injection off.
void InjectAllocFailure(int after) noexcept;
