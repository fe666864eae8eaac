/* The window protocol between the unpacker and its splash program.
 *
 * The splash program owns a top-level window named KVSFX_SPLASH_WINDOW. It
 * finds the unpacker's window KVSFX_UNPACKER_WINDOW and sends it
 *   - WM_COPYDATA whose data is the target directory as a counted string
 *     (a length byte L, then L characters in the ANSI code page);
 *   - UM_EXTRACT_ALL (wParam and lParam unused) to start the extraction.
 * While the extraction runs, the unpacker sends the splash window, each time
 * synchronously, a WM_COPYDATA with dwData 0, cbData sizeof(TSplashProgress)
 * (265), lpData one TSplashProgress, and wParam the unpacker's window handle;
 * then UM_EXTRACT_OK or UM_EXTRACT_FAILED (wParam 0, lParam 0). After that
 * the unpacker quits with exit code 0.
 *
 * Plain C; usable from C and C++ alike. */
#ifndef KVSFX_SHELL_SPLASH_PROTOCOL_H
#define KVSFX_SHELL_SPLASH_PROTOCOL_H

#include <stdint.h>

#define KVSFX_SPLASH_WINDOW "fSplashScreen"
#define KVSFX_UNPACKER_WINDOW "fUnpackerForm"

/* WM_USER (0x0400) + n. WM_USER + 3 is not used. */
#define UM_EXTRACT_OK 1025
#define UM_EXTRACT_FAILED 1026
#define UM_EXTRACT_ALL 1028

#pragma pack(push, 1)
typedef struct TSplashProgress {
  /* Counted string of capacity 255: FileName[0] is the length L of the name
     of the entry being extracted, FileName[1..L] its characters. The bytes
     after them may hold the rest of an earlier, longer name. */
  uint8_t FileName[256];
  int32_t BytesRead;    /* read from the archive for this entry so far,
                           including the decompressor's read-ahead */
  int32_t BytesWritten; /* written to this entry's file so far */
  uint8_t Percent;      /* BytesRead / packed size * 100, rounded to nearest
                           (ties to even), low 8 bits: it can exceed 100 and
                           wraps around */
} TSplashProgress;
#pragma pack(pop)

/* The record is sent byte for byte; its size is part of the protocol. */
#if defined(__cplusplus)
static_assert(sizeof(TSplashProgress) == 265, "TSplashProgress is 265 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(TSplashProgress) == 265, "TSplashProgress is 265 bytes");
#else
typedef char TSplashProgressIs265Bytes[(sizeof(TSplashProgress) == 265) ? 1 : -1];
#endif

#endif
