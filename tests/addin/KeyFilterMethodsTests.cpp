// The key-filter methods through the dispatcher: inserting, changing, deleting and clearing filters,
// their IDs 1..31 with reuse, the name rules, and the two finders.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MethodCallFixture.h"
#include "Vombra.h"

namespace {

constexpr HRESULT kFilterName = HRESULT(0x80040240);
constexpr HRESULT kFilterExists = HRESULT(0x80040241);
constexpr HRESULT kFilterLimit = HRESULT(0x80040242);
constexpr UINT kListsPart = 2;

class KeyFilterMethodsTest : public MethodCallTest {
 protected:
  // InsertKeyFilter with every argument given; the call record for the index and ID it returned.
  MethodCall Insert(int32_t index, const std::wstring& name, UINT keyTypes = 0x3FFFFF, int32_t keySize = 0,
                    tVariant formatId = Null(), tVariant id = Empty()) {
    return Call(L"InsertKeyFilter", {I4(index), Str(name), UI4(keyTypes), I4(keySize), formatId, id});
  }

  // A filter placed straight into the list, as a settings load would.
  void Put(UINT id, const std::wstring& name, UINT keyTypes = 0x3FFFFF, UINT keySize = 0) {
    _KEYFILTER_INFO filter;
    filter.Id = id;
    filter.Name = name;
    filter.KeyTypes = keyTypes;
    filter.KeySize = keySize;
    filter.Flags = 1;
    addin.KeyFilters.push_back(filter);
  }

  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    for (const auto& filter : addin.KeyFilters) names.push_back(filter.Name);
    return names;
  }
  std::vector<UINT> Ids() const {
    std::vector<UINT> ids;
    for (const auto& filter : addin.KeyFilters) ids.push_back(filter.Id);
    return ids;
  }
};

TEST_F(KeyFilterMethodsTest, InsertPlacesFiltersAndReturnsIndexAndId) {
  addin.KeyFilterSortCol = 3;
  struct Step {
    int32_t index;
    const wchar_t* name;
    int32_t returnedIndex;
    UINT returnedId;
  };
  const Step steps[] = {
      {-1, L"A", 0, 1},  // append to the empty list
      {0, L"B", 0, 2},   // before the first
      {-1, L"C", 2, 3},  // append: the new last index
      {1, L"D", 1, 4},   // before index 1
      {7, L"E", 4, 5},   // beyond the end appends too
  };
  for (const Step& step : steps) {
    MethodCall call = Insert(step.index, step.name, 0x3FFFFF, 0, Null(), UI4(0));
    ASSERT_TRUE(call.Answer) << step.name;
    EXPECT_TRUE(call.BoolResult()) << step.name;
    EXPECT_EQ(call.Params[0].vt, VTYPE_I4);
    EXPECT_EQ(call.Params[0].lVal, step.returnedIndex) << step.name;
    EXPECT_EQ(call.Params[5].vt, VTYPE_UI4);
    EXPECT_EQ(call.Params[5].ulVal, step.returnedId) << step.name;
  }
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"B", L"D", L"A", L"C", L"E"}));
  EXPECT_EQ(Ids(), (std::vector<UINT>{2, 4, 1, 3, 5}));
  EXPECT_EQ(addin.KeyFilterNewId, 6u);
  EXPECT_EQ(addin.KeyFilterSortCol, 0u);
  EXPECT_EQ(addin.ModifiedParts, kListsPart);
}

TEST_F(KeyFilterMethodsTest, InsertStoresTheGivenValuesAndDefaults) {
  MethodCall call = Insert(-1, L"mifare", 0x1800, 7, UI4(42), Null());
  ASSERT_TRUE(call.BoolResult());
  EXPECT_EQ(call.Params[5].vt, VTYPE_NULL) << "a NULL Id argument receives nothing";
  call = Insert(-1, L"any", 0xFFFFFFFF, 0, Empty());
  ASSERT_TRUE(call.BoolResult());
  ASSERT_EQ(addin.KeyFilters.size(), 2u);
  const _KEYFILTER_INFO& first = addin.KeyFilters[0];
  EXPECT_EQ(first.KeyTypes, 0x1800u);
  EXPECT_EQ(first.KeySize, 7u);
  EXPECT_EQ(first.FormatId, 42u);
  EXPECT_EQ(first.Flags, 1u);
  EXPECT_EQ(addin.KeyFilters[1].KeyTypes, 0xFFFFFFFFu);
  EXPECT_EQ(addin.KeyFilters[1].FormatId, 0u) << "an omitted format ID is 0";
}

