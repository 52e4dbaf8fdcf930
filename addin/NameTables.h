// The log names of the properties and methods, and the parameter counts and defaults of the methods
// (the property numbers and names are in PropNames.h, the method names in Vombra.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Vombra.h"

// A property's or method's name as the log shows it: Russian when the add-in's locale is Russian,
// "#n" for a number outside the table.
std::wstring PropLogName(long number);
std::wstring MethodLogName(long number);

extern const long g_MethodParamCounts[VOMBRA_METHOD_COUNT];

struct MethodDefault {
  uint8_t Method;
  uint8_t First;
  uint8_t Last;
  uint16_t Type;  // VTYPE_I4, VTYPE_UI4, VTYPE_BOOL or VTYPE_NULL
  int32_t Value;  // the 32-bit integer, or the truth value 0/1
};
extern const MethodDefault g_MethodDefaults[];
extern const size_t g_MethodDefaultCount;

// The default of one parameter, or null when it has none.
const MethodDefault* FindMethodDefault(long method, long parameter);
