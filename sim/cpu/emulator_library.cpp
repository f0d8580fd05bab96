// The emulator library, loaded on first use.
//
// Only runs of the board image use the emulated core, yet a program linked
// against the library maps, relocates and clears its 20 MB at every start,
// which costs more than running the host build of the firmware to its first
// menu. So tl500-sim is not linked against it: the few entry points the core
// uses are defined here, and the first call opens the library and forwards
// each call to the library's own function. A call to an entry point not
// listed here fails to link, so the list cannot fall behind silently.
#include <dlfcn.h>
#include <sys/prctl.h>
#include <unicorn/unicorn.h>

#include <cstdarg>
#include <stdexcept>
#include <string>

namespace {

void* library() {
  static void* handle = [] {
    // The library reserves a large buffer for the code it translates and
    // fills it from the start. With transparent huge pages the kernel clears
    // 2 MB at the first touch of each part of it, a fifth of a short run's
    // time; the few hundred kilobytes actually written need no such pages.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    void* h = nullptr;
#ifdef TL500_EMULATOR_LIBRARY
    // The build's own copy with only the entry points below exported: it
    // opens in a fraction of the time (see CMakeLists.txt).
    h = dlopen(TL500_EMULATOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
#endif
    // The versioned name is what the runtime package installs; the plain one
    // is there with the development files.
    if (h == nullptr) h = dlopen("libunicorn.so.2", RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) h = dlopen("libunicorn.so", RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
      const char* why = dlerror();
      throw std::runtime_error(std::string("cannot load the emulator library (libunicorn.so.2): ") +
                               (why != nullptr ? why : "not found"));
    }
    return h;
  }();
  return handle;
}

template <typename Function>
Function entry(const char* name) {
  void* symbol = dlsym(library(), name);
  if (symbol == nullptr) throw std::runtime_error(std::string("the emulator library has no ") + name);
  return reinterpret_cast<Function>(symbol);
}

// Each entry point is looked up once, at its first call.
#define TL500_FORWARD(name) static const auto real = entry<decltype(&::name)>(#name)

}  // namespace

extern "C" {

uc_err uc_open(uc_arch arch, uc_mode mode, uc_engine** uc) {
  TL500_FORWARD(uc_open);
  return real(arch, mode, uc);
}

uc_err uc_close(uc_engine* uc) {
  TL500_FORWARD(uc_close);
  return real(uc);
}

const char* uc_strerror(uc_err code) {
  TL500_FORWARD(uc_strerror);
  return real(code);
}

uc_err uc_emu_start(uc_engine* uc, uint64_t begin, uint64_t until, uint64_t timeout, size_t count) {
  TL500_FORWARD(uc_emu_start);
  return real(uc, begin, until, timeout, count);
}

uc_err uc_emu_stop(uc_engine* uc) {
  TL500_FORWARD(uc_emu_stop);
  return real(uc);
}

uc_err uc_hook_add(uc_engine* uc, uc_hook* hh, int type, void* callback, void* user_data, uint64_t begin,
                   uint64_t end, ...) {
  TL500_FORWARD(uc_hook_add);
  // Only instruction and opcode hooks take further arguments.
  va_list args;
  va_start(args, end);
  uc_err result;
  if ((type & UC_HOOK_INSN) != 0) {
    int instruction = va_arg(args, int);
    result = real(uc, hh, type, callback, user_data, begin, end, instruction);
  } else if ((type & UC_HOOK_TCG_OPCODE) != 0) {
    int opcode = va_arg(args, int);
    int flags = va_arg(args, int);
    result = real(uc, hh, type, callback, user_data, begin, end, opcode, flags);
  } else {
    result = real(uc, hh, type, callback, user_data, begin, end);
  }
  va_end(args);
  return result;
}

uc_err uc_hook_del(uc_engine* uc, uc_hook hh) {
  TL500_FORWARD(uc_hook_del);
  return real(uc, hh);
}

uc_err uc_mem_map_ptr(uc_engine* uc, uint64_t address, size_t size, uint32_t perms, void* ptr) {
  TL500_FORWARD(uc_mem_map_ptr);
  return real(uc, address, size, perms, ptr);
}

uc_err uc_mmio_map(uc_engine* uc, uint64_t address, size_t size, uc_cb_mmio_read_t read_cb, void* user_data_read,
                   uc_cb_mmio_write_t write_cb, void* user_data_write) {
  TL500_FORWARD(uc_mmio_map);
  return real(uc, address, size, read_cb, user_data_read, write_cb, user_data_write);
}

uc_err uc_reg_read(uc_engine* uc, int regid, void* value) {
  TL500_FORWARD(uc_reg_read);
  return real(uc, regid, value);
}

uc_err uc_reg_read_batch(uc_engine* uc, int* regs, void** vals, int count) {
  TL500_FORWARD(uc_reg_read_batch);
  return real(uc, regs, vals, count);
}

uc_err uc_reg_write(uc_engine* uc, int regid, const void* value) {
  TL500_FORWARD(uc_reg_write);
  return real(uc, regid, value);
}

// The controls the core uses, with the argument types the library reads them
// as; any other is refused rather than passed on with guessed arguments.
uc_err uc_ctl(uc_engine* uc, uc_control_type control, ...) {
  TL500_FORWARD(uc_ctl);
  va_list args;
  va_start(args, control);
  uc_err result = UC_ERR_ARG;
  if (control == UC_CTL_WRITE(UC_CTL_CPU_MODEL, 1)) {
    int model = va_arg(args, int);
    result = real(uc, control, model);
  } else if (control == UC_CTL_WRITE(UC_CTL_TB_REMOVE_CACHE, 2)) {
    uint64_t address = va_arg(args, uint64_t);
    uint64_t end = va_arg(args, uint64_t);
    result = real(uc, control, address, end);
  }
  va_end(args);
  return result;
}

}  // extern "C"
