// A lock that many readers share and one writer holds alone, where a
// waiting writer goes before readers that come after it: a steady stream
// of file reads cannot hold a listing or an open off for long.
// Use with std::shared_lock (readers) and std::unique_lock or
// std::lock_guard (writers). Not recursive.
#pragma once

#include <mutex>
#include <shared_mutex>

namespace vandrel {

class ReadWriteLock {
 public:
  void lock() {
    // The gate stays closed to new readers until the writer is in.
    std::lock_guard gate(gate_);
    lock_.lock();
  }
  bool try_lock() { return lock_.try_lock(); }
  void unlock() { lock_.unlock(); }

  void lock_shared() {
    std::lock_guard gate(gate_);
    lock_.lock_shared();
  }
  bool try_lock_shared() { return lock_.try_lock_shared(); }
  void unlock_shared() { lock_.unlock_shared(); }

 private:
  std::mutex gate_;
  std::shared_mutex lock_;
};

}  // namespace vandrel
