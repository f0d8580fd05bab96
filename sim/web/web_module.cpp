// Opening the web server's module (see web_server.h). It is opened once, at
// the first --web of the process, and stays loaded: its threads and the
// answers it hands out run its code until the process ends.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "web_server.h"

#ifndef TL500_WEB_MODULE_NAME
#error "TL500_WEB_MODULE_NAME names the web server's module file"
#endif
#ifndef TL500_WEB_MODULE_BUILT
#error "TL500_WEB_MODULE_BUILT is where the build tree has the web server's module"
#endif

namespace sim {

namespace {

using OpenFunction = WebServer* (*)(const WebServerSetup&, std::string&);

std::string programDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  std::string self(path, static_cast<std::size_t>(length));
  std::size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string() : self.substr(0, slash);
}

// Where the module is looked for, in order.
std::vector<std::string> modulePlaces() {
  if (const char* chosen = std::getenv("TL500_SIM_WEB_MODULE"); chosen != nullptr && *chosen != '\0') return {chosen};
  std::vector<std::string> places;
  if (std::string dir = programDirectory(); !dir.empty()) places.push_back(dir + "/" + TL500_WEB_MODULE_NAME);
  if (places.empty() || places.front() != TL500_WEB_MODULE_BUILT) places.push_back(TL500_WEB_MODULE_BUILT);
  return places;
}

OpenFunction loadModule() {
  static OpenFunction entryPoint = nullptr;
  if (entryPoint != nullptr) return entryPoint;
  std::vector<std::string> places = modulePlaces();
  std::string tried, why;
  for (const std::string& place : places) {
    void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* error = dlerror();
      tried += (tried.empty() ? "" : ", then ") + place;
      why += (why.empty() ? "" : "; ") + std::string(error != nullptr ? error : "unknown error");
      continue;
    }
    dlerror();
    void* entry = dlsym(module, kWebServerOpenSymbol);
    if (entry == nullptr) {
      const char* error = dlerror();
      throw std::runtime_error("--web: " + place + " is not the web server's module: " +
                               (error != nullptr ? error : "no " + std::string(kWebServerOpenSymbol)));
    }
    entryPoint = reinterpret_cast<OpenFunction>(entry);
    return entryPoint;
  }
  throw std::runtime_error("--web: cannot load the web server's module (looked for " + tried + "): " + why);
}

}  // namespace

std::unique_ptr<WebServer> openWebServer(const WebServerSetup& setup) {
  OpenFunction start = loadModule();
  std::string error;
  std::unique_ptr<WebServer> server(start(setup, error));
  if (server == nullptr) throw std::runtime_error(error.empty() ? "--web: the web server did not start" : error);
  return server;
}

}  // namespace sim
