// UTF-8 validation as strict as Python's own decoder, at the speed of a plain
// scan: the parser checks a whole body before reading any of it, so that a
// body which is not text costs one pass and not a parse.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qc::utf8 {

enum class Verdict : uint8_t {
  valid,
  // Valid up to a last sequence that is cut short: what
  // codecs.utf_8_decode(data, "strict", False) leaves undecoded.
  truncated,
  // A sequence that Python's strict decoder rejects (overlong, surrogate,
  // above U+10FFFF, bad start or continuation byte).
  invalid,
};

// `offset` is the first byte of the invalid or cut-off sequence, or the
// input's size when it is valid.
struct Check {
  Verdict verdict;
  size_t offset;
};

// The verdict on s[0..n), with the fastest method this CPU supports.
Check check(const uint8_t* s, size_t n);

// The same verdict by the byte-at-a-time method every CPU runs; the unit tests
// hold the vector method to it.
Check check_portable(const uint8_t* s, size_t n);

}  // namespace qc::utf8
