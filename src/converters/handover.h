// Records handed from the run's thread to a loader thread in batches, a few
// in flight at a time, so that memory stays flat however long the table.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace qv::conv {

template <class Record, std::size_t kBatch, std::size_t kBatches = 4>
class Handover {
 public:
  using Batch = std::vector<Record>;

  // `prepare` readies each record of the pool once (its buffers, say).
  template <class F>
  explicit Handover(F&& prepare) {
    for (Batch& b : pool_) {
      b.resize(kBatch);
      for (Record& r : b) prepare(r);
      free_.push_back(&b);
    }
    filling_ = take_free();
  }
  Handover() : Handover([](Record&) {}) {}
  Handover(const Handover&) = delete;
  Handover& operator=(const Handover&) = delete;

  // The run's thread: the slot of the next record, then push() hands it
  // over (a batch at a time, waiting while every batch is in flight).
  Record& slot() { return (*filling_)[filled_]; }
  void push() {
    if (++filled_ == kBatch) hand_over(true);
  }
  // Hands over what was pushed; no more records follow.
  void close() {
    if (filling_ && filled_ > 0) hand_over(false);
    const std::lock_guard lock(mu);
    closed_ = true;
    cv.notify_all();
  }

  // The loader thread: the next batch and how many records it holds,
  // waiting for one; null once closed and every batch taken, or as soon as
  // `stop()` (asked under the lock) is true.
  template <class Stop>
  std::pair<Batch*, std::size_t> take(Stop&& stop) {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return stop() || !full_.empty() || closed_; });
    if (stop() || full_.empty()) return {nullptr, 0};
    const auto batch = full_.front();
    full_.pop_front();
    return batch;
  }
  // Gives a batch taken back for reuse; call with `mu` held and notify `cv`
  // (the loader tells what it has done under the same lock).
  void recycle(Batch* batch) { free_.push_back(batch); }

  // Guards the records in flight and whatever else the two threads share.
  std::mutex mu;
  std::condition_variable cv;

 private:
  Batch* take_free() {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return !free_.empty(); });
    Batch* b = free_.back();
    free_.pop_back();
    return b;
  }

  void hand_over(bool more) {
    {
      const std::lock_guard lock(mu);
      full_.push_back({filling_, filled_});
      cv.notify_all();
    }
    filled_ = 0;
    filling_ = more ? take_free() : nullptr;
  }

  std::array<Batch, kBatches> pool_;
  Batch* filling_ = nullptr;  // the run's thread's
  std::size_t filled_ = 0;
  std::vector<Batch*> free_;
  std::deque<std::pair<Batch*, std::size_t>> full_;
  bool closed_ = false;
};

}  // namespace qv::conv
