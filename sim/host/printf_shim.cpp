// The firmware's printf on the host. The firmware prints through its own fputc,
// which feeds the console port; the host's C library would print to the
// terminal instead, so the firmware's sources are compiled with printf renamed
// (firmware_host_prelude.h) and this formats into the firmware's fputc.
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "firmware_host_prelude.h"

// The firmware's printf on the host: formats, then hands every character to the
// firmware's own fputc, as the board's C library does.
extern "C" int tl500_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) {
    va_end(args);
    return length;
  }
  std::vector<char> text(static_cast<std::size_t>(length) + 1);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  for (int i = 0; i < length; ++i) tl500_fputc(static_cast<unsigned char>(text[static_cast<std::size_t>(i)]), stdout);
  return length;
}
