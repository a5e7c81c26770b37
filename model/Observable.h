#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace mixelot {

// Ends an observation when destroyed (or on reset()). Safe to outlive the observed value.
class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      reset();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription() { reset(); }

  void reset() {
    if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
  }
  explicit operator bool() const { return static_cast<bool>(cancel_); }

 private:
  std::function<void()> cancel_;
};

// A field that tells its observers when it changes. Assigning a value equal to the current one
// stores it and tells nobody, so observers (the view models) wake only for real changes and a
// discovery pass that finds nothing new costs them nothing. Main thread only.
template <typename T>
class Observable {
 public:
  using Observer = std::function<void()>;

  Observable() = default;
  explicit Observable(T value) : value_(std::move(value)) {}
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;

  const T& get() const { return value_; }
  const T& operator*() const { return value_; }
  const T* operator->() const { return &value_; }

  // Stores `value`; notifies only when it differs from the current value. Returns whether it did.
  bool set(T value) {
    bool changed = !(value == value_);
    value_ = std::move(value);
    if (changed) notify();
    return changed;
  }

  // Applies `change` to a copy and stores the result through set().
  template <typename Change>
  bool modify(Change&& change) {
    T copy = value_;
    std::forward<Change>(change)(copy);
    return set(std::move(copy));
  }

  // Edits the value in place, without the copy modify() makes: for large tables changed on
  // every discovery pass. `edit` returns whether it changed anything; only then are observers
  // told.
  template <typename Edit>
  bool edit(Edit&& change) {
    bool changed = std::forward<Edit>(change)(value_);
    if (changed) notify();
    return changed;
  }

  // `observer` runs after each real change, until the returned subscription ends.
  // Const: observing is not a change of the value.
  [[nodiscard]] Subscription observe(Observer observer) const {
    uint64_t id = observers_->next++;
    observers_->entries.emplace(id, std::make_shared<Observer>(std::move(observer)));
    std::weak_ptr<Observers> weak = observers_;
    return Subscription([weak, id] {
      if (auto observers = weak.lock()) observers->entries.erase(id);
    });
  }

 private:
  struct Observers {
    uint64_t next = 1;
    std::map<uint64_t, std::shared_ptr<Observer>> entries;
  };

  void notify() {
    // A snapshot: an observer may subscribe or unsubscribe others (or itself) while it runs.
    std::vector<std::pair<uint64_t, std::shared_ptr<Observer>>> snapshot(
        observers_->entries.begin(), observers_->entries.end());
    std::weak_ptr<Observers> weak = observers_;
    for (auto& [id, observer] : snapshot) {
      auto observers = weak.lock();
      // Skip observers removed by an earlier one in this round.
      if (!observers || !observers->entries.count(id)) continue;
      (*observer)();
    }
  }

  T value_{};
  std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

}  // namespace mixelot
