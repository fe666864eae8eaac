// Controls of the portable window backend (not available on Win32). A test
// plays the other processes: it creates windows of its own, sends messages
// to the program's windows from the idle handler, and reads what the program
// launched and which message boxes it showed.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/window.h"

#if defined(_WIN32)
#error "platform/window_portable.h belongs to the portable backend"
#endif

struct TLaunchRecord {
  std::string CommandLine;
  int32_t ShowMode;
};

// Raised by FetchMessage when nothing is queued, no quit request is pending
// and the idle handler has nothing more to deliver: a real system would wait
// for ever there.
class EMessageLoopIdle : public Exception {
public:
  using Exception::Exception;
};

// Forgets every window, class, queued message, launch and message box, and
// restores the defaults below.
void ResetPortableWindows();
// What SystemDirectory and ModuleFileName answer; both empty after a reset.
void SetSystemDirectory(const std::string& path);
void SetModuleFileName(const std::string& path);
// Called by FetchMessage whenever the queue is empty and no quit request is
// pending, as other processes would act while this one waits. It answers
// false when it has nothing more to do.
void SetIdleHandler(std::function<bool()> handler);
// Makes the next RegisterWindowClass or CreateTopLevelWindow fail.
void FailNextRegisterClass();
void FailNextCreateWindow();

const std::vector<TLaunchRecord>& Launches();
const std::vector<std::string>& MessageBoxes();
