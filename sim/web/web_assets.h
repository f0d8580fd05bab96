// The web page's files, compiled into the program at build time (the page's
// own HTML, script and style, and the terminal library when npm was there).
#pragma once

#include <cstddef>

namespace sim {

struct WebAsset {
  const char* path;  // "/index.html"
  const unsigned char* data;
  std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace sim
