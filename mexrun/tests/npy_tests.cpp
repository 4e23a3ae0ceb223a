#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "npy.h"

namespace {

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "npy_tests_" + name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string DoubleBytes(const std::vector<double>& values) {
  std::string bytes(values.size() * 8, '\0');
  std::memcpy(bytes.data(), values.data(), bytes.size());  // the test machine is little-endian
  return bytes;
}

// A file as numpy would lay it out, from its header dict, padded to 64.
std::string NpyFile(const std::string& dict, const std::string& data, int major = 1) {
  const std::size_t preamble = major == 1 ? 10 : 12;
  std::string header = dict;
  header.append((64 - (preamble + header.size() + 1) % 64) % 64, ' ');
  header += '\n';
  std::string bytes = "\x93NUMPY";
  bytes += static_cast<char>(major);
  bytes += '\0';
  for (std::size_t i = 0; i < preamble - 8; ++i)
    bytes += static_cast<char>((header.size() >> (8 * i)) & 0xff);
  return bytes + header + data;
}

npy::Array RoundTrip(const npy::Array& a, const std::string& name) {
  const std::string path = TempPath(name);
  npy::Write(path, a);
  return npy::Read(path);
}

npy::Array Counting(std::vector<int64_t> shape) {
  npy::Array a;
  a.shape = shape;
  std::size_t n = 1;
  for (int64_t d : shape) n *= static_cast<std::size_t>(d);
  for (std::size_t i = 0; i < n; ++i) a.data.push_back(0.5 * static_cast<double>(i) - 3);
  return a;
}

TEST(NpyRoundTrip, KeepsShapeAndDataOfEveryRank) {
  for (const auto& shape : std::vector<std::vector<int64_t>>{
           {}, {7}, {2, 3}, {2, 3, 4}, {3, 1, 2, 5}, {0}, {0, 3}, {4, 0, 2}}) {
    const npy::Array a = Counting(shape);
    const npy::Array b = RoundTrip(a, "roundtrip.npy");
    EXPECT_EQ(b.shape, a.shape) << shape.size();
    EXPECT_EQ(b.data, a.data) << shape.size();
  }
}

TEST(NpyRoundTrip, KeepsSpecialValuesBitForBit) {
  npy::Array a;
  a.shape = {6};
  a.data = {-0.0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
            std::nan("")};
  const npy::Array b = RoundTrip(a, "special.npy");
  ASSERT_EQ(b.data.size(), 6u);
  EXPECT_EQ(std::memcmp(a.data.data(), b.data.data(), 6 * sizeof(double)), 0);
}

TEST(NpyWrite, HeaderIsFortranFloat64PaddedTo64) {
  const std::string path = TempPath("layout.npy");
  npy::Write(path, Counting({2, 3}));
  const std::string bytes = Slurp(path);
  ASSERT_GE(bytes.size(), 10u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
  const std::size_t header_length = static_cast<unsigned char>(bytes[8]) |
                                    static_cast<std::size_t>(static_cast<unsigned char>(bytes[9])) << 8;
  EXPECT_EQ((10 + header_length) % 64, 0u);
  const std::string header = bytes.substr(10, header_length);
  EXPECT_EQ(header.back(), '\n');
  EXPECT_EQ(header.rfind("{'descr': '<f8', 'fortran_order': True, 'shape': (2, 3), }", 0), 0u);
  EXPECT_EQ(bytes.size(), 10 + header_length + 6 * 8);
  EXPECT_EQ(bytes.substr(10 + header_length), DoubleBytes(Counting({2, 3}).data));

  npy::Write(path, Counting({5}));
  EXPECT_NE(Slurp(path).find("'shape': (5,), }"), std::string::npos);
  npy::Write(path, Counting({}));
  EXPECT_NE(Slurp(path).find("'shape': (), }"), std::string::npos);
}

TEST(NpyWrite, RejectsMismatchedDataAndUnwritablePaths) {
  npy::Array a = Counting({2, 2});
  a.data.pop_back();
  EXPECT_THROW(npy::Write(TempPath("mismatch.npy"), a), std::runtime_error);
  try {
    npy::Write("/nonexistent-dir/out.npy", Counting({2}));
    FAIL() << "wrote into a missing directory";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/out.npy"), std::string::npos);
  }
}

TEST(NpyRead, TransposesCOrderIntoColumnMajor) {
  // C order: element (i, j, k) of a 2x3x4 array is stored at 12i + 4j + k.
  std::vector<double> c_order(24);
  for (int i = 0; i < 24; ++i) c_order[i] = i;
  const std::string path = TempPath("c_order.npy");
  Spit(path, NpyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (2, 3, 4), }",
                     DoubleBytes(c_order)));
  const npy::Array a = npy::Read(path);
  ASSERT_EQ(a.shape, (std::vector<int64_t>{2, 3, 4}));
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 4; ++k)
        EXPECT_EQ(a.data[i + 2 * j + 6 * k], 12 * i + 4 * j + k) << i << j << k;

  Spit(path, NpyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (2, 3), }",
                     DoubleBytes({1, 2, 3, 4, 5, 6})));
  EXPECT_EQ(npy::Read(path).data, (std::vector<double>{1, 4, 2, 5, 3, 6}));

  // A series whose first and last sides are no whole number of tiles.
  const int n0 = 37, n1 = 3, n2 = 5, n3 = 19;
  std::vector<double> series(n0 * n1 * n2 * n3);
  for (size_t i = 0; i < series.size(); ++i) series[i] = static_cast<double>(i);
  Spit(path, NpyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (37, 3, 5, 19), }",
                     DoubleBytes(series)));
  const npy::Array b = npy::Read(path);
  int wrong = 0;
  for (int i = 0; i < n0; ++i)
    for (int j = 0; j < n1; ++j)
      for (int k = 0; k < n2; ++k)
        for (int l = 0; l < n3; ++l)
          wrong += b.data[i + n0 * (j + n1 * (k + n2 * l))] != ((i * n1 + j) * n2 + k) * n3 + l;
  EXPECT_EQ(wrong, 0);
}

