// The database converters of a queryset's columns, run per row by the native
// loop: SQLite's own converters natively where the value is certain to come
// out as Django's, every other converter called as Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

namespace qc {

// The same numbers as quorvel_core.row_converters.Converter.
enum class ConverterKind : int {
  python = 0,
  sqlite_datetime = 1,
  sqlite_date = 2,
  sqlite_boolean = 3,
  sqlite_decimal = 4,
  sqlite_uuid = 5,
};

// One converter of a column. Every pointer is borrowed from the plan, which
// the loop keeps alive and which is made of tuples only.
struct ConverterStep {
  ConverterKind kind;
  PyObject* call;            // the converter: (value, expression, connection)
  PyObject* zone = nullptr;  // sqlite_datetime: tzinfo for naive values, or nullptr
  PyObject* create_decimal = nullptr;  // sqlite_decimal
  PyObject* quantum = nullptr;
  PyObject* context = nullptr;
  // sqlite_decimal done natively: the field's places and max_digits (-1:
  // call the decimal module), the 15-digit context and the signal classes
  // whose flags the native arithmetic sets as the decimal module would.
  int places = -1, max_digits = -1;
  PyObject* inexact = nullptr;
  PyObject* rounded = nullptr;
  PyObject* created_flags = nullptr;  // the two contexts' `flags` (the first may be None)
  PyObject* flags = nullptr;
};

struct ColumnConverters {
  Py_ssize_t position;
  PyObject* expression;
  std::vector<ConverterStep> steps;
};

// Reads the tuple of ConverterPlan; false with an error set.
bool parse_converters(PyObject* plans, std::vector<ColumnConverters>& out);

// Converts the columns of `row`, a list, in place, as
// SQLCompiler.apply_converters does; false with an error set.
bool convert_row(const std::vector<ColumnConverters>& columns, PyObject* row,
                 PyObject* connection);

// cursor_converter(with_time, django_converter, /): a native stand-in for the
// sqlite3 converter that Django registers for "date" (with_time False) or
// "datetime" and "timestamp" (True).
PyObject* cursor_converter(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace qc
