// Bands of one slab run side by side as a wavefront, so that a pass can use
// more threads than it has slabs without changing its bits.
//
// A slab is worked row by row (a row: one start slice), each row column by
// column. Cut the columns into bands, one thread each: where the voxels of
// two neighbouring bands meet, every voxel must still receive its
// additions in the one-thread order, row after row, and within a row the
// left band's before the right band's. So a band starts a row once the band
// on its left has finished that row, and once the band on its right has
// done its first few columns (those that reach back into this band) of the
// row before. One flag per band and row, set with release and read with
// acquire; the interior of each band runs unhindered.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

namespace platform {

// What one band has done, as row numbers plus one.
struct BandFlags {
  std::atomic<int> rows{0};   // rows < this are finished
  std::atomic<int> heads{0};  // rows < this have their first columns done
};

// A band's place among its slab's bands. A record without bands (own null)
// does every column and never waits.
struct BandPlace {
  int first_column = 0;  // the band's columns, [first_column, last_column]
  int last_column = -1;
  BandFlags* left = nullptr;   // the band before; null for the first
  BandFlags* own = nullptr;
  BandFlags* right = nullptr;  // the band after; null for the last
  // Set when a band's thread could not start: the others stop waiting.
  const std::atomic<bool>* abandoned = nullptr;
};

// Before `row`: waits until the left band has finished it and the right
// band has done the first columns of the row before. False when `stop` or
// the place's abandoned flag is set meanwhile.
inline bool BeginRow(const BandPlace& band, int row, const std::atomic<bool>* stop) {
  auto ready = [&] {
    return (band.left == nullptr || band.left->rows.load(std::memory_order_acquire) > row) &&
           (band.right == nullptr || band.right->heads.load(std::memory_order_acquire) >= row);
  };
  while (!ready()) {
    if ((stop != nullptr && stop->load(std::memory_order_relaxed)) ||
        band.abandoned->load(std::memory_order_relaxed))
      return false;
    std::this_thread::yield();
  }
  return true;
}

// The first columns of `row` that the left band's next row waits for are done.
inline void HeadsDone(const BandPlace& band, int row) {
  if (band.own != nullptr) band.own->heads.store(row + 1, std::memory_order_release);
}

inline void RowDone(const BandPlace& band, int row) {
  if (band.own == nullptr) return;
  band.own->heads.store(row + 1, std::memory_order_release);
  band.own->rows.store(row + 1, std::memory_order_release);
}

// The band returns, finished or stopped: nothing it could still add is
// waited for.
inline void BandEnded(const BandPlace& band) {
  if (band.own == nullptr) return;
  band.own->heads.store(INT_MAX, std::memory_order_release);
  band.own->rows.store(INT_MAX, std::memory_order_release);
}

// The bands of one pass, slab by slab: record i is band i % count() of
// slab i / count().
class Bands {
 public:
  // One band per slab unless every band of every slab can have a thread of
  // its own (a band waits for its neighbours: `threaded`, `threads` of
  // them), and none narrower than `least` of the `columns`. first_row(k):
  // slab k's first row.
  template <class FirstRow>
  Bands(bool threaded, int threads, int slabs, int64_t columns, int64_t least,
        const FirstRow& first_row)
      : count_(threaded ? static_cast<int>(std::max<int64_t>(
                              1, std::min<int64_t>(threads / slabs, columns / least)))
                        : 1),
        columns_(static_cast<int>(columns)),
        flags_(count_ > 1 ? static_cast<std::size_t>(slabs) * count_ : 0) {
    for (std::size_t i = 0; i < flags_.size(); ++i) {
      const int first = first_row(static_cast<int>(i) / count_);
      flags_[i].rows.store(first, std::memory_order_relaxed);
      flags_[i].heads.store(first, std::memory_order_relaxed);
    }
  }
  Bands(const Bands&) = delete;
  Bands& operator=(const Bands&) = delete;

  int count() const { return count_; }
  // Set when a band's thread could not start (RunWorkers' `abandoned`).
  std::atomic<bool>* abandoned() { return &abandoned_; }

  // Record i's place: an even share of the columns, counted from the last
  // one when `reversed`; every column (no place) with one band per slab.
  BandPlace Place(int i, bool reversed = false) {
    if (count_ == 1) return BandPlace{};
    const int b = i % count_;
    const auto from = static_cast<int>(int64_t{b} * columns_ / count_);
    const auto to = static_cast<int>(int64_t{b + 1} * columns_ / count_ - 1);
    BandPlace place;
    place.first_column = reversed ? columns_ - 1 - to : from;
    place.last_column = reversed ? columns_ - 1 - from : to;
    place.own = &flags_[i];
    place.left = b > 0 ? &flags_[i - 1] : nullptr;
    place.right = b + 1 < count_ ? &flags_[i + 1] : nullptr;
    place.abandoned = &abandoned_;
    return place;
  }

 private:
  int count_;
  int columns_;
  std::vector<BandFlags> flags_;
  std::atomic<bool> abandoned_{false};
};

}  // namespace platform
