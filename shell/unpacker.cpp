#include "shell/unpacker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "archive/packerunit.h"
#include "shell/x87.h"

TWindowHandle MainWindow = nullptr;
std::string SystemDir;
std::string TargetDir;

namespace {

constexpr const char* kClassName = "Window1";

// One record and one copy-data descriptor serve every report of the process.
TSplashProgress Progress{};
TCopyData ProgressData{};

// True from the acceptance of an extract-all request until its result has
// been delivered. A request that arrives meanwhile (sent by the splash
// program while it handles a report) would start over the running
// extraction's shared state, so it is ignored.
bool RequestRunning = false;

// The counted string of a WM_COPYDATA: length byte, then the text. Never
// reads past cbData, whatever the length byte claims; no data at all is an
// empty string.
std::string CountedString(const TCopyData* data) {
  if (!data || !data->lpData || data->cbData == 0) return std::string();
  const auto* bytes = static_cast<const uint8_t*>(data->lpData);
  const std::size_t length = std::min<std::size_t>(bytes[0], data->cbData - 1);
  return std::string(reinterpret_cast<const char*>(bytes + 1), length);
}

void ExtractAllRequest() {
  RequestRunning = true;
  // A copy: a WM_COPYDATA handled during the run changes TargetDir only for
  // a later request.
  const std::string target = TargetDir;
  bool ok = false;
  try {
    ok = ExtractAll(ModuleFileName(), target, SendSplashProgress, false);
  } catch (...) {
    // ExtractAll does not raise; this only keeps anything else (memory)
    // from unwinding through the system's message dispatch.
    ok = false;
  }
  SendWindowMessage(FindWindowByName(KVSFX_SPLASH_WINDOW), ok ? UM_EXTRACT_OK : UM_EXTRACT_FAILED,
                    0, 0);
  PostQuitRequest(0);
  RequestRunning = false;
}

}  // namespace

std::string SplashCommandLine(const std::string& systemDir, const std::string& fileName) {
  const std::string path = systemDir + "\\" + fileName;
  if (path.find_first_of(" \t") != std::string::npos) return "\"" + path + "\" /Splash";
  return path + " /Splash";
}

uint8_t SplashPercent(int32_t bytesRead, int32_t packedSize) {
  if (packedSize <= 0) return 0;
  long double r = bytesRead;
  long double s = packedSize;
#if defined(KVSFX_HAVE_X87)
  // Extended precision, round to nearest, for exactly this computation. The
  // empty asm statements pin it between the two control-word loads: its
  // inputs count as changed after the first, its result is needed by the
  // second.
  const uint16_t saved = X87ControlWord();
  const uint16_t wanted =
      static_cast<uint16_t>((saved & ~(X87PrecisionMask | X87RoundingMask)) | X87Precision64);
  if (wanted != saved) SetX87ControlWord(wanted);
  asm volatile("" : "+m"(r), "+m"(s));
#endif
  const long double product = r / s * 100.0L;
  auto percent = static_cast<uint8_t>(static_cast<int64_t>(std::nearbyint(product)) & 0xFF);
#if defined(KVSFX_HAVE_X87)
  asm volatile("" : "+r"(percent));
  if (wanted != saved) SetX87ControlWord(saved);
#endif
  return percent;
}

void SendSplashProgress() {
  int32_t bytesRead = 0;
  int32_t bytesWritten = 0;
  GetExtractCounts(bytesRead, bytesWritten);
  // Only the name's own bytes are replaced; the rest of the field keeps what
  // an earlier, longer name left there.
  const std::size_t length = std::min<std::size_t>(CurrentFileName.size(), 255);
  Progress.FileName[0] = static_cast<uint8_t>(length);
  std::memcpy(Progress.FileName + 1, CurrentFileName.data(), length);
  Progress.BytesRead = bytesRead;
  Progress.BytesWritten = bytesWritten;
  Progress.Percent = SplashPercent(bytesRead, CurrentPackedSize);
  ProgressData.dwData = 0;
  ProgressData.cbData = sizeof(TSplashProgress);
  ProgressData.lpData = &Progress;
  SendWindowMessage(FindWindowByName(KVSFX_SPLASH_WINDOW), WmCopyData,
                    reinterpret_cast<TWParam>(MainWindow),
                    reinterpret_cast<TLParam>(&ProgressData));
}

TLResult KVSFX_WINAPI MainWndProc(TWindowHandle window, uint32_t message, TWParam wParam,
                                  TLParam lParam) {
  switch (message) {
    case WmDestroy:
      PostQuitRequest(0);
      return 0;
    case WmCopyData:
      TargetDir = CountedString(reinterpret_cast<const TCopyData*>(lParam));
      return DefaultWindowProc(window, message, wParam, lParam);
    case UM_EXTRACT_ALL:
      if (!RequestRunning) ExtractAllRequest();
      return 0;
    default:
      return DefaultWindowProc(window, message, wParam, lParam);
  }
}

int UnpackerMain() {
  MainWindow = nullptr;
  SystemDir.clear();
  TargetDir.clear();
  RequestRunning = false;

  const TWindowClass windowClass{CsVRedraw | CsHRedraw, MainWndProc, 0, 0,
                                 IdiApplication,        IdcArrow,    ColorMenu + 1,
                                 kClassName};
  if (!RegisterWindowClass(windowClass)) return 0;
  // Never shown: the style lacks WsVisible and nothing asks for it.
  MainWindow = CreateTopLevelWindow(0, kClassName, KVSFX_UNPACKER_WINDOW, WsOverlappedWindow,
                                    CwUseDefault, CwUseDefault, CwUseDefault, CwUseDefault);
  if (!MainWindow) return 0;
  RefreshWindow(MainWindow);

  SystemDir = SystemDirectory();
  const std::string archivePath = ModuleFileName();
  // Entry 0 is the splash program. An error here ends the unpacker: the
  // splash program would be missing or damaged.
  try {
    if (!ExtractEntry(archivePath, SystemDir, 0, false)) return 0;
  } catch (const std::exception& e) {
    ShowErrorMessage(e.what());
    return 1;
  }
  SystemDir = SplashCommandLine(SystemDir, CurrentFileName);
  RunCommandLine(SystemDir, SwShow);

  TMessage message{};
  while (FetchMessage(message) != 0) {
    TranslateWindowMessage(message);
    DispatchWindowMessage(message);
  }
  return static_cast<int>(message.WParam);
}
