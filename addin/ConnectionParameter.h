// One connection parameter set by name, as the driver method SetParameter does it on the live
// connection parameters. No Windows header and no host memory: the caller reads the host's value
// into a ParameterValue first, so that the native sanitizer build and its fuzzer compile this as it is.
#pragma once

#include <cstdint>
#include <string>

#include "Settings.h"

// What the host's value holds, read once by the caller.
struct ParameterValue {
  bool IsText = false;  // a PWSTR value
  std::wstring Text;    // its text; empty for any other type
  uint32_t Number = 0;  // the 32-bit value at the start of the value
  bool Truth = false;   // its first byte
};

enum class ParameterOutcome {
  Set,          // the field holds the value
  UnknownName,  // no connection parameter of that name; nothing changed
  WrongType,    // a port that is not a text; nothing changed
  EmptyPort,    // the empty port is set all the same, so that a following Open fails the same way
  OutOfRange,   // a model past the last one; nothing changed
};

// The property number (Port to Suffix) of a connection parameter's English or Russian name, compared
// exactly and with case; -1 for any other name.
long FindConnectionParameter(const std::wstring& name);

ParameterOutcome SetConnectionParameter(_READERPARAMS_INFO& params, const std::wstring& name,
                                        const ParameterValue& value);
