// Published<T>: one value that many threads read while another replaces it.
//
// A writer builds a complete new value aside and publishes it whole; readers
// never see a half-changed value and a value is freed only when its last
// reader has let go of it. Readers keep a Reader (typically thread_local) that
// holds on to the value it saw last and checks one atomic generation number per
// use, so the reading path takes no lock except right after a publish.
//
// publish() and load() are safe from any thread. A Reader belongs to one
// thread. The pointer a Reader returns stays valid until that Reader's next
// get() or its destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

template <class T>
class Published {
 public:
  explicit Published(std::shared_ptr<const T> initial = std::make_shared<const T>())
      : value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  void publish(std::shared_ptr<const T> value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      value_.swap(value);
      generation_.fetch_add(1, std::memory_order_release);
    }
    // The old value (now in `value`) is released outside the lock.
  }

  std::shared_ptr<const T> load() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }

  class Reader {
   public:
    const T& get(const Published& source) {
      std::uint64_t generation = source.generation_.load(std::memory_order_acquire);
      if (!held_ || generation != generation_) {
        held_ = source.load();
        generation_ = generation;
      }
      return *held_;
    }

   private:
    std::shared_ptr<const T> held_;
    std::uint64_t generation_ = 0;
  };

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const T> value_;
  std::atomic<std::uint64_t> generation_{1};
};
