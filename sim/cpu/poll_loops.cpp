// Poll loops: an iteration that reads a status register only the board's
// events change, writes no memory and counts one core register down by one
// passes at once up to the next event, never past the end of its count.
#include <algorithm>

#include "cortex_m3.h"

namespace sim {

void CortexM3::notePoll(std::uint32_t address, unsigned width, std::uint32_t value) {
  const bool sameRead = poll_.armed && poll_.pc == cpu_->pc() && poll_.address == address && poll_.width == width;
  if (!sameRead || poll_.value != value) {
    // The state seen right before this very read (no instruction and no
    // access between) starts the next iteration all the same: only the value
    // the iteration is compared on is new.
    const bool keep = sameRead && poll_.have && poll_.last.mmio + 1 == mmioAccesses_ &&
                      poll_.last.instructions + 1 == instructions_ + cpu_->count;
    Snapshot last = poll_.last;
    if (poll_.armed) setMark(poll_.pc, kMarkPoll, false);
    poll_ = PollWatch{};
    poll_.pc = cpu_->pc();
    poll_.address = address;
    poll_.width = width;
    poll_.value = value;
    poll_.armed = true;
    setMark(cpu_->pc(), kMarkPoll, true);
    if (keep) {
      poll_.last = last;
      poll_.have = true;
    }
  }
  poll_.readAt = mmioAccesses_;
}

// Before a poll of a steady register. When the iteration since the last poll
// read the same value, made no other access, wrote no memory, took no
// exception and counted one register down by one, changing nothing else, the
// iterations to come are that very iteration again until an event or the end
// of the count: those before the next event pass at once, each with its
// instructions and its access, and never the count's last.
//
// Once an iteration was seen so, the one after it (the loop ran on past an
// event that left the register as it was) starts from the same registers but
// the count and reads the same value: it is known to do the same again, and
// the core's registers need not be read to see it.
void CortexM3::atPollWatch(std::uint32_t) {
  const Snapshot& was = poll_.last;
  Snapshot now = snapshot();
  // An iteration that read the watched value once and did nothing else the
  // board sees: only such an iteration's registers are worth reading (the
  // first after entering the loop seldom starts from the loop's own state).
  const bool clean = poll_.have && board_.pollSkipping() && poll_.readAt == mmioAccesses_ &&
                     now.mmio == was.mmio + 1 && now.ramWrites == was.ramWrites && now.taken == was.taken &&
                     now.depth == was.depth && now.instructions > was.instructions;
  const bool quiet = clean && was.registersKnown;
  int counter = -1;
  bool alike = false;
  if (quiet && poll_.counter >= 0 && now.instructions - was.instructions == poll_.length &&
      FastForward::passableByCount(was.registers[static_cast<std::size_t>(poll_.counter)]) > 0) {
    // The iteration just run could itself have passed at once (the count
    // neither at its end nor crossing the sign bit).
    now.registers = was.registers;
    now.registersKnown = true;
    counter = poll_.counter;
    --now.registers[static_cast<std::size_t>(counter)];
    alike = true;
  } else if (clean) {
    takeRegisters(now);
    if (quiet) {
      alike = true;
      for (std::size_t i = 0; i < now.registers.size() && alike; ++i) {
        if (now.registers[i] == was.registers[i]) continue;
        bool general = i <= kR12 || i == kLr;
        if (general && counter < 0 && now.registers[i] == was.registers[i] - 1u) {
          counter = static_cast<int>(i);
        } else {
          alike = false;
        }
      }
    }
  }
  poll_.counter = -1;
  if (alike && counter >= 0) {
    std::uint64_t length = now.instructions - was.instructions;
    poll_.counter = counter;
    poll_.length = length;
    std::uint32_t value = now.registers[static_cast<std::size_t>(counter)];
    std::uint64_t byCount = FastForward::passableByCount(value);
    sync();
    // An event run since the last poll (at a boundary just before this
    // one) may have changed the register: it is read again here (a steady
    // read twice has the effect of one), and a change lets this poll run.
    std::uint32_t offset = 0;
    Peripheral* model = board_.bus().steadyModel(poll_.address, offset);
    bool steady = model != nullptr && model->read(offset, poll_.width) == poll_.value;
    const std::uint64_t cycles = length + Board::kCyclesPerAccess;
    const std::uint64_t k = steady ? forward_.iterationsBeforeEvent(cycles, byCount) : 0;
    if (k > 0) {
      forward_.pass(k, cycles);
      skipped_ += k * length;
      skippedPolls_ += k;
      auto left = static_cast<std::uint32_t>(value - k);
      setReg(static_cast<unsigned>(counter), left);
      now.registers[static_cast<std::size_t>(counter)] = left;
      updateBudget();
    }
  }
  poll_.last = now;
  poll_.have = true;
}

}  // namespace sim
