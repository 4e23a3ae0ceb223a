// The row lines of a worker's forward block transforms, each transformed
// once for the four blocks that share it along the columns.
//
// A forward transform starts with the 16 row lines of its block, one per
// column and slice; the line at (r0, c, s) is the same for every block that
// starts at row r0 and holds column c and slice s. A worker visits the
// blocks of a start slice s0 column after column (c0), so the lines of
// column c at slices s0 .. s0+3 serve the blocks at c0 = c-3 .. c: the ring
// keeps them for the last four columns, and a group of blocks transforms
// only the lines of the column it is the first to reach. Every line is the
// one the block's own transform computes, from the same voxels with the
// same operations, so no bit changes. With the lines of the noisy volume
// goes each held column's largest value over its four slices, from which a
// block's skip test follows without reading its 64 voxels again.
//
// Lines are kept by block row, so that lane l of a load at r0 is the line of
// the block that starts at r0 + l, wherever a group starts: a masked row's
// groups start where its span asks.
//
// Included only through block_kernel.h (anonymous namespace, as there).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lane_transforms.h"

namespace quillon {
namespace {

template <class V, int kVolumes>
class RowLineRing {
 public:
  using reg = typename V::D;

  // The doubles a ring's storage takes, for volumes of `rows` rows.
  static std::size_t Doubles(int rows) {
    return static_cast<std::size_t>(kVolumes) * kPerVolume * Stride(rows) + kAlign;
  }

  // A ring over the first kVolumes of `volumes`, the first the noisy one,
  // each rows x cols x slices with `plane` = rows * cols, in `storage` of
  // Doubles(rows) doubles.
  RowLineRing(const double* const* volumes, int rows, int plane, double* storage)
      : rows_(rows), stride_(Stride(rows)), plane_(plane), lines_(Aligned(storage)) {
    for (int v = 0; v < kVolumes; ++v) volumes_[v] = volumes[v];
  }

  // Makes sure the ring holds the row lines of `volume` for the group of
  // blocks at block rows r0 .. r0+N-1, columns c0 .. c0+3 and slices
  // s0 .. s0+3, transforming those it lacks. The group's blocks lie inside
  // the volume.
  void Hold(int volume, int r0, int c0, int s0, const VectorTables<V>& t) {
    for (int j = 0; j < 4; ++j) HoldColumn(volume, r0, c0 + j, s0, t);
  }

  // The scalar GatherBlock's value for each lane's noisy block, from the
  // held columns: the largest value from 0, or NaN where a value is not
  // finite. A held column's value is that of its 16 voxels, and the block's
  // is taken over its four columns' values: the same largest value, and NaN
  // wherever one of them is.
  reg Largest(int r0, int c0) const {
    reg largest = V::Zero();
    reg finite = V::Zero();
    for (int j = 0; j < 4; ++j) {
      const reg x = V::Load(Lines(0, (c0 + j) & 3, 0, kLargest) + r0);
      largest = V::Select(V::Greater(x, largest), x, largest);
      finite = V::Add(finite, V::Sub(x, x));
    }
    return V::Add(largest, finite);
  }

  // Coefficient 0 of each lane's held block of `volume`, made by the same
  // sums and products as Forward makes it: the column stage's first output
  // at each slice, then the slice stage's.
  reg Dc(int volume, int r0, int c0, const VectorTables<V>& t) const {
    reg by_slice[4];
    for (int p = 0; p < 4; ++p) {
      reg sum = V::Load(Lines(volume, c0 & 3, p, 0) + r0);
      for (int j = 1; j < 4; ++j) sum = V::Add(sum, V::Load(Lines(volume, (c0 + j) & 3, p, 0) + r0));
      by_slice[p] = V::Mul(sum, t.w1);
    }
    return V::Mul(V::Add(V::Add(V::Add(by_slice[0], by_slice[1]), by_slice[2]), by_slice[3]),
                  t.w1);
  }

  // The sum of squares and the sum of magnitudes of each lane's 64 row-stage
  // values of `volume`, in any order: bounds, not results.
  void Energy(int volume, int r0, int c0, reg& squares, reg& magnitudes) const {
    squares = V::Zero();
    magnitudes = V::Zero();
    for (int j = 0; j < 4; ++j) {
      for (int p = 0; p < 4; ++p) {
        const double* line = Lines(volume, (c0 + j) & 3, p, 0) + r0;
        for (int k = 0; k < 4; ++k) {
          const reg y = V::Load(line + k * stride_);
          squares = V::Add(squares, V::Mul(y, y));
          magnitudes = V::Add(magnitudes, V::Abs(y));
        }
      }
    }
  }

