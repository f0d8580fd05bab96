// jsonString: used by the program (the board's state) and by the web server's
// module (the serial lines' bytes), so both are built with it.
#include <cstdio>

#include "web_server.h"

namespace sim {

std::string jsonString(const std::string& bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", b);
      out += escape;
    }
  }
  return out + "\"";
}

}  // namespace sim