TEST_F(KeyFilterMethodsTest, RefusedNamesChangeNothing) {
  Put(1, L"Dallas");
  addin.KeyFilterNewId = 2;
  addin.KeyFilterSortCol = 4;
  struct Case {
    const wchar_t* name;
    HRESULT code;
  };
  const Case cases[] = {{L"", kFilterName}, {L"Dallas", kFilterExists}};
  for (const Case& c : cases) {
    MethodCall call = Insert(-1, c.name);
    ASSERT_TRUE(call.Answer) << c.name;
    EXPECT_FALSE(call.BoolResult()) << c.name;
    EXPECT_EQ(LastError(), c.code) << c.name;
  }
  EXPECT_EQ(addin.KeyFilters.size(), 1u);
  EXPECT_EQ(addin.KeyFilterNewId, 2u);
  EXPECT_EQ(addin.KeyFilterSortCol, 4u);
  EXPECT_EQ(addin.ModifiedParts, 0u);
  // A name differing in case only is another name.
  EXPECT_TRUE(Insert(-1, L"dallas").BoolResult());
}

TEST_F(KeyFilterMethodsTest, ThirtyOneFiltersAtMostAndADeletedIdIsReused) {
  for (int i = 1; i <= 31; ++i) {
    MethodCall call = Insert(-1, L"F" + std::to_wstring(i), 0x3FFFFF, 0, Null(), UI4(0));
    ASSERT_TRUE(call.BoolResult()) << i;
    EXPECT_EQ(call.Params[5].ulVal, UINT(i));
  }
  EXPECT_EQ(addin.KeyFilterNewId, 32u);
  addin.ModifiedParts = 0;

  MethodCall full = Insert(-1, L"F32");
  ASSERT_TRUE(full.Answer);
  EXPECT_FALSE(full.BoolResult());
  std::wstring text;
  EXPECT_EQ(LastError(&text), kFilterLimit);
  EXPECT_EQ(text, L"Key Filters Limit Reached (maximum 31).");
  EXPECT_EQ(addin.KeyFilters.size(), 31u);
  EXPECT_EQ(addin.KeyFilterNewId, 32u);
  EXPECT_EQ(addin.ModifiedParts, 0u);

  // The filter with ID 7 sits at index 6.
  ASSERT_TRUE(Call(L"DeleteKeyFilter", {I4(6)}).BoolResult());
  MethodCall again = Insert(-1, L"F32", 0x3FFFFF, 0, Null(), UI4(0));
  ASSERT_TRUE(again.BoolResult());
  EXPECT_EQ(again.Params[5].ulVal, 7u);
  EXPECT_EQ(addin.KeyFilterNewId, 8u);
}

TEST_F(KeyFilterMethodsTest, IdSearchStartsAtTheNextIdAndWraps) {
  struct Case {
    const char* what;
    std::vector<UINT> present;
    UINT nextId;
    UINT expectedId;
  };
  const Case cases[] = {
      {"next ID free", {1, 2}, 5, 5},
      {"used IDs skipped", {5, 6}, 5, 7},
      {"wraps to the lowest free", {30, 31, 1}, 30, 2},
      {"next ID past 31", {1, 2}, 32, 3},
      {"next ID 0 never gives 0", {}, 0, 1},
      {"next ID 0 with 1 taken", {1}, 0, 2},
  };
  for (const Case& c : cases) {
    addin.KeyFilters.clear();
    for (UINT id : c.present) Put(id, L"P" + std::to_wstring(id));
    addin.KeyFilterNewId = c.nextId;
    MethodCall call = Insert(-1, L"new", 0x3FFFFF, 0, Null(), UI4(0));
    ASSERT_TRUE(call.BoolResult()) << c.what;
    EXPECT_EQ(call.Params[5].ulVal, c.expectedId) << c.what;
    EXPECT_EQ(addin.KeyFilterNewId, c.expectedId + 1) << c.what;
  }
}