  // The forward transform of the held blocks of `volume`: their row stage
  // from the ring, then the column and slice stages, each coefficient i
  // handed to put(i, value) as it is made.
  template <class Put>
  void Forward(int volume, int r0, int c0, const VectorTables<V>& t, const Put& put) const {
    const double* held[4][4];  // [j][p]: coefficient 0 of block row r0
    for (int j = 0; j < 4; ++j)
      for (int p = 0; p < 4; ++p) held[j][p] = Lines(volume, (c0 + j) & 3, p, 0) + r0;
    const std::size_t next = stride_;  // from one coefficient to the next
    ColumnsThenSlices<V, true>(
        [&held, next](int k, int j, int p) { return V::Load(held[j][p] + k * next); }, put, t);
  }

 private:
  // A value's lines start on a whole vector of the widest set, so that a
  // group that starts on a multiple of eight rows loads and stores whole
  // cache lines.
  static constexpr std::size_t kAlign = 8;
  static std::size_t Stride(int rows) {
    return (static_cast<std::size_t>(rows) + kAlign - 1) / kAlign * kAlign;
  }
  static double* Aligned(double* storage) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage);
    const std::uintptr_t bytes = kAlign * sizeof(double);
    return reinterpret_cast<double*>((address + bytes - 1) / bytes * bytes);
  }

  // Per line: its four coefficients, then a value slot; in the noisy
  // volume, that of the slot's first slice holds the column's largest value.
  static constexpr int kLargest = 4;
  static constexpr int kPerLine = 5;
  static constexpr int kPerVolume = 4 * 4 * kPerLine;  // slots x slices x values

  // What a column's slot holds: the lines of column `column` at slices
  // s0 .. s0+3, for block rows first .. last.
  struct Held {
    int column = -1;
    int s0 = -1;
    int first = 0;
    int last = -1;
  };

  // Value `value` of the row lines of `volume` in slot `slot` at slice
  // s0 + p, by block row.
  double* Lines(int volume, int slot, int p, int value) const {
    return lines_ +
           static_cast<std::size_t>(((volume * 4 + slot) * 4 + p) * kPerLine + value) * stride_;
  }

  void HoldColumn(int volume, int r0, int c, int s0, const VectorTables<V>& t) {
    Held& held = held_[volume][c & 3];
    const int last = r0 + V::N - 1;
    const bool same = held.column == c && held.s0 == s0;
    if (same && held.first <= r0 && last <= held.last) return;
    // Locals, not members, in the loop: the vector stores may alias them.
    const double* const volume_start = volumes_[volume] + r0 + c * rows_;
    const int plane = plane_;
    double* const lines = Lines(volume, c & 3, 0, 0) + r0;
    const std::size_t next = stride_;  // from one value to the next
    reg largest = V::Zero();
    reg finite = V::Zero();
    for (int p = 0; p < 4; ++p) {
      // Lane l: the voxels (r0 + l + k, c, s0 + p), k = 0 .. 3, as the
      // block's own row line reads them.
      const double* voxels = volume_start + (s0 + p) * plane;
      double* line = lines + p * kPerLine * next;
      reg x[4];
      reg y[4];
      for (int k = 0; k < 4; ++k) x[k] = V::Load(voxels + k);
      Line<V, true>(x, y, t);
      for (int k = 0; k < 4; ++k) V::Store(line + k * next, y[k]);
      if (volume == 0) {
        for (int k = 0; k < 4; ++k) {
          largest = V::Select(V::Greater(x[k], largest), x[k], largest);
          finite = V::Add(finite, V::Sub(x[k], x[k]));
        }
      }
    }
    if (volume == 0) V::Store(lines + kLargest * next, V::Add(largest, finite));
    // The new lines join the held ones where the two runs meet or overlap
    // (lines computed again are the same bits); a run apart from them
    // starts the slot afresh.
    if (same && r0 <= held.last + 1 && last + 1 >= held.first) {
      held.first = held.first < r0 ? held.first : r0;
      held.last = held.last > last ? held.last : last;
    } else {
      held = Held{c, s0, r0, last};
    }
  }

  const double* volumes_[kVolumes];
  int rows_;
  std::size_t stride_;  // doubles from one value's lines to the next
  int plane_;
  double* lines_;
  Held held_[kVolumes][4];
};

}  // namespace
}  // namespace quillon
