// A fake add-in whose properties hold every value type the test bench shows and whose methods take
// parameters with defaults, refuse, throw or cannot be found: the Properties and Methods tabs' tests
// steer it and read what it was given through FakeMembersGetState.
#pragma once

#include <cstdint>

// Property numbers.
enum : long {
  FAKE_PROP_TEXT,       // PWSTR "COM3", writable
  FAKE_PROP_UNSIGNED,   // UI4 4294967295, writable
  FAKE_PROP_FLAG,       // BOOL true, writable
  FAKE_PROP_BYTES,      // BLOB 01 02, writable
  FAKE_PROP_WIDE,       // I8 -5, writable
  FAKE_PROP_ODD,        // R8: a type the configurator does not show
  FAKE_PROP_FAILING,    // GetPropVal answers false
  FAKE_PROP_THROWING,   // GetPropVal throws
  FAKE_PROP_READ_ONLY,  // I4 7, not writable
  FAKE_PROP_PICKY,      // I4 1; SetPropVal refuses (with AddError when RefuseText is set)
  FAKE_PROP_COUNT
};

// Method numbers.
enum : long {
  FAKE_METH_NO_PARAMS,  // function, no parameters, returns true
  FAKE_METH_SUM,        // function (I4 = 10, PWSTR = "abc", BOOL): returns the sum text, writes 99 into 0
  FAKE_METH_PROC,       // procedure (1 parameter); answers ProcAnswer, with AddError when RefuseText is set
  FAKE_METH_THROW,      // function throwing
  FAKE_METH_GROW,       // function with GrowParams parameters
  FAKE_METH_GHOST,      // procedure that FindMethod does not find
  FAKE_METH_GET_LAST_ERROR,
  FAKE_METH_COUNT
};

struct FakeMembersState {
  // Steering.
  bool ProcAnswer;
  wchar_t RefuseText[64];
  long GrowParams;
  // Seen.
  int SetPropCalls;
  long SetPropIndex;
  uint16_t SetPropType;
  int64_t SetPropNumber;
  wchar_t SetPropText[64];
  uint32_t SetPropLength;
  uint8_t SetPropBytes[16];
  int Calls;
  long CallMethod;
  long CallCount;
  uint16_t CallTypes[8];
  int64_t CallNumbers[8];
  wchar_t CallTexts[8][32];
  uint32_t CallLengths[8];
};

typedef FakeMembersState* (*PFN_FAKE_MEMBERS_STATE)();
