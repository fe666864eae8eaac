// The unpacker's shell: start-up (a hidden window "fUnpackerForm", entry 0
// extracted into the system directory and launched with " /Splash"), the
// message loop, and the window protocol with the splash program (target
// directory in, extract-all request in, progress records and the result out).
// Written against platform/window.h only, so it runs on both backends.
#pragma once
#include <cstdint>
#include <string>

#include "platform/window.h"
#include "shell/splash_protocol.h"

// Process-wide state of the shell.
extern TWindowHandle MainWindow;  // "fUnpackerForm"; wParam of every progress record
extern std::string SystemDir;     // the system directory, later the launch command line
extern std::string TargetDir;     // set by the splash program; empty until then

// Runs the unpacker from start-up to the end of its message loop and answers
// the exit code: 0 on every path except an error raised by the first
// extraction, which is shown in a message box and answers 1.
int UnpackerMain();

// The window procedure of class "Window1".
TLResult KVSFX_WINAPI MainWndProc(TWindowHandle window, uint32_t message, TWParam wParam,
                                  TLParam lParam);

// The progress hook of the extract-all run: sends one TSplashProgress for the
// current entry to the window "fSplashScreen".
void SendSplashProgress();

// The Percent field: bytesRead / packedSize * 100 in the x87 extended format
// (quotient rounded to 64 bits of mantissa, then the product), rounded to
// the nearest integer with ties to even, low 8 bits. 0 when packedSize <= 0.
uint8_t SplashPercent(int32_t bytesRead, int32_t packedSize);

// The command line that launches entry 0: its path in the system directory
// followed by " /Splash"; the path is quoted when it contains a blank, so
// that Windows cannot take a shorter prefix of it for the program.
std::string SplashCommandLine(const std::string& systemDir, const std::string& fileName);