TEST(NpyRead, AcceptsTheVariantsNumpyWrites) {
  const std::string path = TempPath("variants.npy");
  // Version 2.0, other key order, double quotes, a 0-d array.
  Spit(path, NpyFile("{\"shape\": (), \"fortran_order\": False, \"descr\": \"<f8\"}",
                     DoubleBytes({2.5}), 2));
  npy::Array a = npy::Read(path);
  EXPECT_TRUE(a.shape.empty());
  EXPECT_EQ(a.data, std::vector<double>{2.5});
  // Native byte order, one dimension, C order (trivially the same layout).
  Spit(path, NpyFile("{'descr': '=f8', 'fortran_order': False, 'shape': (3,), }",
                     DoubleBytes({1, 2, 3})));
  a = npy::Read(path);
  EXPECT_EQ(a.shape, std::vector<int64_t>{3});
  EXPECT_EQ(a.data, (std::vector<double>{1, 2, 3}));
  // Zero-sized, C order.
  Spit(path, NpyFile("{'descr': '<f8', 'fortran_order': False, 'shape': (3, 0), }", ""));
  a = npy::Read(path);
  EXPECT_EQ(a.shape, (std::vector<int64_t>{3, 0}));
  EXPECT_TRUE(a.data.empty());
}

TEST(NpyRead, RejectsBadFilesNamingFileAndFault) {
  const std::string good_dict = "{'descr': '<f8', 'fortran_order': True, 'shape': (2,), }";
  const std::string two = DoubleBytes({1, 2});
  const std::string good = NpyFile(good_dict, two);
  std::string version3 = good;
  version3[6] = 3;
  struct Case {
    const char* name;
    std::string bytes;
    const char* fault;
  };
  const std::vector<Case> cases = {
      {"empty", "", "magic"},
      {"magic", "NUMPY!" + good.substr(6), "magic"},
      {"version", version3, "version"},
      {"short_header", good.substr(0, 30), "truncated header"},
      {"short_data", good.substr(0, good.size() - 1), "truncated data"},
      {"extra_data", good + "x", "unexpected bytes"},
      {"float32", NpyFile("{'descr': '<f4', 'fortran_order': True, 'shape': (2,), }", two), "<f4"},
      {"int64", NpyFile("{'descr': '<i8', 'fortran_order': True, 'shape': (2,), }", two), "<i8"},
      {"big_endian", NpyFile("{'descr': '>f8', 'fortran_order': True, 'shape': (2,), }", two),
       "big-endian"},
      {"no_shape", NpyFile("{'descr': '<f8', 'fortran_order': True, }", two), "bad header"},
      {"bad_order", NpyFile("{'descr': '<f8', 'fortran_order': 1, 'shape': (2,), }", two),
       "bad header"},
      {"negative", NpyFile("{'descr': '<f8', 'fortran_order': True, 'shape': (-2,), }", two),
       "bad header"},
      {"extra_key", NpyFile("{'descr': '<f8', 'fortran_order': True, 'shape': (2,), 'x': 1}", two),
       "bad header"},
      {"not_a_dict", NpyFile("[1, 2]", two), "bad header"},
  };
  for (const Case& c : cases) {
    const std::string path = TempPath(std::string("bad_") + c.name + ".npy");
    Spit(path, c.bytes);
    try {
      npy::Read(path);
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(path), std::string::npos) << c.name << ": " << what;
      EXPECT_NE(what.find(c.fault), std::string::npos) << c.name << ": " << what;
    }
  }
  EXPECT_THROW(npy::Read(TempPath("does_not_exist.npy")), std::runtime_error);
}

}  // namespace
