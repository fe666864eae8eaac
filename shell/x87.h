// The x87 control word. The progress percentage is defined in the x87
// extended format (64-bit mantissa), so the code that computes it makes sure
// that the unit's precision control says so, whatever the runtime left there.
#pragma once
#include <cstdint>

#if defined(__i386__) || defined(__x86_64__)
#define KVSFX_HAVE_X87 1

constexpr uint16_t X87PrecisionMask = 0x0300;  // bits 8-9: 00 single, 10 double, 11 extended
constexpr uint16_t X87Precision64 = 0x0300;
constexpr uint16_t X87Precision53 = 0x0200;
constexpr uint16_t X87RoundingMask = 0x0C00;   // bits 10-11: 00 to nearest, ties to even

inline uint16_t X87ControlWord() {
  uint16_t cw;
  asm volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

inline void SetX87ControlWord(uint16_t cw) { asm volatile("fldcw %0" : : "m"(cw)); }
#endif
