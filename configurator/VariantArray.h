// A row of Native API values whose texts and blocks belong to the host's memory manager, and the
// conversions between a value and the text a user types or reads in the test dialogs.
#pragma once

#include <cstdint>
#include <string>

#include "../addin/NativeApi.h"

class CVariantArray {
 public:
  // `count` zeroed (VTYPE_EMPTY) values; std::bad_alloc when the size is impossible.
  CVariantArray(int64_t count, IMemoryManager* manager);
  // Hands every PSTR, PWSTR and BLOB pointer once to the manager's FreeMemory.
  ~CVariantArray();
  CVariantArray(const CVariantArray&) = delete;
  CVariantArray& operator=(const CVariantArray&) = delete;

  // Each setter first releases what the value at `index` owns. The index is not checked.
  // A copy through AllocMemory; length -1 measures up to the NUL. std::bad_alloc when the manager is
  // missing or refuses.
  void SetString(int64_t index, const wchar_t* text, int64_t length = -1);
  void SetInt(int64_t index, int32_t value);
  void SetUInt(int64_t index, uint32_t value);
  void SetInt64(int64_t index, int64_t value);
  void SetUInt64(int64_t index, uint64_t value);
  void SetBool(int64_t index, bool value);
  // count <= 0, or a refused allocation, gives an empty block; nothing is thrown.
  void SetBlob(int64_t index, const void* bytes, int64_t count);
  // The value from a user's text, by the requested type; a type it does not handle leaves the value.
  void SetFromText(int64_t index, uint16_t type, const wchar_t* text);

  // Releases what the value owns and zeroes it.
  void Clear(int64_t index);

  tVariant* Values() { return m_values; }
  tVariant& operator[](int64_t index) { return m_values[index]; }
  const tVariant& operator[](int64_t index) const { return m_values[index]; }
  int64_t Count() const { return m_count; }
  IMemoryManager* Manager() const { return m_manager; }

 private:
  tVariant* m_values = nullptr;
  int64_t m_count = 0;
  IMemoryManager* m_manager = nullptr;
};

// The text a value is shown by for editing; empty for the types it does not show.
void VariantToEditText(std::wstring& out, const tVariant& value);
