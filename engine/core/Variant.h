// The Native API's value type, laid out as the platform lays it out on x64: a 40-byte union at 0,
// the element count at 40 and the type code at 44, 48 bytes in all. Strings and blocks hold a pointer
// at 0 and their length at 8; their memory comes from the host's memory manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

enum VARIANT_TYPE : uint16_t {
  VTYPE_EMPTY = 0,
  VTYPE_NULL = 1,
  VTYPE_I2 = 2,
  VTYPE_I4 = 3,
  VTYPE_R4 = 4,
  VTYPE_R8 = 5,
  VTYPE_DATE = 6,
  VTYPE_TM = 7,
  VTYPE_PSTR = 8,
  VTYPE_INTERFACE = 9,
  VTYPE_ERROR = 10,
  VTYPE_BOOL = 11,
  VTYPE_VARIANT = 12,
  VTYPE_I1 = 13,
  VTYPE_UI1 = 14,
  VTYPE_UI2 = 15,
  VTYPE_UI4 = 16,
  VTYPE_I8 = 17,
  VTYPE_UI8 = 18,
  VTYPE_INT = 19,
  VTYPE_UINT = 20,
  VTYPE_HRESULT = 21,
  VTYPE_PWSTR = 22,
  VTYPE_BLOB = 23,
  VTYPE_CLSID = 24,
};

// Flag bits above the type code; a value's plain type is vt & VTYPE_TYPEMASK.
constexpr uint16_t VTYPE_TYPEMASK = 0x0FFF;

typedef wchar_t WCHAR_T;  // 16-bit on Windows, as the platform expects
static_assert(sizeof(WCHAR_T) == 2, "the Native API's wide characters are 16-bit");

#pragma pack(push, 8)
struct tVariant {
  union {
    int8_t i8Val;
    int16_t shortVal;
    int32_t lVal;
    int intVal;
    unsigned int uintVal;
    int64_t llVal;
    uint8_t ui8Val;
    uint16_t ushortVal;
    uint32_t ulVal;
    uint64_t ullVal;
    int32_t errCode;
    long hRes;
    float fltVal;
    double dblVal;
    bool bVal;
    char chVal;
    wchar_t wchVal;
    double date;  // OLE automation date
    struct tm tmVal;
    struct {
      void* pInterfaceVal;
      uint8_t InterfaceID[16];
    };
    struct {
      char* pstrVal;
      uint32_t strLen;  // bytes, also of a blob
    };
    struct {
      WCHAR_T* pwstrVal;
      uint32_t wstrLen;  // characters
    };
  };
  uint32_t cbElements;
  uint16_t vt;
};
#pragma pack(pop)

static_assert(sizeof(struct tm) == 36, "struct tm as on Windows");
static_assert(sizeof(tVariant) == 48, "tVariant is 48 bytes on x64");
static_assert(alignof(tVariant) == 8, "tVariant is 8-byte aligned");
static_assert(offsetof(tVariant, lVal) == 0, "value at 0");
static_assert(offsetof(tVariant, pstrVal) == 0 && offsetof(tVariant, strLen) == 8, "narrow string layout");
static_assert(offsetof(tVariant, pwstrVal) == 0 && offsetof(tVariant, wstrLen) == 8, "wide string layout");
static_assert(offsetof(tVariant, cbElements) == 40, "cbElements at 40");
static_assert(offsetof(tVariant, vt) == 44, "vt at 44");

inline uint16_t VariantType(const tVariant* value) { return value->vt & VTYPE_TYPEMASK; }

// Results and out parameters of the add-in's methods.
inline void SetBool(tVariant* value, bool truth) {
  value->bVal = truth;
  value->vt = VTYPE_BOOL;
}

inline void SetI4(tVariant* value, int32_t number) {
  value->ullVal = 0;
  value->lVal = number;
  value->vt = VTYPE_I4;
}

inline void SetUI4(tVariant* value, uint32_t number) {
  value->ullVal = 0;
  value->ulVal = number;
  value->vt = VTYPE_UI4;
}
