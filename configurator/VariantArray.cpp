#include "VariantArray.h"

#include <cstring>
#include <cwchar>
#include <limits>
#include <new>
#include <vector>

#include "Core.h"

CVariantArray::CVariantArray(int64_t count, IMemoryManager* manager) : m_manager(manager) {
  if (count < 0 || uint64_t(count) > std::numeric_limits<size_t>::max() / sizeof(tVariant)) {
    throw std::bad_alloc();
  }
  m_values = new tVariant[size_t(count)]();
  m_count = count;
}

CVariantArray::~CVariantArray() {
  for (int64_t i = 0; i < m_count; ++i) Clear(i);
  delete[] m_values;
}

void CVariantArray::Clear(int64_t index) {
  tVariant& value = m_values[index];
  switch (VariantType(&value)) {
    case VTYPE_PSTR:
    case VTYPE_PWSTR:
    case VTYPE_BLOB:
      if (m_manager && value.pstrVal) {
        void* memory = value.pstrVal;
        m_manager->FreeMemory(&memory);
      }
      break;
    default:
      break;
  }
  std::memset(&value, 0, sizeof value);
}

void CVariantArray::SetString(int64_t index, const wchar_t* text, int64_t length) {
  Clear(index);
  if (!text) text = L"";
  const size_t chars = length < 0 ? wcslen(text) : size_t(length);
  void* memory = nullptr;
  if (!m_manager || chars >= 0x7FFFFFFF / sizeof(WCHAR_T) ||
      !m_manager->AllocMemory(&memory, (unsigned long)((chars + 1) * sizeof(WCHAR_T))) || !memory) {
    throw std::bad_alloc();
  }
  std::memcpy(memory, text, chars * sizeof(WCHAR_T));
  static_cast<WCHAR_T*>(memory)[chars] = 0;
  tVariant& value = m_values[index];
  value.pwstrVal = static_cast<WCHAR_T*>(memory);
  value.wstrLen = uint32_t(chars);
  value.vt = VTYPE_PWSTR;
}

void CVariantArray::SetInt(int64_t index, int32_t value) {
  Clear(index);
  m_values[index].lVal = value;
  m_values[index].vt = VTYPE_I4;
}

void CVariantArray::SetUInt(int64_t index, uint32_t value) {
  Clear(index);
  m_values[index].ulVal = value;
  m_values[index].vt = VTYPE_UI4;
}

void CVariantArray::SetInt64(int64_t index, int64_t value) {
  Clear(index);
  m_values[index].llVal = value;
  m_values[index].vt = VTYPE_I8;
}

void CVariantArray::SetUInt64(int64_t index, uint64_t value) {
  Clear(index);
  m_values[index].ullVal = value;
  m_values[index].vt = VTYPE_UI8;
}

void CVariantArray::SetBool(int64_t index, bool value) {
  Clear(index);
  m_values[index].bVal = value;
  m_values[index].vt = VTYPE_BOOL;
}

void CVariantArray::SetBlob(int64_t index, const void* bytes, int64_t count) {
  Clear(index);
  tVariant& value = m_values[index];
  value.vt = VTYPE_BLOB;
  if (count <= 0 || count > 0x7FFFFFFF || !m_manager) return;
  void* memory = nullptr;
  if (!m_manager->AllocMemory(&memory, (unsigned long)count) || !memory) return;
  std::memcpy(memory, bytes, size_t(count));
  value.pstrVal = static_cast<char*>(memory);
  value.strLen = uint32_t(count);
}

void CVariantArray::SetFromText(int64_t index, uint16_t type, const wchar_t* text) {
  if (!text) text = L"";
  switch (type) {
    case VTYPE_NULL:
      Clear(index);
      m_values[index].vt = VTYPE_NULL;
      break;
    case VTYPE_I2:
    case VTYPE_I4:
      // long is 32-bit here, so wcstol clamps to the 32-bit limits.
      SetInt(index, int32_t(wcstol(text, nullptr, 10)));
      break;
    case VTYPE_BOOL:
      SetBool(index, !(text[0] == 0 || wcscmp(text, L"0") == 0));
      break;
    case VTYPE_UI2:
    case VTYPE_UI4:
      SetUInt(index, uint32_t(int32_t(wcstol(text, nullptr, 10))));
      break;
    case VTYPE_I8:
      SetInt64(index, wcstoll(text, nullptr, 10));
      break;
    case VTYPE_UI8:
      SetUInt64(index, wcstoull(text, nullptr, 10));
      break;
    case VTYPE_PWSTR:
      SetString(index, text, -1);
      break;
    case VTYPE_BLOB: {
      std::wstring digits;
      for (const wchar_t* p = text; *p; ++p) {
        if (*p != L' ') digits += *p;
      }
      std::vector<BYTE> bytes((digits.size() + 1) / 2);
      const size_t n = bytes.empty() ? 0 : HexToBytes(digits.c_str(), int(digits.size()), bytes.data(), bytes.size());
      SetBlob(index, bytes.data(), int64_t(n));
      break;
    }
    default:
      break;
  }
}

void VariantToEditText(std::wstring& out, const tVariant& value) {
  out.clear();
  switch (VariantType(&value)) {
    case VTYPE_I2:
      out = std::to_wstring(value.shortVal);
      break;
    case VTYPE_I4:
    case VTYPE_UI4:
      out = std::to_wstring(value.lVal);
      break;
    case VTYPE_UI2:
      out = std::to_wstring(value.ushortVal);
      break;
    case VTYPE_I8:
    case VTYPE_UI8:
      out = std::to_wstring(value.llVal);
      break;
    case VTYPE_BOOL:
      out = value.bVal ? L"1" : L"0";
      break;
    case VTYPE_PWSTR:
      if (value.pwstrVal) out.assign(value.pwstrVal, value.wstrLen);
      break;
    case VTYPE_BLOB:
      if (value.pstrVal && value.strLen) {
        BytesToHexStr(reinterpret_cast<const BYTE*>(value.pstrVal), value.strLen, out);
      }
      break;
    default:
      break;
  }
}
