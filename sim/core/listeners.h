// Listeners that can be removed.
//
// A model announces what happens on it (a byte sent, a level changed) to any
// number of listeners. Whoever listens keeps the Subscription it was given;
// dropping it removes the listener, so an object that goes away before the
// model never gets called again, and no shared "alive" flags are needed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace sim {

// Removes its listener when destroyed (or on reset()). Movable, not copyable.
class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> remove) : remove_(std::move(remove)) {}
  Subscription(Subscription&& other) noexcept : remove_(std::exchange(other.remove_, nullptr)) {}
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      reset();
      remove_ = std::exchange(other.remove_, nullptr);
    }
    return *this;
  }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription() { reset(); }

  void reset() {
    if (remove_) std::exchange(remove_, nullptr)();
  }
  bool active() const { return static_cast<bool>(remove_); }

 private:
  std::function<void()> remove_;
};

// The listeners of one kind of event. Listeners may add or remove listeners
// (themselves included) while being called; a listener added during a call is
// first called at the next one.
template <typename... Args>
class Listeners {
 public:
  using Listener = std::function<void(Args...)>;

  Listeners() = default;
  Listeners(const Listeners&) = delete;
  Listeners& operator=(const Listeners&) = delete;
  // Outstanding subscriptions stay safe to drop after the list is gone.
  ~Listeners() { *alive_ = false; }

  [[nodiscard]] Subscription add(Listener listener) {
    std::uint64_t id = nextId_++;
    entries_.push_back({id, std::move(listener)});
    return Subscription([this, id, alive = alive_] {
      if (*alive) remove(id);
    });
  }

  void operator()(Args... args) {
    if (entries_.empty()) return;  // most announcements have no one listening
    // Index loop: a listener may append; removed entries are emptied, not erased,
    // while a call is in progress.
    // A listener may throw (a Stop ends the run from inside a notification):
    // the call depth is unwound all the same.
    struct Depth {
      Listeners& list;
      explicit Depth(Listeners& l) : list(l) { ++list.depth_; }
      ~Depth() {
        if (--list.depth_ == 0 && list.dirty_) list.compact();
      }
    } depth(*this);
    for (std::size_t i = 0, n = entries_.size(); i < n; ++i) {
      if (entries_[i].listener) entries_[i].listener(args...);
    }
  }

  bool empty() const {
    for (const auto& e : entries_) {
      if (e.listener) return false;
    }
    return true;
  }

 private:
  struct Entry {
    std::uint64_t id;
    Listener listener;
  };
  void remove(std::uint64_t id) {
    for (auto& e : entries_) {
      if (e.id == id) e.listener = nullptr;
    }
    dirty_ = true;
    if (depth_ == 0) compact();
  }
  void compact() {
    std::erase_if(entries_, [](const Entry& e) { return !e.listener; });
    dirty_ = false;
  }

  std::vector<Entry> entries_;
  std::uint64_t nextId_ = 1;
  int depth_ = 0;
  bool dirty_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sim
