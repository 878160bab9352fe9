#pragma once

#include "../interp.h"

namespace tarv {

// Reads a TARV text (an exact str) into a new list of lists of str. Malformed
// text raises SyntaxError; `end_of_input` reads the module attribute
// ErrUnexpectedEndOfInput, the message of the end-of-input error. Returns null
// with an exception set on failure.
PyObject* parse(PyObject* text, NameLookup& end_of_input) noexcept;

}  // namespace tarv
