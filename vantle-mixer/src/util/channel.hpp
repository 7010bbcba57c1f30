// A multi-producer, single-consumer message channel between non-real-time threads,
// which tells the receiver when every sender is gone; and a one-shot reply.
#pragma once

#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

namespace vantle {

template <class T>
class Channel {
  struct Shared {
    std::mutex mutex;
    std::deque<T> queue;
    int senders = 0;
    bool receiver_gone = false;
  };

 public:
  class Sender {
   public:
    explicit Sender(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) { attach(); }
    Sender(const Sender& other) : shared_(other.shared_) { attach(); }
    Sender& operator=(const Sender&) = delete;
    ~Sender() {
      if (!shared_) return;
      std::lock_guard lock(shared_->mutex);
      --shared_->senders;
    }

    // False when the receiver is gone (the message is dropped).
    [[nodiscard]] bool send(T value) {
      std::lock_guard lock(shared_->mutex);
      if (shared_->receiver_gone) return false;
      shared_->queue.push_back(std::move(value));
      return true;
    }

   private:
    void attach() {
      std::lock_guard lock(shared_->mutex);
      ++shared_->senders;
    }
    std::shared_ptr<Shared> shared_;
  };

  enum class Status { kReceived, kEmpty, kDisconnected };

  class Receiver {
   public:
    explicit Receiver(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
      close();
      shared_ = std::move(other.shared_);
      return *this;
    }
    ~Receiver() { close(); }

    // Never waits. kDisconnected once the queue is empty and no sender is left.
    Status try_receive(std::optional<T>& out) {
      std::lock_guard lock(shared_->mutex);
      if (!shared_->queue.empty()) {
        out.emplace(std::move(shared_->queue.front()));
        shared_->queue.pop_front();
        return Status::kReceived;
      }
      return shared_->senders == 0 ? Status::kDisconnected : Status::kEmpty;
    }

   private:
    // Later sends fail and what is queued is dropped.
    void close() {
      if (!shared_) return;
      std::lock_guard lock(shared_->mutex);
      shared_->receiver_gone = true;
      shared_->queue.clear();
    }
    std::shared_ptr<Shared> shared_;
  };

  // The text of a failed send.
  static constexpr const char* kClosedText = "sending on a closed channel";

  // A new channel: its first sender and its receiver.
  static std::pair<Sender, Receiver> open() {
    auto shared = std::make_shared<Shared>();
    return {Sender(shared), Receiver(shared)};
  }
};

// One answer, sent once; sending after the waiter gave up is harmless.
template <class T>
struct OneShot {
  std::shared_ptr<std::promise<T>> promise = std::make_shared<std::promise<T>>();
  std::future<T> take_future() { return promise->get_future(); }
  void send(T value) const { promise->set_value(std::move(value)); }
};

}  // namespace vantle
