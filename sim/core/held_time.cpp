#include "held_time.h"

#include <atomic>

namespace sim {

namespace {
std::atomic<unsigned> g_holds{0};
std::atomic<std::uint64_t> g_holdChanges{0};
}  // namespace

HeldTime::HeldTime() {
  g_holds.fetch_add(1);
  g_holdChanges.fetch_add(1);
}

HeldTime::~HeldTime() {
  g_holdChanges.fetch_add(1);
  g_holds.fetch_sub(1);
}

unsigned HeldTime::active() { return g_holds.load(); }

std::uint64_t HeldTime::changes() { return g_holdChanges.load(); }

}  // namespace sim
