// C++ unit tests: text helpers here, interpreter-backed internals in test_access.cpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <string_view>

#include "text.hpp"

static int failures = 0;

int boundary_tests();     // test_boundary.cpp
int float_text_tests();   // test_float_text.cpp
int interpreter_tests();  // test_access.cpp
int format_tests();       // test_format.cpp
int json_decode_number_tests();  // test_json_decode_number.cpp
int utf8_tests();         // test_utf8.cpp

static void expect_strip(std::string_view in, std::string_view want) {
  std::string_view got = qc::text::py_strip(in);
  if (got != want) {
    std::printf("py_strip(\"%.*s\") gave \"%.*s\", want \"%.*s\"\n", (int)in.size(), in.data(),
                (int)got.size(), got.data(), (int)want.size(), want.data());
    ++failures;
  }
}

int main() {
  expect_strip("", "");
  expect_strip("x", "x");
  expect_strip("\u3000 x \x1f", "x");                 // ideographic space, unit separator
  expect_strip("\u200b", "\u200b");                   // zero-width space is not whitespace
  expect_strip(" \t\n\v\f\r\x1c\x1d\x1e\x1f ", "");   // all whitespace
  expect_strip("\u0085\u00a0a b\u1680\u2000\u200a", "a b");
  expect_strip("\u2028\u2029\u202f\u205fz", "z");
  expect_strip("\u00e9\u3000", "\u00e9");             // multi-byte text before a wide space
  expect_strip("  \U0001F600  ", "\U0001F600");      // astral character kept whole
  expect_strip("\u2001x\u200c", "x\u200c");           // U+200C is outside the space range
  // One embedded interpreter serves every interpreter-backed test.
  Py_InitializeEx(0);
  failures += interpreter_tests();
  failures += format_tests();
  failures += float_text_tests();
  failures += boundary_tests();
  if (Py_FinalizeEx() < 0) ++failures;
  failures += json_decode_number_tests();
  failures += utf8_tests();
  if (failures == 0) std::printf("cpp tests: all passed\n");
  return failures == 0 ? 0 : 1;
}
