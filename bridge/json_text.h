// JSON text of a Value, as the page reads it.
#pragma once

#include <string>

#include "bridge/value.h"

// Compact JSON (no whitespace between tokens). Integers stay integers,
// booleans are true/false, floating values read back as the same number.
// Never fails: a value that cannot be encoded (a non-finite number, a string
// that is not valid UTF-8) gives the two characters "{}". Any thread.
std::string jsonString(const Value& value);
