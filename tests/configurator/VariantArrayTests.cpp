// Native API values owned through the host's memory manager: text to value by type, value back to edit
// text, what each setter does with the memory the value held, and a counting manager that sees every
// block handed back exactly once.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <string>

#include "VariantArray.h"

namespace {

// Hands out heap blocks and records each; a block freed twice or never handed out is counted as a fault.
class CountingManager : public IMemoryManager {
 public:
  ~CountingManager() = default;
  void* ScalarDeletingDestructor(unsigned int) override { return this; }
  bool AllocMemory(void** memory, unsigned long bytes) override {
    if (Refuse || !memory) return false;
    *memory = malloc(bytes);
    m_live[*memory] = bytes;
    ++Allocations;
    return true;
  }
  void FreeMemory(void** memory) override {
    if (!memory || !*memory) return;
    if (m_live.erase(*memory) == 0) {
      ++BadFrees;
    } else {
      free(*memory);
    }
    *memory = nullptr;
    ++Frees;
  }
  size_t Live() const { return m_live.size(); }

  bool Refuse = false;
  int Allocations = 0;
  int Frees = 0;
  int BadFrees = 0;

 private:
  std::map<void*, unsigned long> m_live;
};

std::string BlobBytes(const tVariant& value) {
  return value.pstrVal ? std::string(value.pstrVal, value.strLen) : std::string();
}

struct TextRow {
  uint16_t Type;
  const wchar_t* Text;
  uint16_t StoredType;
  uint64_t Bits;         // the number (I4/UI4 as 32 bits, BOOL as 0/1) for the number types
  std::string Bytes;     // the block of a BLOB
  const wchar_t* Shown;  // the edit text of the stored value (for a PWSTR also its content)
};

const TextRow kTextRows[] = {
    {VTYPE_I2, L"123", VTYPE_I4, 123, "", L"123"},
    {VTYPE_I4, L"-17", VTYPE_I4, uint32_t(-17), "", L"-17"},
    {VTYPE_I4, L"12abc", VTYPE_I4, 12, "", L"12"},
    {VTYPE_I4, L"abc", VTYPE_I4, 0, "", L"0"},
    {VTYPE_I4, L"99999999999", VTYPE_I4, 0x7FFFFFFF, "", L"2147483647"},
    {VTYPE_I4, L"-2147483649", VTYPE_I4, 0x80000000u, "", L"-2147483648"},
    {VTYPE_UI2, L"65535", VTYPE_UI4, 65535, "", L"65535"},
    {VTYPE_UI4, L"-1", VTYPE_UI4, 0xFFFFFFFFu, "", L"-1"},
    {VTYPE_UI4, L"4294967295", VTYPE_UI4, 0x7FFFFFFF, "", L"2147483647"},
    {VTYPE_I8, L"-9223372036854775809", VTYPE_I8, 0x8000000000000000ull, "", L"-9223372036854775808"},
    {VTYPE_I8, L"123456789012", VTYPE_I8, 123456789012ull, "", L"123456789012"},
    {VTYPE_UI8, L"-1", VTYPE_UI8, ~0ull, "", L"-1"},
    {VTYPE_UI8, L"18446744073709551615", VTYPE_UI8, ~0ull, "", L"-1"},
    {VTYPE_UI8, L"99999999999999999999", VTYPE_UI8, ~0ull, "", L"-1"},
    {VTYPE_BOOL, L"", VTYPE_BOOL, 0, "", L"0"},
    {VTYPE_BOOL, L"0", VTYPE_BOOL, 0, "", L"0"},
    {VTYPE_BOOL, L"yes", VTYPE_BOOL, 1, "", L"1"},
    {VTYPE_BOOL, L"false", VTYPE_BOOL, 1, "", L"1"},
    {VTYPE_BOOL, L"00", VTYPE_BOOL, 1, "", L"1"},
    {VTYPE_NULL, L"ignored", VTYPE_NULL, 0, "", L""},
    {VTYPE_PWSTR, L"", VTYPE_PWSTR, 0, "", L""},
    {VTYPE_PWSTR, L" Ключ 1\r\n", VTYPE_PWSTR, 0, "", L" Ключ 1\r\n"},
    {VTYPE_BLOB, L"AB 01 ff", VTYPE_BLOB, 0, "\xAB\x01\xFF", L"AB01FF"},
    {VTYPE_BLOB, L"ABC", VTYPE_BLOB, 0, "\xAB\xC0", L"ABC0"},
    {VTYPE_BLOB, L"", VTYPE_BLOB, 0, "", L""},
    {VTYPE_BLOB, L"   ", VTYPE_BLOB, 0, "", L""},
    {VTYPE_BLOB, L"zz1", VTYPE_BLOB, 0, std::string("\x00\x10", 2), L"0010"},
};

TEST(VariantArray, TextToValueAndBackByType) {
  for (const TextRow& row : kTextRows) {
    SCOPED_TRACE(testing::Message() << "type " << row.Type << " text \"" << row.Text << "\"");
    CountingManager manager;
    {
      CVariantArray values(2, &manager);
      values.SetFromText(1, row.Type, row.Text);
      const tVariant& value = values[1];
      ASSERT_EQ(value.vt, row.StoredType);
      switch (row.StoredType) {
        case VTYPE_I4:
        case VTYPE_UI4:
          EXPECT_EQ(value.ulVal, uint32_t(row.Bits));
          break;
        case VTYPE_I8:
        case VTYPE_UI8:
          EXPECT_EQ(value.ullVal, row.Bits);
          break;
        case VTYPE_BOOL:
          EXPECT_EQ(value.bVal, row.Bits != 0);
          break;
        case VTYPE_PWSTR:
          ASSERT_NE(value.pwstrVal, nullptr);
          EXPECT_EQ(std::wstring(value.pwstrVal), row.Shown);
          EXPECT_EQ(value.wstrLen, wcslen(row.Shown));
          break;
        case VTYPE_BLOB:
          EXPECT_EQ(BlobBytes(value), row.Bytes);
          EXPECT_EQ(value.strLen, row.Bytes.size());
          if (row.Bytes.empty()) {
            EXPECT_EQ(value.pstrVal, nullptr);
          }
          break;
      }
      std::wstring shown = L"stale";
      VariantToEditText(shown, value);
      EXPECT_EQ(shown, row.Shown);
      // The edit text set back with the stored type gives the same value.
      values.SetFromText(0, row.StoredType, shown.c_str());
      std::wstring again;
      VariantToEditText(again, values[0]);
      EXPECT_EQ(values[0].vt, row.StoredType);
      EXPECT_EQ(again, shown);
    }
    EXPECT_EQ(manager.Live(), 0u);
    EXPECT_EQ(manager.BadFrees, 0);
  }
}

TEST(VariantArray, TypesWithoutATextAreLeftAlone) {
  CountingManager manager;
  CVariantArray values(1, &manager);
  for (uint16_t type : {uint16_t(VTYPE_R8), uint16_t(VTYPE_DATE), uint16_t(VTYPE_EMPTY), uint16_t(VTYPE_PSTR),
                        uint16_t(VTYPE_CLSID), uint16_t(99)}) {
    values.SetString(0, L"kept");
    values.SetFromText(0, type, L"12");
    ASSERT_EQ(values[0].vt, VTYPE_PWSTR) << type;
    EXPECT_STREQ(values[0].pwstrVal, L"kept") << type;
  }
  tVariant real{};
  real.dblVal = 1.5;
  real.vt = VTYPE_R8;
  std::wstring shown = L"stale";
  VariantToEditText(shown, real);
  EXPECT_EQ(shown, L"");
  real.vt = VTYPE_DATE;
  VariantToEditText(shown, real);
  EXPECT_EQ(shown, L"");
}

TEST(VariantArray, EveryBlockIsHandedBackOnce) {
  CountingManager manager;
  {
    CVariantArray values(5, &manager);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(values[i].vt, VTYPE_EMPTY);
    values.SetString(0, L"first");
    values.SetString(0, L"replaced");  // the first copy goes back at once
    EXPECT_EQ(manager.Frees, 1);
    values.SetBlob(1, "\x01\x02\x03", 3);
    values.SetInt(1, 5);  // a number over a block frees the block
    EXPECT_EQ(manager.Frees, 2);
    values.SetString(2, L"abcdef", 3);
    EXPECT_STREQ(values[2].pwstrVal, L"abc");
    EXPECT_EQ(values[2].wstrLen, 3u);
    values.SetBlob(3, "\xFF", 1);
    values.SetBlob(4, "x", 0);  // no memory for an empty block
    EXPECT_EQ(values[4].vt, VTYPE_BLOB);
    EXPECT_EQ(values[4].pstrVal, nullptr);
    // A narrow text the add-in put in is owned too.
    void* narrow = nullptr;
    manager.AllocMemory(&narrow, 4);
    memcpy(narrow, "abc", 4);
    values.SetBool(4, true);
    values[4].pstrVal = static_cast<char*>(narrow);
    values[4].strLen = 3;
    values[4].vt = VTYPE_PSTR;
    EXPECT_EQ(manager.Live(), 4u);
  }
  EXPECT_EQ(manager.Live(), 0u);
  EXPECT_EQ(manager.BadFrees, 0);
  EXPECT_EQ(manager.Frees, manager.Allocations);
}

TEST(VariantArray, RefusedMemory) {
  CountingManager manager;
  CVariantArray values(2, &manager);
  manager.Refuse = true;
  EXPECT_THROW(values.SetString(0, L"text"), std::bad_alloc);
  values.SetBlob(1, "\x01\x02", 2);  // a block alone turns the refusal into an empty block
  EXPECT_EQ(values[1].vt, VTYPE_BLOB);
  EXPECT_EQ(values[1].strLen, 0u);
  EXPECT_EQ(values[1].pstrVal, nullptr);
  CVariantArray unmanaged(1, nullptr);
  EXPECT_THROW(unmanaged.SetString(0, L"x"), std::bad_alloc);
  EXPECT_THROW(CVariantArray(std::numeric_limits<int64_t>::max() / 16, &manager), std::bad_alloc);
}

TEST(VariantArray, EditTextOfTheWiderNumberTypes) {
  struct Row {
    uint16_t Type;
    uint64_t Bits;
    const wchar_t* Shown;
  };
  const Row rows[] = {
      {VTYPE_I2, 0xFFFF, L"-1"},         {VTYPE_UI2, 0xFFFF, L"65535"},
      {VTYPE_I4, 0x80000000u, L"-2147483648"}, {VTYPE_UI4, 0xFFFFFFFFu, L"-1"},
      {VTYPE_UI8, ~0ull, L"-1"},         {VTYPE_BOOL, 1, L"1"},
  };
  for (const Row& row : rows) {
    tVariant value{};
    value.ullVal = row.Bits;
    value.vt = row.Type;
    std::wstring shown;
    VariantToEditText(shown, value);
    EXPECT_EQ(shown, row.Shown) << row.Type;
  }
}

}  // namespace
