#include "irq_log.h"

#include <array>
#include <cinttypes>

namespace sim {

namespace {

// System exceptions and the medium-density device lines, as the vector table
// names them.
constexpr std::array<const char*, InterruptController::kExceptions> kNames = {
    "-",           "Reset",         "NMI",           "HardFault",     "MemManage",     "BusFault",
    "UsageFault",  "reserved",      "reserved",      "reserved",      "reserved",      "SVCall",
    "DebugMonitor", "reserved",     "PendSV",        "SysTick",       "WWDG",          "PVD",
    "TAMPER_STAMP", "RTC_WKUP",     "FLASH",         "RCC",           "EXTI0",         "EXTI1",
    "EXTI2",       "EXTI3",         "EXTI4",         "DMA1_Channel1", "DMA1_Channel2", "DMA1_Channel3",
    "DMA1_Channel4", "DMA1_Channel5", "DMA1_Channel6", "DMA1_Channel7", "ADC1",        "USB_HP",
    "USB_LP",      "DAC",           "COMP",          "EXTI9_5",       "LCD",           "TIM9",
    "TIM10",       "TIM11",         "TIM2",          "TIM3",          "TIM4",          "I2C1_EV",
    "I2C1_ER",     "I2C2_EV",       "I2C2_ER",       "SPI1",          "SPI2",          "USART1",
    "USART2",      "USART3",        "EXTI15_10",     "RTC_Alarm",     "USB_FS_WKUP",   "TIM6",
    "TIM7"};

}  // namespace

const char* exceptionName(int exception) {
  if (exception < 0 || static_cast<std::size_t>(exception) >= kNames.size()) return "?";
  return kNames[static_cast<std::size_t>(exception)];
}

std::string formatIrqEvent(Time when, const InterruptController::Event& event, const Board::RegisterAccess& last) {
  // Whole nanoseconds, exactly: a core cycle at 32 MHz is 31.25 ns.
  const std::uint64_t ns = static_cast<std::uint64_t>((static_cast<unsigned __int128>(when) * 1'000'000'000u) /
                                                      kQuantaPerSecond);
  char buf[160];
  int n = std::snprintf(buf, sizeof buf, "%" PRIu64 ".%09" PRIu64 " %s %d %s", ns / 1'000'000'000u,
                        ns % 1'000'000'000u, event.entry ? "enter" : "return", event.exception,
                        exceptionName(event.exception));
  std::string line(buf, static_cast<std::size_t>(n));
  if (event.entry) {
    if (event.tailChained) line += " tail-chained";
    if (event.lateArrival) line += " late-arrival";
    if (last.number != 0) {
      std::snprintf(buf, sizeof buf, " after %s 0x%08" PRIX32 " 0x%0*" PRIX32, last.write ? "write" : "read",
                    last.address, static_cast<int>(last.width * 2), last.value);
      line += buf;
    }
  } else if (event.tailChained) {
    line += " into a tail-chain";
  }
  return line;
}

IrqLog::IrqLog(std::FILE* file, Board& board) : file_(file), board_(board) {
  events_ = board.interrupts().onEvent([this](const InterruptController::Event& event) {
    std::string line = formatIrqEvent(board_.clock().now(), event, board_.lastAccess()) + "\n";
    // A failed write shows when the run's files are closed.
    std::fwrite(line.data(), 1, line.size(), file_);
  });
}

}  // namespace sim
