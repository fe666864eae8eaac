/* A splash program for the end-to-end tests, written in C against the
 * protocol header alone. It plays the splash program's part and logs, one
 * line each, everything it sees, to the file named by KVSFX_TEST_LOG:
 *
 *   cmdline <its own command line>
 *   module <its own path>
 *   x87 <control word left by the runtime, hex>
 *   unpacker <handle> class=<class name> style=<hex> visible=<0|1>
 *   copydata <target> | copydata skipped
 *   progress <cbData> <dwData> <wParam> <BytesRead> <BytesWritten> <Percent> <name>
 *   result ok | result failed | message <number>
 *   returned
 *
 * KVSFX_TEST_TARGET is the target directory it sends. KVSFX_TEST_MODE:
 *   nocopydata  send no target directory, only the extract-all request;
 *   nested      while handling the first progress record, send the unpacker
 *               another target directory and another extract-all request.
 *
 * Started with /Dismiss instead, it waits for a message box, logs
 * "messagebox <title>|<text>" and presses its OK button. */
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shell/splash_protocol.h"

static FILE* logFile;
static HWND unpacker;
static int nested;
static int nestedSent;

static void Log(const char* format, ...) {
  va_list args;
  if (!logFile) return;
  va_start(args, format);
  vfprintf(logFile, format, args);
  va_end(args);
  fputc('\n', logFile);
  fflush(logFile);
}

static unsigned short ControlWord(void) {
  unsigned short cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

static void SendTarget(HWND to, const char* target) {
  unsigned char text[256];
  COPYDATASTRUCT data;
  size_t length = strlen(target);
  if (length > 255) length = 255;
  memset(text, 0, sizeof text);
  text[0] = (unsigned char)length;
  memcpy(text + 1, target, length);
  data.dwData = 0;
  data.cbData = (DWORD)(length + 1);
  data.lpData = text;
  SendMessageA(to, WM_COPYDATA, 0, (LPARAM)&data);
}

static LRESULT CALLBACK SplashProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA) {
    const COPYDATASTRUCT* data = (const COPYDATASTRUCT*)lParam;
    TSplashProgress record;
    memset(&record, 0, sizeof record);
    if (data->lpData && data->cbData >= sizeof record) memcpy(&record, data->lpData, sizeof record);
    Log("progress %lu %lu %lu %ld %ld %u %.*s", (unsigned long)data->cbData,
        (unsigned long)data->dwData, (unsigned long)wParam, (long)record.BytesRead,
        (long)record.BytesWritten, (unsigned)record.Percent, (int)record.FileName[0],
        (const char*)record.FileName + 1);
    if (nested && !nestedSent) {
      nestedSent = 1;
      SendTarget(unpacker, "C:\\kvsfx-nested-target");
      SendMessageA(unpacker, UM_EXTRACT_ALL, 0, 0);
      Log("nested sent");
    }
    return 1;
  }
  if (message == UM_EXTRACT_OK || message == UM_EXTRACT_FAILED) {
    Log("result %s %lu %ld", message == UM_EXTRACT_OK ? "ok" : "failed", (unsigned long)wParam,
        (long)lParam);
    return 0;
  }
  if (message >= WM_USER) Log("message %u", message);
  return DefWindowProcA(window, message, wParam, lParam);
}

static int Dismiss(void) {
  int tries;
  for (tries = 0; tries < 600; ++tries) {
    HWND box = FindWindowA("#32770", NULL);
    char title[256] = "", text[512] = "";
    if (box) {
      GetWindowTextA(box, title, sizeof title);
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text); /* the static text of a message box */
    }
    /* The dialog exists a moment before its caption and text are set: wait
       for the text, so that a busy machine does not log an empty box. */
    if (box && text[0]) {
      Log("messagebox %s|%s", title, text);
      SendMessageA(box, WM_COMMAND, IDOK, 0);
      return 0;
    }
    Sleep(50);
  }
  Log("messagebox none");
  return 3;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  const unsigned short cw = ControlWord();
  char buffer[MAX_PATH + 1];
  const char* mode;
  const char* target;
  WNDCLASSA windowClass;
  (void)previous;
  (void)show;

  {
    const DWORD n = GetEnvironmentVariableA("KVSFX_TEST_LOG", buffer, sizeof buffer);
    if (n > 0 && n < sizeof buffer) logFile = fopen(buffer, "a");
  }
  if (strstr(commandLine, "/Dismiss")) return Dismiss();

  Log("cmdline %s", GetCommandLineA());
  buffer[GetModuleFileNameA(NULL, buffer, MAX_PATH)] = 0;
  Log("module %s", buffer);
  Log("x87 %04x", cw);

  memset(&windowClass, 0, sizeof windowClass);
  windowClass.lpfnWndProc = SplashProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "KvsfxTestSplash";
  RegisterClassA(&windowClass);
  /* Hidden: the window only has to exist under its name. */
  if (!CreateWindowExA(0, "KvsfxTestSplash", KVSFX_SPLASH_WINDOW, WS_OVERLAPPED, 0, 0, 10, 10, NULL,
                       NULL, instance, NULL)) {
    Log("no window");
    return 2;
  }

  unpacker = FindWindowA(NULL, KVSFX_UNPACKER_WINDOW);
  if (!unpacker) {
    Log("unpacker none");
    return 2;
  }
  {
    char className[64] = "";
    GetClassNameA(unpacker, className, sizeof className);
    Log("unpacker %lu class=%s style=%lx visible=%d", (unsigned long)(UINT_PTR)unpacker, className,
        (unsigned long)GetWindowLongA(unpacker, GWL_STYLE), IsWindowVisible(unpacker) ? 1 : 0);
  }

  mode = getenv("KVSFX_TEST_MODE");
  if (!mode) mode = "";
  nested = strcmp(mode, "nested") == 0;
  if (strcmp(mode, "nocopydata") == 0) {
    Log("copydata skipped");
  } else {
    target = getenv("KVSFX_TEST_TARGET");
    if (!target) target = "";
    SendTarget(unpacker, target);
    Log("copydata %s", target);
  }
  /* The whole extraction runs while this send waits: the progress records
     and the result arrive at SplashProc meanwhile. */
  SendMessageA(unpacker, UM_EXTRACT_ALL, 0, 0);
  Log("returned");
  if (logFile) fclose(logFile);
  return 0;
}
