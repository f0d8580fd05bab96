// The irq log: one line per exception entry and return, written as each
// happens, so that a run whose outcome hangs on where an interrupt fell can
// be read, not only reproduced.
//
//   0.001000000 enter 15 SysTick after write 0xE000E010 0x00000007
//   0.001000437 return 15 SysTick
//   0.012345687 enter 53 USART1 tail-chained after read 0x40005400 0x00C0
//   0.012345912 enter 48 I2C1_ER late-arrival after read 0x40005414 0x0000
//
// Virtual time in seconds (whole nanoseconds), enter or return, the exception
// number and its vector's name; an entry straight from a return is
// "tail-chained" (on the return: "into a tail-chain"), one that took the place
// of a lower exception being stacked is "late-arrival". Each entry names the
// last register access the interrupted code made: read or write, address, and
// the value (as wide as the access).
#pragma once

#include <cstdio>
#include <string>

#include "../board.h"

namespace sim {

// The vector's name of an exception number of this chip ("USART1", "SysTick").
const char* exceptionName(int exception);

std::string formatIrqEvent(Time when, const InterruptController::Event& event, const Board::RegisterAccess& last);

class IrqLog {
 public:
  // Writes to a file opened elsewhere, which stays open (and is the owner's to check).
  IrqLog(std::FILE* file, Board& board);
  IrqLog(const IrqLog&) = delete;
  IrqLog& operator=(const IrqLog&) = delete;

 private:
  std::FILE* file_;
  Board& board_;
  Subscription events_;
};

}  // namespace sim
