// The .npy format: a magic string, a version, a header that is a Python
// dict literal {'descr': ..., 'fortran_order': ..., 'shape': (...), } padded
// with spaces to a 64-byte boundary and ended by '\n', then the raw data.
#include "npy.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace npy {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicSize = 6;

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw std::runtime_error(path + ": " + what);
}

double FromLittleEndian(const unsigned char* p) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
  return std::bit_cast<double>(bits);
}

void ToLittleEndian(double value, unsigned char* p) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i, bits >>= 8) p[i] = static_cast<unsigned char>(bits & 0xff);
}

struct Header {
  std::string descr;
  bool fortran_order = false;
  std::vector<std::int64_t> shape;
};

// Parses the header dict; accepts what Python's literal syntax allows for
// it (either quote, any key order, trailing commas, spaces anywhere).
class HeaderParser {
 public:
  HeaderParser(const std::string& text, const std::string& path) : s_(text), path_(path) {}

  Header Parse() {
    Header h;
    bool have_descr = false, have_order = false, have_shape = false;
    Expect('{');
    while (true) {
      SkipSpace();
      if (Peek() == '}') break;
      const std::string key = String();
      Expect(':');
      if (key == "descr") {
        h.descr = String();
        have_descr = true;
      } else if (key == "fortran_order") {
        h.fortran_order = Bool();
        have_order = true;
      } else if (key == "shape") {
        h.shape = Shape();
        have_shape = true;
      } else {
        Bad("unexpected key '" + key + "'");
      }
      SkipSpace();
      if (Peek() == ',') {
        ++pos_;
      } else if (Peek() != '}') {
        Bad("expected ',' or '}'");
      }
    }
    ++pos_;
    SkipSpace();
    if (pos_ != s_.size()) Bad("unexpected text after the dict");
    if (!have_descr || !have_order || !have_shape)
      Bad("the dict lacks one of 'descr', 'fortran_order' and 'shape'");
    return h;
  }

 private:
  [[noreturn]] void Bad(const std::string& what) {
    Fail(path_, "bad header (" + what + " at offset " + std::to_string(pos_) + ")");
  }
  char Peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  void SkipSpace() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) ++pos_;
  }
  void Expect(char c) {
    SkipSpace();
    if (Peek() != c) Bad(std::string("expected '") + c + "'");
    ++pos_;
  }
  std::string String() {
    SkipSpace();
    const char quote = Peek();
    if (quote != '\'' && quote != '"') Bad("expected a string");
    const std::size_t end = s_.find(quote, pos_ + 1);
    if (end == std::string::npos) Bad("unterminated string");
    std::string value = s_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    return value;
  }
  bool Bool() {
    SkipSpace();
    if (s_.compare(pos_, 4, "True") == 0) {
      pos_ += 4;
      return true;
    }
    if (s_.compare(pos_, 5, "False") == 0) {
      pos_ += 5;
      return false;
    }
    Bad("expected True or False");
  }
  std::vector<std::int64_t> Shape() {
    std::vector<std::int64_t> shape;
    Expect('(');
    while (true) {
      SkipSpace();
      if (Peek() == ')') break;
      if (Peek() < '0' || Peek() > '9') Bad("expected a non-negative integer extent");
      std::int64_t value = 0;
      while (Peek() >= '0' && Peek() <= '9') {
        const int digit = Peek() - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) Bad("extent too large");
        value = value * 10 + digit;
        ++pos_;
      }
      shape.push_back(value);
      SkipSpace();
      if (Peek() == ',') {
        ++pos_;
      } else if (Peek() != ')') {
        Bad("expected ',' or ')'");
      }
    }
    ++pos_;
    return shape;
  }

  const std::string& s_;
  const std::string& path_;
  std::size_t pos_ = 0;
};

// Elements of `shape`, or throws when their bytes would not fit in memory.
std::size_t ElementCount(const std::vector<std::int64_t>& shape, const std::string& path) {
  std::size_t count = 1;
  const std::size_t limit = std::numeric_limits<std::size_t>::max() / sizeof(double);
  for (std::int64_t d : shape) {
    if (d < 0) Fail(path, "negative extent " + std::to_string(d));
    const auto extent = static_cast<std::size_t>(d);
    if (extent != 0 && count > limit / extent) Fail(path, "array too large");
    count *= extent;
  }
  return count;
}

