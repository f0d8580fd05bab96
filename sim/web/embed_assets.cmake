# Turns the web page's files into a C++ source of byte arrays (sim/web/web_assets.h).
#   cmake -DOUT=web_assets.cpp -DASSETS="/index.html=PATH|/xterm.js=PATH|..." -P embed_assets.cmake
string(REPLACE "|" ";" ASSETS "${ASSETS}")
set(body "")
set(table "")
set(index 0)
foreach(asset IN LISTS ASSETS)
  string(FIND "${asset}" "=" eq)
  string(SUBSTRING "${asset}" 0 ${eq} name)
  math(EXPR from "${eq} + 1")
  string(SUBSTRING "${asset}" ${from} -1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char kAsset${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${name}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Generated at build time from the web page's files; not edited by hand.\n"
  "#include \"sim/web/web_assets.h\"\n\nnamespace sim {\n\nnamespace {\n${body}}  // namespace\n\n"
  "const WebAsset kWebAssets[] = {\n${table}};\nconst std::size_t kWebAssetCount = ${index};\n\n}  // namespace sim\n")
file(RENAME "${OUT}.tmp" "${OUT}")
