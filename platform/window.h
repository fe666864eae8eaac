// Windows, window messages, processes and the system directory.
//
// The Win32 backend maps every call onto user32/kernel32 one to one. The
// portable backend is an in-process stand-in: windows are named objects of
// this process, a send calls the receiving window procedure at once, the
// message loop delivers posted messages and the quit request, and a launch or
// a message box is only recorded (platform/window_portable.h controls it).
//
// The names differ from the Win32 ones on purpose: <windows.h> turns many of
// those into macros (SendMessage -> SendMessageA) or declares them itself.
#pragma once
#include <cstdint>
#include <string>

#if defined(_WIN32)
// The same types as HWND, WPARAM, LPARAM, LRESULT and WNDPROC of 32-bit
// Windows, so that window procedures pass to user32 unchanged (the backend
// checks the identity at compile time).
struct HWND__;
using TWindowHandle = HWND__*;
using TWParam = unsigned int;
using TLParam = long;
using TLResult = long;
#define KVSFX_WINAPI __stdcall
#else
struct TPortableWindow;
using TWindowHandle = TPortableWindow*;
using TWParam = std::uintptr_t;
using TLParam = std::intptr_t;
using TLResult = std::intptr_t;
#define KVSFX_WINAPI
#endif

using TWindowProc = TLResult(KVSFX_WINAPI*)(TWindowHandle window, uint32_t message, TWParam wParam,
                                            TLParam lParam);

// Message numbers, styles and resource ids as Win32 defines them.
enum : uint32_t {
  WmDestroy = 0x0002,
  WmClose = 0x0010,
  WmQuit = 0x0012,
  WmCopyData = 0x004A,
  WmUser = 0x0400,
};
enum : uint32_t {
  CsVRedraw = 0x0001,
  CsHRedraw = 0x0002,
  WsVisible = 0x10000000,
  WsOverlappedWindow = 0x00CF0000,  // caption, system menu, sizing frame, min/max boxes
  IdiApplication = 32512,           // the standard application icon
  IdcArrow = 32512,                 // the standard arrow cursor
  ColorMenu = 4,
};
constexpr int32_t CwUseDefault = INT32_MIN;  // 0x80000000
constexpr int32_t SwShow = 5;

// The data of a WM_COPYDATA message; laid out as COPYDATASTRUCT.
struct TCopyData {
  std::uintptr_t dwData;
  uint32_t cbData;
  void* lpData;
};

// One message as the message loop fetches it; laid out as MSG.
struct TMessage {
  TWindowHandle Window;
  uint32_t Message;
  TWParam WParam;
  TLParam LParam;
  uint32_t Time;
  int32_t X, Y;
};

// A window class. Icon and cursor are ids of the system's standard resources,
// loaded without a module (0: none); Background is a system colour index + 1.
struct TWindowClass {
  uint32_t Style;
  TWindowProc WindowProc;
  int32_t ClassExtra;
  int32_t WindowExtra;
  uint32_t IconId;
  uint32_t CursorId;
  uint32_t Background;
  const char* ClassName;
};

// Registers a class for this module; false on failure.
bool RegisterWindowClass(const TWindowClass& windowClass);
// Creates a top-level window of a registered class for this module, with no
// parent, menu or creation parameter; nullptr on failure.
TWindowHandle CreateTopLevelWindow(uint32_t exStyle, const char* className, const char* windowName,
                                   uint32_t style, int32_t x, int32_t y, int32_t width,
                                   int32_t height);
void RefreshWindow(TWindowHandle window);  // UpdateWindow
bool DestroyTopLevelWindow(TWindowHandle window);
bool WindowIsVisible(TWindowHandle window);
// The top-level window of that name, of any class; nullptr when there is none.
TWindowHandle FindWindowByName(const char* windowName);

// Sends synchronously (also to other processes) and answers the receiver's
// result; 0 when the window does not exist.
TLResult SendWindowMessage(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam);
bool PostWindowMessage(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam);
void PostQuitRequest(int32_t exitCode);
// Waits for the next message of this thread, any window, no filter. Answers
// 0 for the quit request (its exit code in WParam), -1 on an error, and a
// positive value otherwise.
int32_t FetchMessage(TMessage& message);
void TranslateWindowMessage(const TMessage& message);
TLResult DispatchWindowMessage(const TMessage& message);
TLResult DefaultWindowProc(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam);

// The system directory, without a trailing separator.
std::string SystemDirectory();
// The full path of the running executable.
std::string ModuleFileName();
// Starts a program from a command line with a show mode (WinExec); answers
// a value above 31 on success.
uint32_t RunCommandLine(const std::string& commandLine, int32_t showMode);
// Shows an error text to the user and waits until it is dismissed.
void ShowErrorMessage(const std::string& text);