std::string ShapeText(const std::vector<std::int64_t>& shape) {
  std::string text = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  if (shape.size() == 1) text += ",";
  return text + ")";
}

// The data are moved between the file and the caller's memory in blocks of
// this many doubles: on a little-endian machine straight, elsewhere each
// block turned round in between.
constexpr std::size_t kBlock = std::size_t{1} << 20;

void ReadDoubles(std::istream& in, double* out, std::size_t count, const std::string& path) {
  if constexpr (std::endian::native == std::endian::little) {
    in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count * sizeof(double)));
  } else {
    std::vector<unsigned char> block;
    for (std::size_t done = 0; done < count && in; done += kBlock) {
      const std::size_t n = std::min(kBlock, count - done);
      block.resize(n * sizeof(double));
      in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
      for (std::size_t i = 0; i < n; ++i) out[done + i] = FromLittleEndian(block.data() + 8 * i);
    }
  }
  if (!in) Fail(path, "read error");
}

void WriteDoubles(std::ostream& out, const double* data, std::size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    out.write(reinterpret_cast<const char*>(data),
              static_cast<std::streamsize>(count * sizeof(double)));
  } else {
    std::vector<unsigned char> block;
    for (std::size_t done = 0; done < count; done += kBlock) {
      const std::size_t n = std::min(kBlock, count - done);
      block.resize(n * sizeof(double));
      for (std::size_t i = 0; i < n; ++i) ToLittleEndian(data[done + i], block.data() + 8 * i);
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size()));
    }
  }
}

// Reads the data of a C-ordered array of rank 2 or more (last index
// fastest) into `out` in Fortran order, a few indices of the first axis at a
// time: the file streams through a small buffer, and each batch of rows is
// placed in tiles along the last axis, so that the reads and the writes of
// a tile both stay within a few cache lines.
void ReadTransposed(std::istream& in, const std::vector<std::int64_t>& shape, double* out,
                    std::size_t count, const std::string& path) {
  if (count == 0) return;
  const std::size_t rank = shape.size();
  std::vector<std::size_t> extent(rank), in_stride(rank, 1), out_stride(rank, 1);
  for (std::size_t k = 0; k < rank; ++k) extent[k] = static_cast<std::size_t>(shape[k]);
  for (std::size_t k = rank - 1; k-- > 0;) in_stride[k] = in_stride[k + 1] * extent[k + 1];
  for (std::size_t k = 1; k < rank; ++k) out_stride[k] = out_stride[k - 1] * extent[k - 1];
  const std::size_t row = in_stride[0];  // elements per index of the first axis
  const std::size_t last = extent[rank - 1], to_last = out_stride[rank - 1];
  constexpr std::size_t kTile = 16;
  const std::unique_ptr<double[]> rows(new double[kTile * row]);
  std::vector<std::size_t> index(rank, 0);  // of the middle axes
  for (std::size_t a0 = 0; a0 < extent[0]; a0 += kTile) {
    const std::size_t n = std::min(kTile, extent[0] - a0);
    ReadDoubles(in, rows.get(), n * row, path);
    std::size_t in_offset = 0, out_offset = a0;
    for (std::size_t m = row / last; m-- > 0;) {
      for (std::size_t b0 = 0; b0 < last; b0 += kTile) {
        const std::size_t b1 = std::min(last, b0 + kTile);
        for (std::size_t b = b0; b < b1; ++b)
          for (std::size_t a = 0; a < n; ++a)
            out[out_offset + a + b * to_last] = rows[a * row + in_offset + b];
      }
      for (std::size_t k = rank - 1; k-- > 1;) {
        in_offset += in_stride[k];
        out_offset += out_stride[k];
        if (++index[k] < extent[k]) break;
        in_offset -= in_stride[k] * index[k];
        out_offset -= out_stride[k] * index[k];
        index[k] = 0;
      }
    }
  }
}

}  // namespace

