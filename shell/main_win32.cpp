// The unpacker's Windows entry point. Arguments are ignored: the unpacker has
// no options. Returning from WinMain ends the process with that exit code.
#include <windows.h>

#include "shell/unpacker.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return UnpackerMain(); }
