# Cross-builds the Windows programs into build/win32 (filled in with the stub).
