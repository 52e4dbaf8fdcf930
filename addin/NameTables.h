// The name tables and the parameter counts and defaults of the methods (declared in Vombra.h for the
// names; the counts and defaults here).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Vombra.h"

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
