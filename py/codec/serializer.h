#pragma once

#include "../interp.h"

namespace tarv {

// Writes `lists` (an iterable of rows, each an iterable of items) as a new
// TARV str. Items that are not str are converted with str(); `hex` reads the
// module attribute HEX, which supplies the header characters. Returns null
// with an exception set on failure.
PyObject* stringify(PyObject* lists, NameLookup& hex) noexcept;

}  // namespace tarv
