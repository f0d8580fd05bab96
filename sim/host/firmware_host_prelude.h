// Included first into every firmware source of the host build.
//
// The firmware prints with printf, whose characters go through the firmware's
// own fputc to the console port. On the host the C library has functions of
// those names, so the firmware's are renamed here, after the C library's
// declarations are in, and the host seam supplies a printf that formats into
// the firmware's fputc.
#pragma once

#include <stdio.h>

#include <cstdio>

extern "C" int tl500_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
extern "C" int tl500_fputc(int ch, FILE* stream);

#define printf tl500_printf
#define fputc tl500_fputc

// The firmware's main, renamed on the host (the host program has its own);
// the board runner calls it.
int tl500_firmware_main();
