// The lane vocabulary that every vector kernel of the filters is written
// against once. Each instruction set has one struct of static functions
// (lanes_sse2.h, lanes_avx2.h, lanes_avx512.h); a kernel template takes it
// as its parameter V. Every function does what its name says in every lane,
// with IEEE rounding of each operation, so a lane computes the bits that
// the same scalar operation computes.
//
//   N                 lanes per vector
//   D, M, I           N doubles, a mask of N lanes, N 32-bit integers
//   Table8            a table of eight doubles, ready for Lookup8
//   Load, Store       unaligned, N doubles
//   Set(x), Zero()    every lane x, or +0
//   Add Sub Mul Div Abs
//   kFusedMulAdd, MulAdd(a, b, c)         a * b + c rounded once, where the
//                                        file is built with -mfma (true)
//   Greater Less LessEqual Equal          ordered comparisons (false on NaN)
//   NotGreater NotEqual                   unordered (true on NaN)
//   And(a, b), AndNot(a, b) = a & !b, Bits(m) (lane i at bit i), All(m)
//   Select(m, a, b)   m ? a : b, lane by lane
//   StoreWhere(p, m, x, old)  x into the lanes of m at p, whose N doubles
//                     are `old`: the others keep those bits (AVX-512 leaves
//                     them unwritten, the other sets write `old` back)
//   FromBits(bits)    the mask of the lanes whose bit is set (lane i at bit i)
//   LoadOnly(p, m)    the lanes of m from p, +0 in the others, whose memory
//                     is not read (it need not exist)
//   StoreOnly(p, m, x)  x into the lanes of m at p; the others are not
//                     written, not even with their own value
//   TruncateToInt(D)  toward zero; the most negative integer for what does
//                     not fit or is not a number, as x86 converts
//   ToDouble(I), AbsInt(I) (the most negative integer stays itself)
//   Gather(table, I index, M active)     table[index] in the active lanes, +0 elsewhere
//   MakeTable8(const double*), Lookup8(Table8, I k)  entry k & 7
//   With N >= 4 only:
//   ShiftUp<s>(D), ShiftDown<s>(D)       lanes moved s places toward higher
//                                        (lower) lanes, zeros shifted in
//   LoadFirst3(p), StoreFirst3(p, x)     the first three lanes only; the
//                                        others read as 0 and are not written
//
// Each lanes header defines its struct in an unnamed namespace and must be
// included by one kernel file only, compiled for that instruction set: no
// function built for a wider set may be shared with baseline code.
#pragma once
