// The Win32 window backend: each call is the user32/kernel32 call of the same
// meaning, with the ANSI character set.
#include <windows.h>

#include <cstddef>
#include <type_traits>

#include "platform/window.h"

// The portable names must be the Win32 types themselves, so that window
// procedures, message records and copy-data records pass through unchanged.
static_assert(std::is_same_v<TWindowHandle, HWND>);
static_assert(std::is_same_v<TWParam, WPARAM>);
static_assert(std::is_same_v<TLParam, LPARAM>);
static_assert(std::is_same_v<TLResult, LRESULT>);
static_assert(std::is_same_v<TWindowProc, WNDPROC>);
static_assert(sizeof(TCopyData) == sizeof(COPYDATASTRUCT));
static_assert(offsetof(TCopyData, cbData) == offsetof(COPYDATASTRUCT, cbData));
static_assert(offsetof(TCopyData, lpData) == offsetof(COPYDATASTRUCT, lpData));
static_assert(sizeof(TMessage) == sizeof(MSG));
static_assert(offsetof(TMessage, Time) == offsetof(MSG, time));
static_assert(offsetof(TMessage, X) == offsetof(MSG, pt));
static_assert(WmCopyData == WM_COPYDATA && WmDestroy == WM_DESTROY && WmUser == WM_USER);
static_assert(WsOverlappedWindow == WS_OVERLAPPEDWINDOW && CwUseDefault == CW_USEDEFAULT);

namespace {
HINSTANCE Instance() { return GetModuleHandleA(nullptr); }
}  // namespace

bool RegisterWindowClass(const TWindowClass& c) {
  WNDCLASSA wc{};
  wc.style = c.Style;
  wc.lpfnWndProc = c.WindowProc;
  wc.cbClsExtra = c.ClassExtra;
  wc.cbWndExtra = c.WindowExtra;
  wc.hInstance = Instance();
  wc.hIcon = c.IconId ? LoadIconA(nullptr, MAKEINTRESOURCEA(c.IconId)) : nullptr;
  wc.hCursor = c.CursorId ? LoadCursorA(nullptr, MAKEINTRESOURCEA(c.CursorId)) : nullptr;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<UINT_PTR>(c.Background));
  wc.lpszMenuName = nullptr;
  wc.lpszClassName = c.ClassName;
  return RegisterClassA(&wc) != 0;
}

TWindowHandle CreateTopLevelWindow(uint32_t exStyle, const char* className, const char* windowName,
                                   uint32_t style, int32_t x, int32_t y, int32_t width,
                                   int32_t height) {
  return CreateWindowExA(exStyle, className, windowName, style, x, y, width, height, nullptr,
                         nullptr, Instance(), nullptr);
}

void RefreshWindow(TWindowHandle window) { UpdateWindow(window); }
bool DestroyTopLevelWindow(TWindowHandle window) { return DestroyWindow(window) != 0; }
bool WindowIsVisible(TWindowHandle window) { return IsWindowVisible(window) != 0; }
TWindowHandle FindWindowByName(const char* windowName) { return FindWindowA(nullptr, windowName); }

TLResult SendWindowMessage(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam) {
  return SendMessageA(window, message, wParam, lParam);
}

bool PostWindowMessage(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam) {
  return PostMessageA(window, message, wParam, lParam) != 0;
}

void PostQuitRequest(int32_t exitCode) { PostQuitMessage(exitCode); }

int32_t FetchMessage(TMessage& message) {
  // GetMessage answers a BOOL that is -1 on an error.
  return GetMessageA(reinterpret_cast<MSG*>(&message), nullptr, 0, 0);
}

void TranslateWindowMessage(const TMessage& message) {
  TranslateMessage(reinterpret_cast<const MSG*>(&message));
}

TLResult DispatchWindowMessage(const TMessage& message) {
  return DispatchMessageA(reinterpret_cast<const MSG*>(&message));
}

TLResult DefaultWindowProc(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

std::string SystemDirectory() {
  char buffer[MAX_PATH + 1] = {};
  const UINT n = GetSystemDirectoryA(buffer, MAX_PATH);
  // A failed query (0) or one that does not fit answers an empty directory.
  return n > 0 && n < MAX_PATH ? std::string(buffer, n) : std::string();
}

std::string ModuleFileName() {
  // Paths are limited to MAX_PATH here, as everywhere in the ANSI calls.
  char buffer[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, n < MAX_PATH ? n : MAX_PATH);
}

uint32_t RunCommandLine(const std::string& commandLine, int32_t showMode) {
  return WinExec(commandLine.c_str(), static_cast<UINT>(showMode));
}

void ShowErrorMessage(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), "Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}