TEST_F(KeyFilterMethodsTest, SetKeyFilterChangesOnlyTheGivenValues) {
  Put(3, L"first", 0x2, 4);
  Put(9, L"second", 0x4, 0);
  addin.KeyFilters[0].FormatId = 11;
  addin.KeyFilterSortCol = 2;

  // Name NULL, new key types: the rest stays.
  MethodCall call = Call(L"SetKeyFilter", {I4(0), Null(), UI4(0x400), Null(), Empty()});
  ASSERT_TRUE(call.Answer);
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(addin.KeyFilters[0].Name, L"first");
  EXPECT_EQ(addin.KeyFilters[0].KeyTypes, 0x400u);
  EXPECT_EQ(addin.KeyFilters[0].KeySize, 4u);
  EXPECT_EQ(addin.KeyFilters[0].FormatId, 11u);
  EXPECT_EQ(addin.KeyFilterSortCol, 0u);
  EXPECT_EQ(addin.ModifiedParts, kListsPart);

  call = Call(L"SetKeyFilter", {I4(1), Str(L"renamed"), Null(), I4(8), UI4(5)});
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(addin.KeyFilters[1].Name, L"renamed");
  EXPECT_EQ(addin.KeyFilters[1].KeyTypes, 0x4u);
  EXPECT_EQ(addin.KeyFilters[1].KeySize, 8u);
  EXPECT_EQ(addin.KeyFilters[1].FormatId, 5u);
  EXPECT_EQ(addin.KeyFilters[1].Id, 9u) << "the ID never changes";
}

TEST_F(KeyFilterMethodsTest, SetKeyFilterRefusals) {
  Put(1, L"first", 0x2, 4);
  Put(2, L"second", 0x4, 0);
  struct Case {
    const char* what;
    int32_t index;
    bool nameGiven;
    const wchar_t* name;
    HRESULT code;
  };
  const Case cases[] = {
      {"its own current name", 0, true, L"first", kFilterExists},
      {"another filter's name", 0, true, L"second", kFilterExists},
      {"an empty name", 1, true, L"", kFilterName},
      {"index equal to the length", 2, false, nullptr, kBounds},
      {"negative index", -1, false, nullptr, kBounds},
  };
  for (const Case& c : cases) {
    tVariant name = c.nameGiven ? Str(c.name) : Null();
    MethodCall call = Call(L"SetKeyFilter", {I4(c.index), name, UI4(0x1), I4(1), UI4(1)});
    ASSERT_TRUE(call.Answer) << c.what;
    EXPECT_FALSE(call.BoolResult()) << c.what;
    EXPECT_EQ(LastError(), c.code) << c.what;
  }
  // A key-types argument of text type is refused by the argument check.
  MethodCall call = Call(L"SetKeyFilter", {I4(0), Null(), Str(L"2"), Null(), Null()});
  ASSERT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(LastError(), kParamType);

  EXPECT_EQ(addin.KeyFilters[0].KeyTypes, 0x2u);
  EXPECT_EQ(addin.KeyFilters[1].Name, L"second");
  EXPECT_EQ(addin.ModifiedParts, 0u);
}

TEST_F(KeyFilterMethodsTest, GetKeyFilterReturnsEveryValueWithItsType) {
  Put(17, L"Фильтр", 0x80000001, 3);
  addin.KeyFilters[0].FormatId = 0xFFFFFFFE;
  MethodCall call = Call(L"GetKeyFilter", {I4(0), Null(), Null(), Null(), Null(), Null()});
  ASSERT_TRUE(call.Answer);
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(TakeText(call.Params[1]), L"Фильтр");
  EXPECT_EQ(call.Params[2].vt, VTYPE_UI4);
  EXPECT_EQ(call.Params[2].ulVal, 0x80000001u);
  EXPECT_EQ(call.Params[3].vt, VTYPE_I4);
  EXPECT_EQ(call.Params[3].lVal, 3);
  EXPECT_EQ(call.Params[4].vt, VTYPE_UI4);
  EXPECT_EQ(call.Params[4].ulVal, 0xFFFFFFFEu);
  EXPECT_EQ(call.Params[5].vt, VTYPE_UI4);
  EXPECT_EQ(call.Params[5].ulVal, 17u);

  call = Call(L"GetKeyFilter", {I4(1), Null(), Null(), Null(), Null(), Null()});
  ASSERT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(LastError(), kBounds);
  EXPECT_EQ(call.Params[1].vt, VTYPE_NULL) << "nothing is written on failure";
}

