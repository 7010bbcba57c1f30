// How worker threads know when to end: the process-wide running flag (cleared on
// SIGINT) and the stop signal of the `Mixer` that started them (set when that
// `Mixer` is dropped, e.g. at a reload, while the running flag stays set).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace vantle {

using RunningFlag = std::shared_ptr<std::atomic<bool>>;

class StopSignal {
 public:
  // Any thread; wakes every thread sleeping on this signal.
  void request_stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_.store(true, std::memory_order_release);
    }
    wake_.notify_all();
  }

  bool stop_requested() const { return stopped_.load(std::memory_order_acquire); }

  // Sleeps for `duration`, or less when stop is requested meanwhile. Returns whether
  // stop was requested.
  template <class Rep, class Period>
  bool wait_for(std::chrono::duration<Rep, Period> duration) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, duration, [this] { return stop_requested(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stopped_{false};
};

// What a worker thread of a `Mixer` holds: it runs while `alive()`.
class Lifeline {
 public:
  Lifeline(RunningFlag running, std::shared_ptr<StopSignal> stop)
      : running_(std::move(running)), stop_(std::move(stop)) {}

  bool alive() const { return running_->load(std::memory_order_acquire) && !stop_->stop_requested(); }

  // Sleeps for `duration` on the monotonic clock (cut short when the `Mixer` is
  // dropped) and returns whether the thread should go on.
  template <class Rep, class Period>
  bool sleep_for(std::chrono::duration<Rep, Period> duration) {
    stop_->wait_for(duration);
    return alive();
  }

  const std::shared_ptr<StopSignal>& stop_signal() const { return stop_; }

 private:
  RunningFlag running_;
  std::shared_ptr<StopSignal> stop_;
};

}  // namespace vantle
