// write_float_repr against the embedded interpreter's repr() on the doubles
// where shortest round-trip printing goes wrong: exact ties between two
// shortest candidates, a shorter candidate at the edge of the interval, the
// closer lower neighbour of a power of two, subnormals, the range ends, the
// layout's switch points, and one double on each side of every power of ten.
#include <Python.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "float_text.hpp"

namespace {

int failures = 0;

std::string python_repr(double d) {
  PyObject* f = PyFloat_FromDouble(d);
  PyObject* r = f ? PyObject_Repr(f) : nullptr;
  const char* text = r ? PyUnicode_AsUTF8(r) : nullptr;
  std::string out = text ? text : "<repr failed>";
  Py_XDECREF(r);
  Py_XDECREF(f);
  return out;
}

void expect_repr(double d) {
  constexpr char UNTOUCHED = '\x7f';
  char buf[qc::FLOAT_TEXT_ROOM + 16];
  std::memset(buf, UNTOUCHED, sizeof buf);
  const std::string got(buf, qc::write_float_repr(buf, d));
  const std::string want = python_repr(d);
  bool within_room = true;
  for (size_t i = qc::FLOAT_TEXT_ROOM; i < sizeof buf; ++i) within_room &= buf[i] == UNTOUCHED;
  if (got == want && within_room) return;
  if (failures < 20) {
    std::printf("write_float_repr(%a) gave \"%s\"%s, want \"%s\"\n", d, got.c_str(),
                within_room ? "" : " and wrote past its room", want.c_str());
  }
  ++failures;
}

void expect_repr_both_signs(double d) {
  expect_repr(d);
  expect_repr(-d);
}

double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

const uint64_t HARD_BITS[] = {
    0x0000000000000001,  // 5e-324, the smallest subnormal
    0x000FFFFFFFFFFFFF,  // the largest subnormal
    0x0010000000000000,  // the smallest normal: its lower neighbour is a full step away
    0x7FEFFFFFFFFFFFFF,  // the largest double
    0x42B1BF3E16FC2CD0,  // 19513078119468.8125: two 17-digit candidates tie, the even wins
    0x42A4BBFD1B227B20,  // 11398818926909.5625, a tie
    0x4319CEB9CE882BE5,  // 1816042961767161.25, a tie in positional form
    0x436E414D7886D310,  // 6.81284023336695e+16: a shorter candidate on the (closed) lower bound
    0x439B833625F9C5F7,  // 4.9562194942633517e+17: 17 digits, the upper candidate the closer
    0x3FD3333333333334,  // 0.30000000000000004
    0x4000000000000001,  // 2.0000000000000004
    0x44B52D02C7E14AF6,  // 1e23, also exactly on its lower bound
};

const double HARD_VALUES[] = {
    0.1, 1.5, 100.0, 4788.78, 2717.48, -3.75, 2.5e21, 1e-9,
    9007199254740992.0, 9007199254740994.0, 9007199254740991.0,  // around 2^53
    9999999999999998.0, 1e16, 1e15, 123456789012345680.0,        // last positional, first not
    0.0001, 0.00001, 0.00012345678901234567, 1.2345678901234567e-5,
    1e100, 1.5e300, 1e-300, 1.7976931348623157e308,
};

}  // namespace

int float_text_tests() {
  expect_repr(0.0);
  expect_repr(-0.0);
  for (uint64_t b : HARD_BITS) expect_repr_both_signs(from_bits(b));
  for (double d : HARD_VALUES) expect_repr_both_signs(d);
  // Every binary exponent: the power of two (the irregular interval) and the
  // doubles on each side.
  for (int e = -1074; e <= 1023; ++e) {
    const double p = std::ldexp(1.0, e);
    expect_repr(p);
    expect_repr(std::nextafter(p, 0.0));
    expect_repr(std::nextafter(p, INFINITY));
  }
  // Every decimal exponent, read as the double nearest 10^k, and its neighbours.
  for (int k = -323; k <= 308; ++k) {
    char text[16];
    std::snprintf(text, sizeof text, "1e%d", k);
    const double p = std::strtod(text, nullptr);
    expect_repr(p);
    expect_repr(std::nextafter(p, 0.0));
    expect_repr(std::nextafter(p, INFINITY));
  }
  return failures;
}
