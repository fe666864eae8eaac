// Test hook of the POSIX file backend: make one chosen FileRead or FileWrite
// fail with -1, so that tests can reach the error paths of code that works on
// named files. Each switch fires once, then turns itself off.
//
// InjectFileReadFailure(n): the read that comes after n successful FileRead
// calls from now fails (0 = the next one); a negative n switches it off.
// InjectFileWriteFailure(n): the same for FileWrite.
// Process-wide and not thread-safe: for single-threaded tests only.
#pragma once

void InjectFileReadFailure(int after) noexcept;
void InjectFileWriteFailure(int after) noexcept;
