// The portable window backend: windows, classes and the message queue of this
// process only. A send calls the window procedure directly, as Win32 does for
// a window of the sending thread.
#include <deque>
#include <memory>
#include <utility>

#include "platform/window.h"
#include "platform/window_portable.h"

struct TPortableWindow {
  std::string ClassName;
  std::string Name;
  TWindowProc Proc;
  uint32_t Style;
  bool Alive;
};

namespace {

struct TState {
  std::vector<TWindowClass> classes;
  std::vector<std::string> classNames;  // owned copies of the registered names
  std::vector<std::unique_ptr<TPortableWindow>> windows;  // destroyed ones stay, marked dead
  std::deque<TMessage> queue;
  bool quitPending = false;
  int32_t quitCode = 0;
  std::string systemDirectory;
  std::string moduleFileName;
  std::function<bool()> idle;
  bool failRegister = false;
  bool failCreate = false;
  std::vector<TLaunchRecord> launches;
  std::vector<std::string> messageBoxes;
};

TState& State() {
  static TState state;
  return state;
}

bool IsLive(TWindowHandle window) {
  if (!window) return false;
  for (const auto& w : State().windows)
    if (w.get() == window) return w->Alive;
  return false;
}

}  // namespace

void ResetPortableWindows() { State() = TState{}; }
void SetSystemDirectory(const std::string& path) { State().systemDirectory = path; }
void SetModuleFileName(const std::string& path) { State().moduleFileName = path; }
void SetIdleHandler(std::function<bool()> handler) { State().idle = std::move(handler); }
void FailNextRegisterClass() { State().failRegister = true; }
void FailNextCreateWindow() { State().failCreate = true; }
const std::vector<TLaunchRecord>& Launches() { return State().launches; }
const std::vector<std::string>& MessageBoxes() { return State().messageBoxes; }

bool RegisterWindowClass(const TWindowClass& windowClass) {
  TState& s = State();
  if (std::exchange(s.failRegister, false)) return false;
  if (!windowClass.ClassName || !windowClass.WindowProc) return false;
  for (const std::string& name : s.classNames)
    if (name == windowClass.ClassName) return false;  // already registered
  s.classNames.emplace_back(windowClass.ClassName);
  s.classes.push_back(windowClass);
  return true;
}

TWindowHandle CreateTopLevelWindow(uint32_t, const char* className, const char* windowName,
                                   uint32_t style, int32_t, int32_t, int32_t, int32_t) {
  TState& s = State();
  if (std::exchange(s.failCreate, false) || !className) return nullptr;
  for (std::size_t i = 0; i < s.classNames.size(); ++i) {
    if (s.classNames[i] != className) continue;
    s.windows.push_back(std::make_unique<TPortableWindow>(TPortableWindow{
        className, windowName ? windowName : "", s.classes[i].WindowProc, style, true}));
    return s.windows.back().get();
  }
  return nullptr;
}

void RefreshWindow(TWindowHandle) {}

bool DestroyTopLevelWindow(TWindowHandle window) {
  if (!IsLive(window)) return false;
  window->Proc(window, WmDestroy, 0, 0);
  window->Alive = false;
  return true;
}

bool WindowIsVisible(TWindowHandle window) {
  return IsLive(window) && (window->Style & WsVisible) != 0;
}

TWindowHandle FindWindowByName(const char* windowName) {
  if (!windowName) return nullptr;
  for (const auto& w : State().windows)
    if (w->Alive && w->Name == windowName) return w.get();
  return nullptr;
}

TLResult SendWindowMessage(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam) {
  if (!IsLive(window)) return 0;
  return window->Proc(window, message, wParam, lParam);
}

bool PostWindowMessage(TWindowHandle window, uint32_t message, TWParam wParam, TLParam lParam) {
  if (!IsLive(window)) return false;
  State().queue.push_back(TMessage{window, message, wParam, lParam, 0, 0, 0});
  return true;
}

void PostQuitRequest(int32_t exitCode) {
  State().quitPending = true;
  State().quitCode = exitCode;
}

int32_t FetchMessage(TMessage& message) {
  TState& s = State();
  for (;;) {
    if (!s.queue.empty()) {
      message = s.queue.front();
      s.queue.pop_front();
      return 1;
    }
    // Win32 hands out the quit request only once nothing else is queued.
    if (s.quitPending) {
      s.quitPending = false;
      message = TMessage{nullptr, WmQuit, static_cast<TWParam>(s.quitCode), 0, 0, 0, 0};
      return 0;
    }
    // Let the idle handler act; copy it first, since it may replace itself.
    const std::function<bool()> idle = s.idle;
    if (!idle || !idle()) {
      if (s.queue.empty() && !s.quitPending)
        throw EMessageLoopIdle("the message loop would wait for ever");
    }
  }
}

void TranslateWindowMessage(const TMessage&) {}

TLResult DispatchWindowMessage(const TMessage& message) {
  return SendWindowMessage(message.Window, message.Message, message.WParam, message.LParam);
}

TLResult DefaultWindowProc(TWindowHandle window, uint32_t message, TWParam, TLParam) {
  // As on Win32: closing a window destroys it; everything else answers 0.
  if (message == WmClose) DestroyTopLevelWindow(window);
  return 0;
}

std::string SystemDirectory() { return State().systemDirectory; }
std::string ModuleFileName() { return State().moduleFileName; }

uint32_t RunCommandLine(const std::string& commandLine, int32_t showMode) {
  State().launches.push_back(TLaunchRecord{commandLine, showMode});
  return 33;  // any value above 31 means the program started
}

void ShowErrorMessage(const std::string& text) { State().messageBoxes.push_back(text); }