void ReadInto(const std::string& path, const Allocate& allocate) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path, std::string("cannot open (") + std::strerror(errno) + ")");
  in.seekg(0, std::ios::end);
  const auto size = static_cast<std::size_t>(in.tellg());
  in.seekg(0);
  if (!in) Fail(path, "read error");

  char preamble_bytes[12] = {};
  in.read(preamble_bytes, static_cast<std::streamsize>(std::min<std::size_t>(size, 12)));
  if (!in) Fail(path, "read error");
  if (size < kMagicSize + 2 || std::memcmp(preamble_bytes, kMagic, kMagicSize) != 0)
    Fail(path, "not an npy file (no magic string)");
  const auto major = static_cast<unsigned char>(preamble_bytes[6]);
  const auto minor = static_cast<unsigned char>(preamble_bytes[7]);
  if ((major != 1 && major != 2) || minor != 0)
    Fail(path, "unsupported npy format version " + std::to_string(major) + "." +
                   std::to_string(minor) + " (1.0 and 2.0 are read)");
  const std::size_t length_size = major == 1 ? 2 : 4;
  const std::size_t preamble = 8 + length_size;
  if (size < preamble) Fail(path, "truncated header");
  std::size_t header_length = 0;
  for (std::size_t i = 0; i < length_size; ++i)
    header_length |= static_cast<std::size_t>(static_cast<unsigned char>(preamble_bytes[8 + i]))
                     << (8 * i);
  if (size - preamble < header_length) Fail(path, "truncated header");
  std::string header_text(header_length, '\0');
  in.seekg(static_cast<std::streamoff>(preamble));
  in.read(header_text.data(), static_cast<std::streamsize>(header_length));
  if (!in) Fail(path, "read error");

  const Header header = HeaderParser(header_text, path).Parse();
  if (header.descr.size() == 3 && header.descr[0] == '>' && header.descr.substr(1) == "f8")
    Fail(path, "big-endian data ('>f8') is not supported");
  if (header.descr != "<f8" && header.descr != "=f8" && header.descr != "|f8")
    Fail(path, "unsupported dtype '" + header.descr + "' (only float64, '<f8', is read)");

  const std::size_t count = ElementCount(header.shape, path);
  const std::size_t available = size - (preamble + header_length);
  if (available < count * sizeof(double))
    Fail(path, "truncated data: " + std::to_string(count * sizeof(double)) + " bytes expected, " +
                   std::to_string(available) + " found");
  if (available > count * sizeof(double))
    Fail(path, std::to_string(available - count * sizeof(double)) +
                   " unexpected bytes after the data");

  double* out = allocate(header.shape);
  if (header.fortran_order || header.shape.size() < 2) {
    ReadDoubles(in, out, count, path);
    return;
  }
  ReadTransposed(in, header.shape, out, count, path);
}

Array Read(const std::string& path) {
  Array array;
  ReadInto(path, [&array](const std::vector<std::int64_t>& shape) {
    array.shape = shape;
    array.data.resize(ElementCount(shape, ""));
    return array.data.data();
  });
  return array;
}

void Write(const std::string& path, const std::vector<std::int64_t>& shape, const double* data,
           std::size_t count) {
  if (ElementCount(shape, path) != count)
    Fail(path, "shape " + ShapeText(shape) + " does not match " + std::to_string(count) +
                   " elements");

  std::string header = "{'descr': '<f8', 'fortran_order': True, 'shape': " + ShapeText(shape) +
                       ", }";
  // Version 1.0 holds a header of up to 65535 bytes; only absurd ranks need 2.0.
  std::size_t preamble = 10;
  std::size_t total = preamble + header.size() + 1;
  if ((total + 63) / 64 * 64 - preamble > 65535) preamble = 12;
  total = preamble + header.size() + 1;
  header.append((64 - total % 64) % 64, ' ');
  header += '\n';

  std::string bytes(kMagic, kMagicSize);
  bytes += static_cast<char>(preamble == 10 ? 1 : 2);
  bytes += '\0';
  for (std::size_t i = 0; i < preamble - 8; ++i)
    bytes += static_cast<char>((header.size() >> (8 * i)) & 0xff);
  bytes += header;

  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) Fail(path, std::string("cannot create (") + std::strerror(errno) + ")");
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  WriteDoubles(file, data, count);
  file.close();
  if (!file) Fail(path, "write failed");
}

void Write(const std::string& path, const Array& array) {
  Write(path, array.shape, array.data.data(), array.data.size());
}

}  // namespace npy
