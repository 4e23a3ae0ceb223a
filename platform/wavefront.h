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

#include <atomic>
#include <climits>
#include <thread>

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

}  // namespace platform
