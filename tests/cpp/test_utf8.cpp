// The vector UTF-8 method against the byte method: the same verdict and
// offset with faults of every shape placed around block boundaries, over
// ASCII and over multi-byte text. The byte method itself is held to Python's
// decoder by the Python tests.
#include <cstdio>
#include <cstring>
#include <string>

#include "utf8.hpp"

namespace {

int failures = 0;

// Bytes at the edges of every range the validator distinguishes.
constexpr uint8_t EDGE_BYTES[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                  0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                  0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
constexpr size_t EDGES = sizeof EDGE_BYTES;

// Where a piece goes in a 96-byte filler: the start, around the first and
// second block boundaries, and the very end (the piece then cut short).
constexpr size_t PLACES[] = {0, 29, 30, 31, 32, 33, 62, 63, 95};

void expect_same(const std::string& text) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text.data());
  qc::utf8::Check want = qc::utf8::check_portable(s, text.size());
  qc::utf8::Check got = qc::utf8::check(s, text.size());
  if (got.verdict != want.verdict || got.offset != want.offset) {
    if (failures < 20) {
      std::printf("utf8::check gave (%d, %zu), the byte method (%d, %zu) for:", (int)got.verdict,
                  got.offset, (int)want.verdict, want.offset);
      for (unsigned char c : text) std::printf(" %02x", c);
      std::printf("\n");
    }
    ++failures;
  }
}

void place_everywhere(const uint8_t* piece, size_t n) {
  static const std::string fillers[] = {std::string(96, 'a'), [] {
                                          std::string s;
                                          while (s.size() < 96) s += "\xc3\xa9\xe2\x82\xac";
                                          return s.substr(0, 96);
                                        }()};
  for (const std::string& filler : fillers) {
    for (size_t at : PLACES) {
      std::string text = filler;
      text.replace(at, n, reinterpret_cast<const char*>(piece), n);
      text.resize(at + n > 96 ? 96 : text.size());
      expect_same(text);
    }
  }
}

void check_pieces() {
  uint8_t piece[4];
  for (size_t a = 0; a < EDGES; ++a) {
    piece[0] = EDGE_BYTES[a];
    for (size_t b = 0; b < EDGES; ++b) {
      piece[1] = EDGE_BYTES[b];
      place_everywhere(piece, 2);
      for (size_t c = 0; c < EDGES; ++c) {
        piece[2] = EDGE_BYTES[c];
        place_everywhere(piece, 3);
        for (size_t d = 0; d < EDGES; ++d) {
          piece[3] = EDGE_BYTES[d];
          place_everywhere(piece, 4);
        }
      }
    }
  }
}

void expect_verdict(const char* text, qc::utf8::Verdict verdict, size_t offset) {
  qc::utf8::Check got = qc::utf8::check(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
  if (got.verdict != verdict || got.offset != offset) {
    std::printf("utf8::check(\"%s\") gave (%d, %zu), want (%d, %zu)\n", text, (int)got.verdict,
                got.offset, (int)verdict, offset);
    ++failures;
  }
}

void check_fixed_cases() {
  using qc::utf8::Verdict;
  expect_verdict("", Verdict::valid, 0);
  expect_verdict("caf\xc3\xa9 \xf0\x9f\x98\x80", Verdict::valid, 10);
  expect_verdict("ab\xe2\x82", Verdict::truncated, 2);
  expect_verdict("ab\xed\xa0", Verdict::truncated, 2);  // Python's decoder leaves it for later
  expect_verdict("ab\xed\xa0\x80", Verdict::invalid, 2);
  expect_verdict("ab\xe0\x80", Verdict::invalid, 2);
  expect_verdict("\xf4\x90\x80\x80", Verdict::invalid, 0);
}

}  // namespace

int utf8_tests() {
  check_fixed_cases();
  check_pieces();
  return failures;
}