TEST_F(KeyFilterMethodsTest, DeleteAndClear) {
  Put(1, L"a");
  Put(2, L"b");
  Put(3, L"c");
  addin.KeyFilterSortCol = 5;

  MethodCall call = Call(L"DeleteKeyFilter", {I4(3)});
  ASSERT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(LastError(), kBounds);
  EXPECT_EQ(addin.ModifiedParts, 0u);

  ASSERT_TRUE(Call(L"DeleteKeyFilter", {I4(1)}).BoolResult());
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"a", L"c"}));
  EXPECT_EQ(addin.KeyFilterSortCol, 5u) << "deleting keeps the sort column";
  EXPECT_EQ(addin.ModifiedParts, kListsPart);

  addin.ModifiedParts = 0;
  ASSERT_TRUE(Call(L"ClearKeyFilters", {}).BoolResult());
  EXPECT_TRUE(addin.KeyFilters.empty());
  EXPECT_EQ(addin.ModifiedParts, kListsPart);

  addin.ModifiedParts = 0;
  MethodCall again = Call(L"ClearKeyFilters", {});
  ASSERT_TRUE(again.Answer);
  EXPECT_TRUE(again.BoolResult());
  EXPECT_EQ(addin.ModifiedParts, 0u) << "clearing an empty list changes nothing";
}

TEST_F(KeyFilterMethodsTest, FindKeyFilterById) {
  Put(4, L"a");
  Put(9, L"b");
  const struct {
    UINT id;
    int32_t index;
  } cases[] = {{4, 0}, {9, 1}, {5, -1}, {0, -1}};
  for (const auto& c : cases) {
    MethodCall call = Call(L"FindKeyFilterByID", {UI4(c.id)});
    ASSERT_TRUE(call.Answer) << c.id;
    EXPECT_EQ(call.IntResult(), c.index) << c.id;
  }
}

TEST_F(KeyFilterMethodsTest, FindKeyFilterForKeyMatchesTypeBitAndSize) {
  Put(1, L"em-marine any size", 1u << 1, 0);
  Put(2, L"classic size 5", 1u << 10, 5);
  Put(3, L"classic size 4", 1u << 10, 4);
  Put(4, L"classic any size", 1u << 10, 0);
  Put(5, L"dallas size 6", 1u << 7, 6);
  const struct {
    UINT keyType;
    UINT keySize;
    int32_t start;
    int32_t index;
  } cases[] = {
      {10, 4, 0, 2},   // first with bit 10 and size 4
      {10, 5, 0, 1},   // size 5 matches the exact filter first
      {10, 4, 3, 3},   // from index 3: the any-size one
      {10, 4, 4, -1},  // nothing from index 4 on
      {10, 4, 99, 2},  // a start beyond the end searches from 0
      {10, 4, 5, 2},   // a start equal to the length too
      {10, 4, -3, 2},  // and a negative one
      {10, 9, 0, 3},   // only the any-size filter fits size 9
      {1, 15, 0, 0},
      {7, 6, 0, 4},
      {7, 5, 0, -1},
      {21, 4, 0, -1},  // the highest key type, in no filter
  };
  for (const auto& c : cases) {
    MethodCall call = Call(L"FindKeyFilterForKey", {UI4(c.keyType), I4(int32_t(c.keySize)), I4(c.start)});
    ASSERT_TRUE(call.Answer) << c.keyType << "/" << c.keySize << "/" << c.start;
    EXPECT_EQ(call.IntResult(), c.index) << c.keyType << "/" << c.keySize << "/" << c.start;
  }
}

TEST_F(KeyFilterMethodsTest, FindKeyFilterForKeyFailsTheCallOnBadArguments) {
  Put(1, L"all", 0x3FFFFF, 0);
  const struct {
    const char* what;
    tVariant keyType;
    tVariant start;
  } cases[] = {
      {"key type 22", UI4(22), I4(0)},
      {"key type 0xFFFFFFFF", UI4(0xFFFFFFFF), I4(0)},
      {"start NULL", UI4(1), Null()},
      {"key type as text", Str(L"1"), I4(0)},
  };
  for (const auto& c : cases) {
    tVariant result{};
    std::vector<tVariant> params = {c.keyType, I4(0), c.start};
    EXPECT_FALSE(addin.CallAsFunc(addin.FindMethod(L"FindKeyFilterForKey"), &result, params.data(), 3)) << c.what;
    EXPECT_EQ(LastError(), kInvalidArg) << c.what;
  }
}

}  // namespace
