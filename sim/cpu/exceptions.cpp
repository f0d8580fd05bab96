// Exceptions on the emulated core: what the interpreter stops on (an
// exception return, a fault, a supervisor call, a breakpoint instruction),
// entry with the frame stacked as the core does, return with the frame
// unstacked and tail-chaining, faults and lockup.
#include <cstring>

#include "../core/stop.h"
#include "core_registers.h"
#include "cortex_m3.h"

namespace sim {

using namespace core_registers;

namespace {

constexpr std::uint32_t kExcReturnThread = 0xFFFFFFF9u;
constexpr std::uint32_t kExcReturnHandler = 0xFFFFFFF1u;
constexpr std::uint32_t kExcReturnRange = 0xFFFFFFF0u;  // a branch at or above this is an exception return
constexpr std::uint32_t kPsrAlignPad = 1u << 9;         // the frame was aligned down by 4 bytes
constexpr int kNmi = 2;
constexpr int kHardFault = 3;
constexpr int kSvCall = 11;

}  // namespace

void CortexM3::interpreterExit(thumb::Interpreter::Exit exit) {
  using Exit = thumb::Interpreter::Exit;
  sync();
  switch (exit) {
    case Exit::ExceptionReturn:
      returnFromException(cpu_->excReturn());
      // What pended meanwhile is looked at before the next instruction.
      if (!exact_) {
        cpu_->limit = cpu_->count;
        recheck_ = true;
      }
      return;
    case Exit::SupervisorCall:
      enterException(kSvCall, cpu_->pc());
      if (!exact_) {
        cpu_->limit = cpu_->count;
        recheck_ = true;
      }
      return;
    case Exit::Breakpoint:
      breakpointInstruction(cpu_->pc());
      break;
    case Exit::Fault: {
      const thumb::Interpreter::FaultInfo& f = cpu_->faultInfo();
      fault_ = Fault{f.what, f.pc, f.hasAddress ? std::optional<std::uint32_t>(f.address) : std::nullopt};
      break;
    }
    default:
      return;
  }
  if (fault_) {
    fail();
  } else {
    requestStop();
  }
}

bool CortexM3::takeExceptions() {
  InterruptController& ic = board_.interrupts();
  ic.setPrimask(cpu_->primask);
  for (int guard = 0; guard < 8; ++guard) {
    int exc = ic.nextToTake();
    if (exc < 0) return guard > 0;
    // Exceptions are taken between instructions, never inside an IT block.
    for (int steps = 0; steps < 4 && inItBlock(); ++steps) {
      if (!execute(1) || exited_) return true;
    }
    enterException(exc, reg(kPc));
  }
  return true;
}

void CortexM3::enterException(int exception, std::uint32_t returnAddress) {
  InterruptController& ic = board_.interrupts();
  std::uint32_t r[5];
  for (unsigned i = 0; i < 4; ++i) r[i] = reg(i);
  r[4] = reg(kR12);
  std::uint32_t lr = reg(kLr), sp = reg(kSp);
  std::uint32_t psr = (cpu_->apsr() & kPsrFlags) | kPsrThumb | static_cast<std::uint32_t>(ic.running());
  // The frame is aligned to 8 bytes (CCR.STKALIGN is set on this core).
  std::uint32_t frame = sp - 32;
  if ((frame & 4u) != 0) {
    frame -= 4;
    psr |= kPsrAlignPad;
  }
  if (frame < image_.stackBottom || ramWord(frame) == nullptr || ramWord(frame + 28) == nullptr) {
    halted("stack overrun: taking " + exceptionLabel(exception) + " at PC " + describe(returnAddress) +
           " needs its frame at " + hexWord(frame) + ", below the " + std::to_string(stackSize()) +
           "-byte stack that starts at " + hexWord(image_.stackBottom));
  }
  const std::uint32_t words[8] = {r[0], r[1], r[2], r[3], r[4], lr, returnAddress & ~1u, psr};
  for (unsigned i = 0; i < 8; ++i) *ramWord(frame + 4 * i) = words[i];
  std::uint32_t excReturn = ic.depth() == 0 ? kExcReturnThread : kExcReturnHandler;
  const bool fromThread = ic.depth() == 0;
  // The stacking takes its cycles; an exception of higher priority pended
  // meanwhile may arrive late and have its vector fetched instead.
  ++entries_;
  exception = ic.enter(exception);

  std::uint32_t entry = 0;
  std::uint32_t slot = board_.scb().vectorTableOffset() + 4u * static_cast<std::uint32_t>(exception);
  std::uint8_t bytes[4];
  if (!readMemory(slot, bytes, 4)) halted("the vector table slot of " + exceptionLabel(exception) + " is not memory");
  std::memcpy(&entry, bytes, 4);
  if ((entry & 1u) == 0) {
    halted("taking " + exceptionLabel(exception) + ": its vector " + hexWord(entry) + " is not Thumb code (lockup)");
  }
  if (fromThread) {
    // The interrupted code's stack above its SP is live even below the
    // dead-stack boundary: a handler's write there is a change.
    liveStackFrom_ = sp;
    updateQuietStack();
    handlerRunning_ = HandlerRun{exception, returnAddress & ~1u, registers(), cpu_->ramChanges, mmioAccesses_, entries_ - 1,
                                 instructions_ + cpu_->count, deadStackEpoch_};
    handlerRunning_.registers[kPc] = returnAddress & ~1u;
  } else {
    handlerRunning_.exception = -1;  // nested: not a handler run of its own
  }
  setReg(kSp, frame);
  setReg(kLr, excReturn);
  setReg(kPc, entry);
  afterExceptionChange();
}

void CortexM3::afterExceptionChange() {
  cpu_->ipsr = static_cast<std::uint32_t>(board_.interrupts().running());
  cpu_->exclusiveOpen = false;  // entry and return clear the local monitor
}

void CortexM3::returnFromException(std::uint32_t excReturn) {
  InterruptController& ic = board_.interrupts();
  if (excReturn != kExcReturnThread && excReturn != kExcReturnHandler) {
    halted("exception return with " + hexWord(excReturn) + ": only the main stack is used on this board");
  }
  if (ic.depth() == 0) halted("exception return " + hexWord(excReturn) + " in thread mode");
  std::uint32_t sp = reg(kSp);
  if (ramWord(sp) == nullptr || ramWord(sp + 28) == nullptr) {
    halted("exception return with the stack pointer " + hexWord(sp) + " outside RAM");
  }
  std::uint32_t w[8];
  for (unsigned i = 0; i < 8; ++i) w[i] = *ramWord(sp + 4 * i);
  int left = ic.leave();
  for (unsigned i = 0; i < 4; ++i) setReg(i, w[i]);
  setReg(kR12, w[4]);
  setReg(kLr, w[5]);
  setReg(kSp, sp + 32 + ((w[7] & kPsrAlignPad) != 0 ? 4u : 0u));
  setReg(kXpsr, w[7]);
  setReg(kPc, w[6]);
  afterExceptionChange();
  rememberHandler(left, w[6]);
  handlerRunning_.exception = -1;
  if (ic.depth() == 0) {
    liveStackFrom_ = ~std::uint32_t{0};
    updateQuietStack();
  }
  // Tail-chaining: a pending exception that may run now is entered at once.
  int next = ic.nextToTake();
  if (next >= 0) enterException(next, w[6]);
}

void CortexM3::enterFault(Fault fault) {
  InterruptController& ic = board_.interrupts();
  if (ic.running() == kHardFault || ic.running() == kNmi) {
    lastFault_ = fault;
    halted("lockup: a fault inside the HardFault handler");
  }
  lastFault_ = fault;
  enterException(kHardFault, fault.pc);
}


void CortexM3::halted(const std::string& why) {
  std::string text = why;
  if (lastFault_) {
    text = lastFault_->what + " at PC " + describe(lastFault_->pc);
    if (lastFault_->address) text += ", address " + hexWord(*lastFault_->address);
    text += "; " + why;
  }
  throw Stop(StopKind::Fault, text);
}

}  // namespace sim
