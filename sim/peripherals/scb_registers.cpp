#include "scb_registers.h"

#include <cstddef>

#include "../../platform/stm32l1_registers.h"
#include "../core/stop.h"

namespace sim {

namespace {
constexpr std::uint32_t kCPUID = offsetof(SCB_TypeDef, CPUID);
constexpr std::uint32_t kICSR = offsetof(SCB_TypeDef, ICSR);
constexpr std::uint32_t kVTOR = offsetof(SCB_TypeDef, VTOR);
constexpr std::uint32_t kAIRCR = offsetof(SCB_TypeDef, AIRCR);
constexpr std::uint32_t kSCR = offsetof(SCB_TypeDef, SCR);
constexpr std::uint32_t kSHPR = offsetof(SCB_TypeDef, SHPR);
constexpr std::uint32_t kSHPRSize = sizeof(SCB_TypeDef::SHPR);
constexpr std::uint32_t kSize = sizeof(SCB_TypeDef);
constexpr int kFirstSystemHandler = 4;  // SHPR byte 0 is exception 4 (MemManage)

constexpr std::uint32_t kCpuId = 0x412FC231u;  // Cortex-M3 r2p1
constexpr std::uint32_t kAircrReadKey = 0xFA05u << 16;
}  // namespace

std::uint32_t ScbRegisters::read(std::uint32_t offset, unsigned width) {
  if (offset >= kSHPR && offset < kSHPR + kSHPRSize) {
    std::uint32_t value = 0;
    for (unsigned k = 0; k < width; ++k) {
      int exc = kFirstSystemHandler + static_cast<int>(offset - kSHPR + k);
      value |= std::uint32_t{engine_.priorityByte(exc)} << (8 * k);
    }
    return value;
  }
  std::uint32_t slot = 0;
  switch (offset & ~3u) {
    case kCPUID:
      slot = kCpuId;
      break;
    case kICSR:
      if (engine_.isPending(InterruptController::kSysTick)) slot |= SCB_ICSR_PENDSTSET;
      if (engine_.isPending(InterruptController::kPendSV)) slot |= SCB_ICSR_PENDSVSET;
      slot |= static_cast<std::uint32_t>(engine_.activeException()) & SCB_ICSR_VECTACTIVE;
      break;
    case kVTOR:
      slot = vtor_;
      break;
    case kAIRCR:
      slot = kAircrReadKey | (engine_.priorityGrouping() << SCB_AIRCR_PRIGROUP_Pos);
      break;
    default:
      slot = offset < kSize ? slots_[offset / 4] : 0;
      break;
  }
  return slotPart(slot, offset, width);
}

void ScbRegisters::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  if (offset >= kSHPR && offset < kSHPR + kSHPRSize) {
    for (unsigned k = 0; k < width; ++k) {
      int exc = kFirstSystemHandler + static_cast<int>(offset - kSHPR + k);
      engine_.setPriorityByte(exc, static_cast<std::uint8_t>(value >> (8 * k)));
    }
    return;
  }
  if (width != 4 && offset < kSCR) busError("SCB register write of width " + std::to_string(width), SCB_BASE + offset);
  switch (offset) {
    case kCPUID:
      return;  // read-only
    case kICSR:
      if (value & SCB_ICSR_PENDSTSET) engine_.setPending(InterruptController::kSysTick);
      if (value & SCB_ICSR_PENDSTCLR) engine_.clearPending(InterruptController::kSysTick);
      if (value & SCB_ICSR_PENDSVSET) engine_.setPending(InterruptController::kPendSV);
      if (value & SCB_ICSR_PENDSVCLR) engine_.clearPending(InterruptController::kPendSV);
      return;
    case kVTOR:
      vtor_ = value & SCB_VTOR_TBLOFF;
      return;
    case kAIRCR:
      // Writes without the key are ignored by the core.
      if ((value & SCB_AIRCR_VECTKEY_Msk) != SCB_AIRCR_VECTKEY) return;
      engine_.setPriorityGrouping((value & SCB_AIRCR_PRIGROUP) >> SCB_AIRCR_PRIGROUP_Pos);
      if (value & SCB_AIRCR_SYSRESETREQ) throw Stop(StopKind::Fault, "system reset requested through AIRCR");
      return;
    default:
      if (offset < kSize) slots_[offset / 4] = slotMerge(slots_[offset / 4], offset, width, value);
      return;
  }
}

}  // namespace sim
