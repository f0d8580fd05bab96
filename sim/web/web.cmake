# The board's web page in tl500-sim (--web): the server on cpp-httplib in a
# module of its own (tl500-sim-web.so, opened only by runs with --web, so other
# runs do not load the HTTP library, TLS and compression), and the page's files
# compiled into the program. The terminal in the page is xterm.js,
# pinned by sim/web/package-lock.json and installed with `npm ci` into the build
# tree; without npm the program still builds and the page says the terminal is
# missing.
pkg_check_modules(HTTPLIB REQUIRED cpp-httplib)
set(TL500_WEB_DIR ${CMAKE_SOURCE_DIR}/sim/web)
file(GLOB TL500_WEB_SOURCES CONFIGURE_DEPENDS ${TL500_WEB_DIR}/*.cpp)
list(REMOVE_ITEM TL500_WEB_SOURCES ${TL500_WEB_DIR}/web_server.cpp)
set(TL500_WEB_PAGE /index.html=${TL500_WEB_DIR}/index.html /page.js=${TL500_WEB_DIR}/page.js
  /page.css=${TL500_WEB_DIR}/page.css)
set(TL500_WEB_DEPENDS ${TL500_WEB_DIR}/index.html ${TL500_WEB_DIR}/page.js ${TL500_WEB_DIR}/page.css)

find_program(TL500_NPM npm)
if(TL500_NPM)
  set(npm_dir ${CMAKE_BINARY_DIR}/web_npm)
  set(xterm ${npm_dir}/node_modules/@xterm/xterm)
  add_custom_command(OUTPUT ${xterm}/lib/xterm.js ${xterm}/css/xterm.css
    COMMAND ${CMAKE_COMMAND} -E make_directory ${npm_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${TL500_WEB_DIR}/package.json ${TL500_WEB_DIR}/package-lock.json ${npm_dir}
    COMMAND ${TL500_NPM} ci --ignore-scripts --no-audit --no-fund --loglevel=error
    COMMAND ${CMAKE_COMMAND} -E touch ${xterm}/lib/xterm.js ${xterm}/css/xterm.css
    WORKING_DIRECTORY ${npm_dir}
    DEPENDS ${TL500_WEB_DIR}/package.json ${TL500_WEB_DIR}/package-lock.json
    COMMENT "Installing the page's terminal (xterm.js) with npm ci")
  list(APPEND TL500_WEB_PAGE /xterm.js=${xterm}/lib/xterm.js /xterm.css=${xterm}/css/xterm.css)
  list(APPEND TL500_WEB_DEPENDS ${xterm}/lib/xterm.js ${xterm}/css/xterm.css)
else()
  message(WARNING "npm not found: tl500-sim's web page is built without its terminal (tools/install-deps.sh installs npm)")
endif()

string(REPLACE ";" "|" TL500_WEB_ASSETS "${TL500_WEB_PAGE}")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/web_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_BINARY_DIR}/web_assets.cpp "-DASSETS=${TL500_WEB_ASSETS}"
    -P ${TL500_WEB_DIR}/embed_assets.cmake
  VERBATIM
  DEPENDS ${TL500_WEB_DEPENDS} ${TL500_WEB_DIR}/embed_assets.cmake
  COMMENT "Compiling the web page's files into tl500-sim")
target_sources(tl500-sim PRIVATE ${TL500_WEB_SOURCES} ${CMAKE_BINARY_DIR}/web_assets.cpp)

add_library(tl500_web MODULE ${TL500_WEB_DIR}/web_server.cpp ${TL500_WEB_DIR}/json_string.cpp)
# Next to the program, where it looks first.
set_target_properties(tl500_web PROPERTIES PREFIX "" OUTPUT_NAME tl500-sim-web)
target_include_directories(tl500_web PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(tl500_web SYSTEM PRIVATE ${HTTPLIB_INCLUDE_DIRS})
target_compile_options(tl500_web PRIVATE ${TL500_WARNINGS} ${HTTPLIB_CFLAGS_OTHER})
target_link_libraries(tl500_web PRIVATE ${HTTPLIB_LINK_LIBRARIES} Threads::Threads)
# A copy of the program outside the build tree still finds the build tree's.
target_compile_definitions(tl500-sim PRIVATE "TL500_WEB_MODULE_NAME=\"$<TARGET_FILE_NAME:tl500_web>\""
  "TL500_WEB_MODULE_BUILT=\"$<TARGET_FILE:tl500_web>\"")
target_link_libraries(tl500-sim PRIVATE ${CMAKE_DL_LIBS})
# Building the program builds its module.
add_dependencies(tl500-sim tl500_web)
