// The property numbers, and the parameter counts and defaults of the methods (the name tables
// themselves are declared in Vombra.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Vombra.h"

// The property numbers, in the order of g_PropNames.
enum VombraProp : long {
  PROP_SEARCH_STANDARD_COM_PORTS = 0,
  PROP_SEARCH_VIRTUAL_COM_PORTS,
  PROP_SEARCH_CCID,
  PROP_SEARCH_IP_PORTS,
  PROP_FIND_IP_TIMEOUT,
  PROP_FIND_IP_TRIES,
  PROP_PORT,
  PROP_MODEL,
  PROP_SPEED,
  PROP_STOP_BITS,
  PROP_CONNECT_TIMEOUT,
  PROP_CONNECT_PERIOD,
  PROP_RX_PERIOD,
  PROP_REQUEST_TIMEOUT,
  PROP_REQUEST_TRIES,
  PROP_WIEGAND,
  PROP_BINARY_MODE,
  PROP_DIFFERENT_RK73,
  PROP_NVT,
  PROP_READER_FORMAT_ID,
  PROP_PREFIX,
  PROP_SUFFIX,
  PROP_LOG_LEVEL,
  PROP_MAX_LOG_SIZE,
  PROP_DEFAULT_FORMAT_ID,
  PROP_KEY_TYPES,
  PROP_KEY_HOLD_TIMEOUT,
  PROP_HOLD_MIFARE_C,
  PROP_HOLD_MIFARE_P,
  PROP_HOLD_MIFARE_UL,
  PROP_HOLD_TEMIC,
  PROP_TEMIC_SCAN_PARAMETERS,
  PROP_AUTO_MIFARE_C,
  PROP_AUTO_MIFARE_P,
  PROP_AUTO_MIFARE_UL,
  PROP_AUTO_TEMIC,
  PROP_SOUND_ENABLED,
  PROP_SOUND_TRANSFER,
  PROP_SOUND_TRANSFER_ERROR,
  PROP_SOUND_CONNECTIONS,
  PROP_SOUND_DISCONNECTIONS,
  PROP_SOUND_FOUND_KEY,
  PROP_SOUND_LOST_KEY,
  PROP_SETTINGS_MODIFIED,
  PROP_FORMAT_COUNT,
  PROP_KEY_FILTER_COUNT,
  PROP_AUTHORIZATION_KEY_MC,
  PROP_AUTHORIZATION_KEY_MP,
};
static_assert(PROP_AUTHORIZATION_KEY_MP + 1 == VOMBRA_PROP_COUNT, "one number per property name");

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
