// Test aid: a stand-in for the unpacker's side of the splash protocol, to run
// the demo splash program without an installer. It opens the hidden window
// "fUnpackerForm", takes the target folder from a WM_COPYDATA and, on the
// extract-all request, reports a made-up extraction of a few files (writing
// them into the target folder) the way the unpacker does: a record after the
// header read, after every 32 KiB refill and output flush, and at each file's
// end, the percentage being the read counter over the packed size, read-ahead
// included. Then the result, then it quits.
//
// Usage: fake_unpacker.exe [fail]   ("fail" reports a failure half-way)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cmath>
#include <cstring>
#include <string>

#include "shell/splash_protocol.h"

namespace {

struct FakeFile {
  const char* Name;
  int32_t Packed;
  int32_t Size;
};
constexpr FakeFile kFiles[] = {
    {"demo_splash.exe", 101000, 248320}, {"readme.txt", 1900, 4700},     {"kvdemo.exe", 210000, 512000},
    {"kvdemo.dll", 96000, 230000},       {"sample.dat", 50000, 140000}, {"license.txt", 3100, 9800},
};

HWND Self = nullptr;
std::string Target;
bool Fail = false;

void Report(const char* Name, int32_t Read, int32_t Written, int32_t Packed) {
  TSplashProgress P;
  std::memset(&P, 0, sizeof P);
  size_t L = std::strlen(Name);
  P.FileName[0] = static_cast<uint8_t>(L);
  std::memcpy(P.FileName + 1, Name, L);
  P.BytesRead = Read;
  P.BytesWritten = Written;
  P.Percent = static_cast<uint8_t>(static_cast<long long>(std::nearbyint(double(Read) / Packed * 100.0)) & 0xFF);
  COPYDATASTRUCT C{0, sizeof P, &P};
  HWND Splash = FindWindowA(nullptr, KVSFX_SPLASH_WINDOW);
  if (Splash) SendMessageA(Splash, WM_COPYDATA, reinterpret_cast<WPARAM>(Self), reinterpret_cast<LPARAM>(&C));
}

bool ExtractAllFake() {
  int Index = 0;
  for (const FakeFile& F : kFiles) {
    if (Fail && Index++ == 3) return false;
    HANDLE Out = CreateFileA((Target + "\\" + F.Name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (Out == INVALID_HANDLE_VALUE) return false;
    static char Block[32768];
    std::memset(Block, 'k', sizeof Block);
    int32_t Read = 8, Written = 0;
    Report(F.Name, Read, Written, F.Packed);
    while (Written < F.Size) {
      if (Read < F.Packed + 8) {  // refill, reaching past the file's end
        Read += 32768;
        Report(F.Name, Read, Written, F.Packed);
      }
      int32_t N = F.Size - Written < 32768 ? F.Size - Written : 32768;
      DWORD Done;
      WriteFile(Out, Block, DWORD(N), &Done, nullptr);
      Written += N;
      Report(F.Name, Read, Written, F.Packed);
    }
    CloseHandle(Out);
    Report(F.Name, Read, Written, F.Packed);
  }
  return true;
}

LRESULT CALLBACK Proc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam) {
  switch (Msg) {
    case WM_COPYDATA: {
      const auto* C = reinterpret_cast<const COPYDATASTRUCT*>(LParam);
      const auto* S = static_cast<const uint8_t*>(C->lpData);
      if (S && C->cbData >= 1u + S[0]) Target.assign(reinterpret_cast<const char*>(S + 1), S[0]);
      break;
    }
    case UM_EXTRACT_ALL: {
      bool Ok = ExtractAllFake();
      HWND Splash = FindWindowA(nullptr, KVSFX_SPLASH_WINDOW);
      if (Splash) SendMessageA(Splash, Ok ? UM_EXTRACT_OK : UM_EXTRACT_FAILED, 0, 0);
      PostQuitMessage(0);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(W, Msg, WParam, LParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR CmdLine, int) {
  Fail = CmdLine && std::strstr(CmdLine, "fail");
  WNDCLASSA C{};
  C.lpfnWndProc = Proc;
  C.hInstance = Instance;
  C.lpszClassName = "KvFakeUnpacker";
  RegisterClassA(&C);
  Self = CreateWindowA("KvFakeUnpacker", KVSFX_UNPACKER_WINDOW, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                       Instance, nullptr);
  MSG M;
  while (GetMessageA(&M, nullptr, 0, 0) > 0) DispatchMessageA(&M);
  return 0;
}
