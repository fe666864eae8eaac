// Demo splash program: the first file of a demo installer. The unpacker runs
// it with " /Splash"; it names the target folder, asks the unpacker to
// extract everything and shows the progress in an ordinary setup window.
//
// Two top-level windows:
//   - a hidden one named "fSplashScreen", the address the unpacker sends its
//     progress records and its result to (it finds it by that name);
//   - the visible "<Product> Setup" window the user looks at.
//
// Settings, all optional, from the environment:
//   KVSFX_DEMO_TARGET     target folder (default %USERPROFILE%\KVDemo); it is
//                         created when missing
//   KVSFX_DEMO_AUTOCLOSE  close by itself this many seconds after the result
//   KVSFX_DEMO_LOG        append a line per event to this file ("-" = stdout)
//   KVSFX_DEMO_DELAY_MS   pause this long after each progress record, which
//                         slows the unpacker down (it waits for every record)
//                         so the progress can be watched
//
// The exit code is 0 after a successful installation and 1 otherwise.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // QueryFullProcessImageNameA
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "progress_model.h"
#include "shell/splash_protocol.h"

using demo_splash::ProgressModel;
using demo_splash::ProgressRecord;

namespace {

constexpr char kProduct[] = "KV Demo";
constexpr char kProtocolClass[] = "KvDemoSplashProtocol";
constexpr char kSetupClass[] = "KvDemoSetupWindow";
constexpr UINT kStartMessage = WM_APP + 1;
constexpr UINT_PTR kWatchTimer = 1;
constexpr UINT_PTR kAutoCloseTimer = 2;
constexpr int kCloseButtonId = 100;
constexpr int kClientWidth = 540;
constexpr int kClientHeight = 300;

// ---------------------------------------------------------------- settings

std::string Env(const char* Name) {
  char Buf[1024];
  DWORD N = GetEnvironmentVariableA(Name, Buf, sizeof Buf);
  if (N == 0 || N >= sizeof Buf) return {};
  return std::string(Buf, N);
}

int EnvInt(const char* Name, int Default) {
  std::string V = Env(Name);
  if (V.empty()) return Default;
  char* End = nullptr;
  long N = std::strtol(V.c_str(), &End, 10);
  if (End == V.c_str() || *End != '\0' || N < 0 || N > 86400000) return Default;
  return static_cast<int>(N);
}

struct Settings {
  std::string Target;
  int AutoCloseSeconds = -1;  // -1: stay open until the user closes
  int DelayMs = 0;
  std::string LogPath;
};

Settings ReadSettings() {
  Settings S;
  S.Target = Env("KVSFX_DEMO_TARGET");
  if (S.Target.empty()) {
    std::string Profile = Env("USERPROFILE");
    S.Target = (Profile.empty() ? std::string("C:") : Profile) + "\\KVDemo";
  }
  // The unpacker always puts a '\' between the folder and a file name.
  while (S.Target.size() > 1 && (S.Target.back() == '\\' || S.Target.back() == '/'))
    S.Target.pop_back();
  S.AutoCloseSeconds = EnvInt("KVSFX_DEMO_AUTOCLOSE", -1);
  S.DelayMs = EnvInt("KVSFX_DEMO_DELAY_MS", 0);
  S.LogPath = Env("KVSFX_DEMO_LOG");
  return S;
}

// ---------------------------------------------------------------- log

HANDLE LogFile = INVALID_HANDLE_VALUE;
bool LogOwned = false;

void OpenLog(const std::string& Path) {
  if (Path.empty()) return;
  if (Path == "-") {
    LogFile = GetStdHandle(STD_OUTPUT_HANDLE);
    if (LogFile == nullptr) LogFile = INVALID_HANDLE_VALUE;
    return;
  }
  LogFile = CreateFileA(Path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  LogOwned = LogFile != INVALID_HANDLE_VALUE;
}

void Log(const char* Format, ...) {
  if (LogFile == INVALID_HANDLE_VALUE) return;
  char Line[1024];
  va_list Args;
  va_start(Args, Format);
  int N = std::vsnprintf(Line, sizeof Line - 2, Format, Args);
  va_end(Args);
  if (N < 0) return;
  if (N > static_cast<int>(sizeof Line) - 3) N = sizeof Line - 3;
  Line[N++] = '\r';
  Line[N++] = '\n';
  DWORD Written;
  WriteFile(LogFile, Line, static_cast<DWORD>(N), &Written, nullptr);
}

// ---------------------------------------------------------------- helpers

std::string Grouped(long long V) {
  std::string Digits = std::to_string(V < 0 ? -V : V), Out;
  for (size_t I = 0; I < Digits.size(); ++I) {
    if (I > 0 && (Digits.size() - I) % 3 == 0) Out += ',';
    Out += Digits[I];
  }
  return V < 0 ? "-" + Out : Out;
}

// Creates Dir and any missing parents.
bool CreateFolders(const std::string& Dir) {
  DWORD A = GetFileAttributesA(Dir.c_str());
  if (A != INVALID_FILE_ATTRIBUTES) return (A & FILE_ATTRIBUTE_DIRECTORY) != 0;
  size_t Cut = Dir.find_last_of("\\/");
  if (Cut != std::string::npos && Cut > 0 && Dir[Cut - 1] != ':' && !CreateFolders(Dir.substr(0, Cut)))
    return false;
  return CreateDirectoryA(Dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Reads the packed size of every file from the unpacker's own executable,
// which ends with its catalogue: N records of 428 bytes (the start and end
// offsets of a file's packed data at bytes 16 and 20), then N as a u32. Used
// only to make the overall bar exact; an empty result leaves the bar to
// follow the current file.
std::vector<int64_t> ReadPackage(HWND Unpacker, std::string& ExePath) {
  constexpr DWORD kRecord = 428, kMaxFiles = 501;
  std::vector<int64_t> Sizes;
  DWORD Pid = 0;
  GetWindowThreadProcessId(Unpacker, &Pid);
  HANDLE Process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Pid);
  if (!Process) return Sizes;
  char Path[MAX_PATH];
  DWORD Len = MAX_PATH;
  BOOL Named = QueryFullProcessImageNameA(Process, 0, Path, &Len);
  CloseHandle(Process);
  if (!Named) return Sizes;
  ExePath.assign(Path, Len);

  HANDLE F = CreateFileA(Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (F == INVALID_HANDLE_VALUE) return Sizes;
  auto ReadAt = [F](LONGLONG Pos, void* Buf, DWORD N) {
    LARGE_INTEGER P;
    P.QuadPart = Pos;
    DWORD Got = 0;
    return SetFilePointerEx(F, P, nullptr, FILE_BEGIN) && ReadFile(F, Buf, N, &Got, nullptr) && Got == N;
  };
  LARGE_INTEGER Size;
  uint8_t CountBytes[4];
  if (GetFileSizeEx(F, &Size) && Size.QuadPart >= 4 && ReadAt(Size.QuadPart - 4, CountBytes, 4)) {
    DWORD Count = CountBytes[0] | CountBytes[1] << 8 | CountBytes[2] << 16 | DWORD(CountBytes[3]) << 24;
    if (Count >= 1 && Count <= kMaxFiles && Size.QuadPart >= 4 + LONGLONG(kRecord) * Count) {
      std::vector<uint8_t> Records(kRecord * Count);
      if (ReadAt(Size.QuadPart - 4 - LONGLONG(Records.size()), Records.data(), DWORD(Records.size()))) {
        for (DWORD I = 0; I < Count; ++I) {
          const uint8_t* R = &Records[I * kRecord];
          auto U32 = [](const uint8_t* P) { return DWORD(P[0] | P[1] << 8 | P[2] << 16 | DWORD(P[3]) << 24); };
          DWORD Start = U32(R + 16), End = U32(R + 20);
          if (End < Start) {
            Sizes.clear();
            break;
          }
          Sizes.push_back(End - Start);
        }
      }
    }
  }
  CloseHandle(F);
  return Sizes;
}

// ---------------------------------------------------------------- state

struct App {
  Settings Config;
  HWND Protocol = nullptr;
  HWND Setup = nullptr;
  HWND CloseButton = nullptr;
  HWND Unpacker = nullptr;
  ProgressModel Model;
  std::vector<std::string> Files;  // names in the order they started
  std::string Status;              // a start-up failure, shown instead of progress
  bool Running = false;            // the request is out, no result yet
  bool Done = false;               // result in, or start-up failed
  bool Ok = false;
  HFONT Heading = nullptr, Body = nullptr, Bold = nullptr, Small = nullptr;
};
App G;

void Repaint() {
  if (!G.Setup) return;
  InvalidateRect(G.Setup, nullptr, FALSE);
  UpdateWindow(G.Setup);
}

void EndRun(bool Ok) {
  G.Running = false;
  G.Done = true;
  G.Ok = Ok;
  KillTimer(G.Setup, kWatchTimer);
  EnableWindow(G.CloseButton, TRUE);
  SetWindowTextA(G.CloseButton, Ok ? "&Finish" : "&Close");
  SetFocus(G.CloseButton);
  Repaint();
  if (G.Config.AutoCloseSeconds >= 0) {
    Log("closing in %d s", G.Config.AutoCloseSeconds);
    SetTimer(G.Setup, kAutoCloseTimer, UINT(G.Config.AutoCloseSeconds) * 1000u + 1u, nullptr);
  }
}

void FailToStart(const std::string& Why) {
  G.Status = Why;
  Log("error: %s", Why.c_str());
  EndRun(false);
}

void ListExtracted() {
  for (const std::string& Name : G.Files) {
    std::string Path = G.Config.Target + "\\" + Name;
    WIN32_FILE_ATTRIBUTE_DATA D;
    if (GetFileAttributesExA(Path.c_str(), GetFileExInfoStandard, &D))
      Log("  %s  %s bytes", Path.c_str(),
          Grouped((static_cast<long long>(D.nFileSizeHigh) << 32) | D.nFileSizeLow).c_str());
    else
      Log("  %s  (missing)", Path.c_str());
  }
}

// Names the target folder and asks for the extraction.
void Start() {
  Log("target: %s", G.Config.Target.c_str());
  std::vector<uint8_t> Counted;
  if (!demo_splash::EncodeCountedString(G.Config.Target, Counted))
    return FailToStart("The destination folder name is longer than 255 characters.");
  if (!CreateFolders(G.Config.Target)) return FailToStart("Setup could not create the destination folder.");

  G.Unpacker = FindWindowA(nullptr, KVSFX_UNPACKER_WINDOW);
  if (!G.Unpacker)
    return FailToStart("The installer is not running. This program is started by the installer.");
  std::string ExePath;
  G.Model.SetPackage(ReadPackage(G.Unpacker, ExePath));
  if (G.Model.HasPackage())
    Log("installer: %s, %d files", ExePath.c_str(), G.Model.FileCount());
  else
    Log("installer: file count unknown, the bar follows each file");

  COPYDATASTRUCT Data{};
  Data.dwData = 0;
  Data.cbData = static_cast<DWORD>(Counted.size());
  Data.lpData = Counted.data();
  SendMessageA(G.Unpacker, WM_COPYDATA, reinterpret_cast<WPARAM>(G.Protocol), reinterpret_cast<LPARAM>(&Data));
  // The extraction runs inside the unpacker's handling of this request and
  // reports to us by synchronous sends. Posting it (rather than sending)
  // leaves our own message loop running meanwhile, so the window keeps
  // painting and can be moved while the files are copied.
  if (!PostMessageA(G.Unpacker, UM_EXTRACT_ALL, 0, 0))
    return FailToStart("Setup could not reach the installer.");
  Log("requested extraction");
  G.Running = true;
  // Should the unpacker vanish without a result, say so instead of waiting
  // for ever.
  SetTimer(G.Setup, kWatchTimer, 500, nullptr);
  Repaint();
}

// ---------------------------------------------------------------- protocol window

LRESULT CALLBACK ProtocolProc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam) {
  switch (Msg) {
    case WM_COPYDATA: {
      const auto* Data = reinterpret_cast<const COPYDATASTRUCT*>(LParam);
      ProgressRecord R;
      if (!Data || Data->dwData != 0 || !demo_splash::DecodeProgress(Data->lpData, Data->cbData, R)) {
        Log("ignored a message of %lu bytes", Data ? static_cast<unsigned long>(Data->cbData) : 0ul);
        return FALSE;
      }
      if (G.Done) return TRUE;
      if (G.Model.Apply(R)) {
        G.Files.push_back(R.FileName);
        Log("file %d: %s", G.Model.FilesSeen(), R.FileName.c_str());
      }
      Log("progress: %s read=%ld written=%ld percent=%u (bar %d%%)", R.FileName.c_str(), long(R.BytesRead),
          long(R.BytesWritten), unsigned(R.Percent), int(G.Model.Overall() * 100 + 0.5));
      Repaint();
      if (G.Config.DelayMs > 0) Sleep(DWORD(G.Config.DelayMs));
      return TRUE;
    }
    case UM_EXTRACT_OK:
    case UM_EXTRACT_FAILED: {
      if (G.Done) return 0;
      const bool Ok = Msg == UM_EXTRACT_OK;
      G.Model.Finish(Ok);
      Log("result: %s, %d files in %s, %s bytes written", Ok ? "OK" : "FAILED", G.Model.FilesSeen(),
          G.Config.Target.c_str(), Grouped(G.Model.WrittenTotal()).c_str());
      ListExtracted();
      EndRun(Ok);
      return 0;
    }
  }
  return DefWindowProcA(W, Msg, WParam, LParam);
}

// ---------------------------------------------------------------- setup window

HFONT MakeFont(HDC Dc, int Points, int Weight) {
  return CreateFontA(-MulDiv(Points, GetDeviceCaps(Dc, LOGPIXELSY), 72), 0, 0, 0, Weight, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, "Tahoma");
}

void Text(HDC Dc, HFONT Font, COLORREF Color, RECT R, const std::string& S, UINT Flags = 0) {
  SelectObject(Dc, Font);
  SetTextColor(Dc, Color);
  DrawTextA(Dc, S.c_str(), static_cast<int>(S.size()), &R, Flags | DT_NOPREFIX | DT_SINGLELINE);
}

void Fill(HDC Dc, RECT R, COLORREF Color) {
  HBRUSH B = CreateSolidBrush(Color);
  FillRect(Dc, &R, B);
  DeleteObject(B);
}

void Line(HDC Dc, int X1, int Y1, int X2, int Y2, COLORREF Color, int Width = 1) {
  HPEN P = CreatePen(PS_SOLID, Width, Color);
  HGDIOBJ Old = SelectObject(Dc, P);
  MoveToEx(Dc, X1, Y1, nullptr);
  LineTo(Dc, X2, Y2);
  SelectObject(Dc, Old);
  DeleteObject(P);
}

// A small package glyph for the header.
void DrawBox(HDC Dc, int X, int Y) {
  POINT Front[] = {{X, Y + 12}, {X + 22, Y + 20}, {X + 22, Y + 46}, {X, Y + 38}};
  POINT Side[] = {{X + 22, Y + 20}, {X + 44, Y + 12}, {X + 44, Y + 38}, {X + 22, Y + 46}};
  POINT Top[] = {{X, Y + 12}, {X + 22, Y + 4}, {X + 44, Y + 12}, {X + 22, Y + 20}};
  struct {
    POINT* P;
    COLORREF C;
  } Faces[] = {{Front, RGB(214, 170, 96)}, {Side, RGB(186, 140, 70)}, {Top, RGB(236, 200, 130)}};
  HPEN Pen = CreatePen(PS_SOLID, 1, RGB(120, 86, 40));
  HGDIOBJ OldPen = SelectObject(Dc, Pen);
  for (auto& F : Faces) {
    HBRUSH B = CreateSolidBrush(F.C);
    HGDIOBJ Old = SelectObject(Dc, B);
    Polygon(Dc, F.P, 4);
    SelectObject(Dc, Old);
    DeleteObject(B);
  }
  SelectObject(Dc, OldPen);
  DeleteObject(Pen);
  Line(Dc, X + 11, Y + 8, X + 33, Y + 16, RGB(150, 110, 55), 3);  // tape
}

// A flat progress bar: sunken frame, blue fill with a lighter top half.
void DrawBar(HDC Dc, RECT R, double Fraction) {
  Fill(Dc, R, RGB(255, 255, 255));
  RECT Edge = R;
  DrawEdge(Dc, &Edge, BDR_SUNKENOUTER, BF_RECT);
  RECT In = {R.left + 2, R.top + 2, R.right - 2, R.bottom - 2};
  if (Fraction < 0) Fraction = 0;
  if (Fraction > 1) Fraction = 1;
  int W = static_cast<int>((In.right - In.left) * Fraction + 0.5);
  if (W <= 0) return;
  RECT Done = {In.left, In.top, In.left + W, In.bottom};
  Fill(Dc, Done, RGB(38, 120, 210));
  RECT Shine = {In.left, In.top, In.left + W, In.top + (In.bottom - In.top) / 2};
  Fill(Dc, Shine, RGB(82, 154, 232));
}

void DrawMark(HDC Dc, int X, int Y, bool Ok) {
  HBRUSH B = CreateSolidBrush(Ok ? RGB(46, 160, 67) : RGB(200, 50, 50));
  HGDIOBJ OldB = SelectObject(Dc, B);
  HGDIOBJ OldP = SelectObject(Dc, GetStockObject(NULL_PEN));
  Ellipse(Dc, X, Y, X + 21, Y + 21);
  SelectObject(Dc, OldP);
  SelectObject(Dc, OldB);
  DeleteObject(B);
  if (Ok) {
    Line(Dc, X + 5, Y + 11, X + 9, Y + 15, RGB(255, 255, 255), 3);
    Line(Dc, X + 9, Y + 15, X + 16, Y + 6, RGB(255, 255, 255), 3);
  } else {
    Line(Dc, X + 6, Y + 6, X + 15, Y + 15, RGB(255, 255, 255), 3);
    Line(Dc, X + 15, Y + 6, X + 6, Y + 15, RGB(255, 255, 255), 3);
  }
}

void Paint(HDC Dc, int Width, int Height) {
  const COLORREF Face = GetSysColor(COLOR_BTNFACE), Ink = RGB(32, 32, 32), Grey = RGB(96, 96, 96);
  RECT All = {0, 0, Width, Height};
  Fill(Dc, All, Face);
  SetBkMode(Dc, TRANSPARENT);

  // Header band.
  RECT Band = {0, 0, Width, 70};
  Fill(Dc, Band, RGB(255, 255, 255));
  Line(Dc, 0, 70, Width, 70, GetSysColor(COLOR_BTNSHADOW));
  Line(Dc, 0, 71, Width, 71, RGB(255, 255, 255));
  std::string Title = G.Done ? (G.Ok ? "Installation complete" : "Installation failed")
                             : std::string("Installing ") + kProduct;
  Text(Dc, G.Heading, Ink, {20, 12, Width - 90, 36}, Title);
  std::string Sub = !G.Done ? "Please wait while Setup copies the files to your computer."
                    : G.Ok  ? std::string(kProduct) + " has been installed on your computer."
                            : std::string(kProduct) + " could not be installed.";
  Text(Dc, G.Body, Grey, {32, 40, Width - 90, 60}, Sub);
  DrawBox(Dc, Width - 70, 10);

  const int L = 24, R = Width - 24;
  Text(Dc, G.Body, Grey, {L, 88, R, 106}, "Destination folder:");
  RECT Field = {L, 108, R, 132};
  Fill(Dc, Field, RGB(255, 255, 255));
  DrawEdge(Dc, &Field, BDR_SUNKENOUTER, BF_RECT);
  Text(Dc, G.Body, Ink, {L + 8, 108, R - 8, 132}, G.Config.Target, DT_VCENTER | DT_PATH_ELLIPSIS);

  const ProgressRecord& Last = G.Model.Last();
  std::string Doing;
  if (!G.Status.empty())
    Doing = "Setup could not start.";
  else if (G.Done)
    Doing = G.Ok ? "All files were extracted." : "Extraction stopped. Last file: " + Last.FileName;
  else if (G.Model.Started())
    Doing = "Extracting: " + Last.FileName;
  else
    Doing = "Preparing...";
  const int Percent = static_cast<int>(G.Model.Overall() * 100);
  Text(Dc, G.Body, Ink, {L, 148, R - 60, 166}, Doing, DT_END_ELLIPSIS);
  if (G.Model.Started() || G.Done)
    Text(Dc, G.Bold, Ink, {R - 60, 148, R, 166}, std::to_string(Percent) + "%", DT_RIGHT);
  DrawBar(Dc, {L, 170, R, 192}, G.Model.Overall());

  if (G.Done && G.Ok) {
    Text(Dc, G.Small, Grey, {L, 198, R, 214},
         std::to_string(G.Model.FilesSeen()) + " files, " + Grouped(G.Model.WrittenTotal()) + " bytes written");
  } else if (G.Model.Started()) {
    std::string Count = "File " + std::to_string(G.Model.FilesSeen());
    if (G.Model.HasPackage()) Count += " of " + std::to_string(G.Model.FileCount());
    Text(Dc, G.Small, Grey, {L, 198, R, 214},
         Count + "     Read " + Grouped(Last.BytesRead) + " bytes     Written " + Grouped(Last.BytesWritten) +
             " bytes");
  }

  if (G.Done) {
    std::string Msg = !G.Status.empty() ? G.Status
                      : G.Ok ? "Installation complete: " + std::to_string(G.Model.FilesSeen()) + " files in " +
                                   G.Config.Target
                             : "Installation failed. Some files in " + G.Config.Target + " may be missing.";
    DrawMark(Dc, L, 220, G.Ok);
    Text(Dc, G.Bold, G.Ok ? RGB(24, 110, 40) : RGB(170, 30, 30), {L + 30, 220, R, 241}, Msg,
         DT_VCENTER | DT_END_ELLIPSIS);
  }

  Line(Dc, 0, Height - 50, Width, Height - 50, GetSysColor(COLOR_BTNSHADOW));
  Line(Dc, 0, Height - 49, Width, Height - 49, RGB(255, 255, 255));
  Text(Dc, G.Small, RGB(150, 150, 150), {12, Height - 40, 300, Height - 22},
       std::string(kProduct) + " Installer");
}

LRESULT CALLBACK SetupProc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam) {
  switch (Msg) {
    case WM_CREATE: {
      HDC Dc = GetDC(W);
      G.Heading = MakeFont(Dc, 13, FW_BOLD);
      G.Body = MakeFont(Dc, 9, FW_NORMAL);
      G.Bold = MakeFont(Dc, 9, FW_BOLD);
      G.Small = MakeFont(Dc, 8, FW_NORMAL);
      ReleaseDC(W, Dc);
      G.CloseButton = CreateWindowA("BUTTON", "Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                    kClientWidth - 112, kClientHeight - 38, 90, 26, W,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCloseButtonId)), nullptr, nullptr);
      SendMessageA(G.CloseButton, WM_SETFONT, reinterpret_cast<WPARAM>(G.Body), TRUE);
      return 0;
    }
    case kStartMessage:
      Start();
      return 0;
    case WM_TIMER:
      if (WParam == kWatchTimer && G.Running && !IsWindow(G.Unpacker)) {
        G.Model.Finish(false);
        FailToStart("The installer stopped without reporting a result.");
      } else if (WParam == kAutoCloseTimer) {
        KillTimer(W, kAutoCloseTimer);
        DestroyWindow(W);
      }
      return 0;
    case WM_COMMAND:
      if (LOWORD(WParam) == kCloseButtonId) SendMessageA(W, WM_CLOSE, 0, 0);
      return 0;
    case WM_CLOSE:
      // The unpacker cannot be stopped half-way; quitting only stops watching.
      if (G.Running &&
          MessageBoxA(W, "The files are still being copied, which cannot be stopped half-way. Close this window anyway?",
                      "Setup", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return 0;
      DestroyWindow(W);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT Ps;
      HDC Dc = BeginPaint(W, &Ps);
      RECT C;
      GetClientRect(W, &C);
      // Drawn off-screen first so the frequent repaints do not flicker.
      HDC Mem = CreateCompatibleDC(Dc);
      HBITMAP Bmp = CreateCompatibleBitmap(Dc, C.right, C.bottom);
      HGDIOBJ Old = SelectObject(Mem, Bmp);
      Paint(Mem, C.right, C.bottom);
      BitBlt(Dc, 0, 0, C.right, C.bottom, Mem, 0, 0, SRCCOPY);
      SelectObject(Mem, Old);
      DeleteObject(Bmp);
      DeleteDC(Mem);
      EndPaint(W, &Ps);
      return 0;
    }
    case WM_DESTROY:
      G.Setup = nullptr;
      PostQuitMessage(G.Ok ? 0 : 1);
      return 0;
  }
  return DefWindowProcA(W, Msg, WParam, LParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR CmdLine, int Show) {
  G.Config = ReadSettings();
  OpenLog(G.Config.LogPath);
  Log("%s setup started: command line \"%s\"", kProduct, CmdLine ? CmdLine : "");

  WNDCLASSA Pc{};
  Pc.lpfnWndProc = ProtocolProc;
  Pc.hInstance = Instance;
  Pc.lpszClassName = kProtocolClass;
  WNDCLASSA Sc{};
  Sc.lpfnWndProc = SetupProc;
  Sc.hInstance = Instance;
  Sc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  Sc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  Sc.lpszClassName = kSetupClass;
  if (!RegisterClassA(&Pc) || !RegisterClassA(&Sc)) return 1;

  // Top-level (not message-only), or the unpacker's FindWindowA would miss it.
  G.Protocol = CreateWindowExA(WS_EX_TOOLWINDOW, kProtocolClass, KVSFX_SPLASH_WINDOW, WS_POPUP, 0, 0, 0, 0, nullptr,
                               nullptr, Instance, nullptr);

  const DWORD Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT Frame = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&Frame, Style, FALSE);
  const int Fw = Frame.right - Frame.left, Fh = Frame.bottom - Frame.top;
  const std::string Caption = std::string(kProduct) + " Setup";
  G.Setup = CreateWindowExA(0, kSetupClass, Caption.c_str(), Style, (GetSystemMetrics(SM_CXSCREEN) - Fw) / 2,
                            (GetSystemMetrics(SM_CYSCREEN) - Fh) / 2, Fw, Fh, nullptr, nullptr, Instance, nullptr);
  if (!G.Protocol || !G.Setup) return 1;
  ShowWindow(G.Setup, Show == SW_HIDE ? SW_SHOWNORMAL : Show);
  UpdateWindow(G.Setup);
  // Start once the window is on screen.
  PostMessageA(G.Setup, kStartMessage, 0, 0);

  MSG M;
  int Code = 1;
  while (true) {
    BOOL R = GetMessageA(&M, nullptr, 0, 0);
    if (R == 0) {
      Code = static_cast<int>(M.wParam);
      break;
    }
    if (R == -1) break;
    if (!IsDialogMessageA(G.Setup, &M)) {
      TranslateMessage(&M);
      DispatchMessageA(&M);
    }
  }
  if (G.Protocol) DestroyWindow(G.Protocol);
  for (HFONT F : {G.Heading, G.Body, G.Bold, G.Small})
    if (F) DeleteObject(F);
  Log("exit %d", Code);
  if (LogOwned) CloseHandle(LogFile);
  return Code;
}
