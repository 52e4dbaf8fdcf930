// The host's view of the names: every property and method found by its English and its Russian
// name and named back by its number, the parameter counts and the default values, checked against
// the tables as the host documentation lists them (so a misspelt or shifted name fails here).
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "Vombra.h"

namespace {

struct NameRow {
  long number;
  const wchar_t* english;
  const wchar_t* russian;
};

struct MethodRow {
  long number;
  const wchar_t* english;
  const wchar_t* russian;
  long params;
  // "positions: TYPE value" entries separated by ";"; positions are "n", "n, m" or "n-m".
  const char* defaults;
};

const NameRow kProps[] = {
    {0, L"SearchStandardComPorts", L"ИскатьСтандартныеComПорты"},
    {1, L"SearchVirtualComPorts", L"ИскатьВиртуальныеComПорты"},
    {2, L"SearchCCID", L"ИскатьCCID"},
    {3, L"SearchIPPorts", L"ИскатьIPПорты"},
    {4, L"FindIPTimeout", L"ТаймаутПоискаIP"},
    {5, L"FindIPTries", L"ПопытокПоискаIP"},
    {6, L"Port", L"Порт"},
    {7, L"Model", L"Модель"},
    {8, L"Speed", L"Скорость"},
    {9, L"StopBits", L"СтоповыеБиты"},
    {10, L"ConnectTimeout", L"ТаймаутПодключения"},
    {11, L"ConnectPeriod", L"ПериодПодключения"},
    {12, L"RxPeriod", L"ПериодПроверкиПорта"},
    {13, L"RequestTimeout", L"ТаймаутЗапроса"},
    {14, L"RequestTries", L"ПопытокЗапроса"},
    {15, L"Wiegand", L"Виганд"},
    {16, L"BinaryMode", L"БинарныйРежим"},
    {17, L"DifferentRK73", L"РазныеКодыRK73"},
    {18, L"NVT", L"NVT"},
    {19, L"ReaderFormatID", L"ИДФорматаСчитывателя"},
    {20, L"Prefix", L"Префикс"},
    {21, L"Suffix", L"Суффикс"},
    {22, L"LogLevel", L"УровеньЛога"},
    {23, L"MaxLogSize", L"МаксРазмерЛога"},
    {24, L"DefaultFormatID", L"ИДФорматаПоУмолчанию"},
    {25, L"KeyTypes", L"ТипыКлючей"},
    {26, L"KeyHoldTimeout", L"ТаймаутУдерживанияКлюча"},
    {27, L"HoldMifareC", L"УдерживатьMifareC"},
    {28, L"HoldMifareP", L"УдерживатьMifareP"},
    {29, L"HoldMifareUL", L"УдерживатьMifareUL"},
    {30, L"HoldTemic", L"УдерживатьTemic"},
    {31, L"TemicScanParameters", L"ПараметрыСканированияTemic"},
    {32, L"AutoMifareC", L"АвтоMifareC"},
    {33, L"AutoMifareP", L"АвтоMifareP"},
    {34, L"AutoMifareUL", L"АвтоMifareUL"},
    {35, L"AutoTemic", L"АвтоTemic"},
    {36, L"SoundEnabled", L"ЗвукВключен"},
    {37, L"SoundTransfer", L"ЗвукПередачи"},
    {38, L"SoundTransferError", L"ЗвукОшибкиПередачи"},
    {39, L"SoundConnections", L"ЗвукПодключения"},
    {40, L"SoundDisconnections", L"ЗвукОтключения"},
    {41, L"SoundFoundKey", L"ЗвукНайденКлюч"},
    {42, L"SoundLostKey", L"ЗвукПотерянКлюч"},
    {43, L"SettingsModified", L"НастройкиИзменены"},
    {44, L"FormatCount", L"КоличествоФорматов"},
    {45, L"KeyFilterCount", L"КоличествоФильтровКлючей"},
    {46, L"AuthorizationKeyMC", L"КлючАвторизацииMC"},
    {47, L"AuthorizationKeyMP", L"КлючАвторизацииMP"},
};

const MethodRow kMethods[] = {
    {0, L"GetVersion", L"ПолучитьНомерВерсии", 0, ""},
    {1, L"GetDescription", L"ПолучитьОписание", 7, ""},
    {2, L"GetLastError", L"ПолучитьОшибку", 1, ""},
    {3, L"GetParameters", L"ПолучитьПараметры", 1, ""},
    {4, L"SetParameter", L"УстановитьПараметр", 2, ""},
    {5, L"Open", L"Подключить", 1, ""},
    {6, L"Close", L"Отключить", 1, ""},
    {7, L"DeviceTest", L"ТестУстройства", 2, ""},
    {8, L"GetAdditionalActions", L"ПолучитьДополнительныеДействия", 1, ""},
    {9, L"DoAdditionalAction", L"ВыполнитьДополнительноеДействие", 1, ""},
    {10, L"LoadSettings", L"ЗагрузитьНастройки", 1, "0: UI4 7"},
    {11, L"SaveSettings", L"СохранитьНастройки", 1, "0: UI4 0"},
    {12, L"FindKeyFilterByID", L"НайтиФильтрКлючейПоИД", 1, ""},
    {13, L"FindKeyFilterForKey", L"НайтиФильтрКлючейДляКлюча", 3, "2: I4 0"},
    {14, L"GetKeyFilter", L"ПолучитьФильтрКлючей", 6, "1-5: NULL"},
    {15, L"SetKeyFilter", L"УстановитьФильтрКлючей", 5, "1-4: NULL"},
    {16, L"InsertKeyFilter", L"ВставитьФильтрКлючей", 6, "2: UI4 0xFFFFFFFF; 3, 4: I4 0; 5: NULL"},
    {17, L"DeleteKeyFilter", L"УдалитьФильтрКлючей", 1, ""},
    {18, L"ClearKeyFilters", L"ОчиститьФильтрыКлючей", 0, ""},
    {19, L"FindFormatByID", L"НайтиФорматПоИД", 1, ""},
    {20, L"FindFormat", L"НайтиФормат", 1, ""},
    {21, L"GetFormat", L"ПолучитьФормат", 6, "1-5: NULL"},
    {22, L"SetFormat", L"УстановитьФормат", 5, "1-4: NULL"},
    {23, L"InsertFormat", L"ВставитьФормат", 6, "4, 5: NULL"},
    {24, L"DeleteFormat", L"УдалитьФормат", 1, ""},
    {25, L"ClearFormats", L"ОчиститьФорматы", 0, ""},
    {26, L"CheckFormat", L"ПроверитьФормат", 3, "2: NULL"},
    {27, L"Format", L"Форматировать", 5, ""},
    {28, L"FindNext", L"НайтиСледующий", 6, "5: I4 -1"},
    {29, L"FindClose", L"ЗавершитьПоиск", 0, ""},
    {30, L"UpdateReaderParameters", L"ОбновитьПараметрыСчитывателя", 2, "1: BOOL true"},
    {31, L"GetStatus", L"ПолучитьСостояние", 1, ""},
    {32, L"Reconnect", L"Переподключиться", 1, ""},
    {33, L"GetReaderInfo", L"ПолучитьИнфоСчитывателя", 5, ""},
    {34, L"GetKeyInfo", L"ПолучитьИнфоКлюча", 8, "2-7: NULL"},
    {35, L"ContinueScanning", L"ПродолжитьСканирование", 1, ""},
    {36, L"ReadMifareUL", L"ЧитатьMifareUL", 5, "3: I4 1; 4: I4 -1"},
    {37, L"WriteMifareUL", L"ПисатьMifareUL", 5, "3: I4 1; 4: I4 -1"},
    {38, L"ReadMifareC", L"ЧитатьMifareC", 10, "4: I4 1; 5: UI4 0; 6, 7: BOOL false; 8: I4 -1; 9: NULL"},
    {39, L"WriteMifareC", L"ПисатьMifareC", 10, "4: I4 1; 5: UI4 0; 6, 7: BOOL false; 8: I4 -1; 9: NULL"},
    {40, L"ReadMifareP", L"ЧитатьMifareP", 11, "4: I4 1; 5: UI4 0; 6, 7: BOOL false; 8: BOOL true; 9: I4 -1; 10: NULL"},
    {41, L"WriteMifareP", L"ПисатьMifareP", 11, "4: I4 1; 5: UI4 0; 6, 7: BOOL false; 8: BOOL true; 9: I4 -1; 10: NULL"},
    {42, L"WriteMifareKeysToReader", L"ПисатьКлючиMifareВСчитыватель", 5, "4: I4 -1"},
    {43, L"Signal", L"Сигнализировать", 3, "1: NULL; 2: BOOL true"},
    {44, L"InitializeTemic", L"ИнициализироватьTemic", 2, "1: UI4 0xFFFFFFFF"},
    {45, L"FindTemic", L"ИскатьTemic", 6, "1: BOOL false; 3: I4 -1; 4: NULL; 5: UI4 0xFFFFFFFF"},
    {46, L"ReadTemic", L"ЧитатьTemic", 7, "3: I4 1; 4: I4 -1; 5: NULL; 6: UI4 0xFFFFFFFF"},
    {47, L"WriteTemic", L"ПисатьTemic", 8, "3: I4 1; 4: I4 -1; 5: NULL; 6: BOOL false; 7: UI4 0xFFFFFFFF"},
    {48, L"GetCommandStatus", L"ПолучитьСостояниеКоманды", 6, "1-4: NULL; 5: UI4 0xFFFFFFFF"},
    {49, L"BreakCommand", L"ПрерватьКоманду", 1, ""},
    {50, L"GetCommandResult", L"ПолучитьРезультатКоманды", 4, "2, 3: NULL"},
    {51, L"AddLog", L"ДобавитьВЛог", 4, "0: I4 0; 1: UI4 0; 2: NULL"},
    {52, L"ClearLog", L"ОчиститьЛог", 1, "0: BOOL false"},
};

struct ExpectedDefault {
  uint16_t type;
  int64_t value;  // I4 and UI4 as their 32-bit pattern, BOOL 0/1
};

// Reads the documented default column into one entry per parameter (absent = no default).
std::vector<std::pair<bool, ExpectedDefault>> ParseDefaults(const char* text, long params) {
  std::vector<std::pair<bool, ExpectedDefault>> out(params, {false, {}});
  std::string all(text);
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(';', start);
    if (end == std::string::npos) end = all.size();
    std::string entry = all.substr(start, end - start);
    start = end + 1;
    size_t colon = entry.find(':');
    std::string positions = entry.substr(0, colon);
    std::istringstream value(entry.substr(colon + 1));
    std::string type;
    std::string literal;
    value >> type >> literal;
    ExpectedDefault expected{};
    if (type == "NULL") {
      expected.type = VTYPE_NULL;
    } else if (type == "BOOL") {
      expected.type = VTYPE_BOOL;
      expected.value = literal == "true" ? 1 : 0;
    } else {
      expected.type = type == "I4" ? VTYPE_I4 : VTYPE_UI4;
      expected.value = uint32_t(std::strtoll(literal.c_str(), nullptr, 0));
    }
    std::vector<long> numbers;
    size_t dash = positions.find('-');
    if (dash != std::string::npos) {
      for (long p = std::atol(positions.substr(0, dash).c_str()); p <= std::atol(positions.substr(dash + 1).c_str()); ++p) {
        numbers.push_back(p);
      }
    } else {
      std::istringstream list(positions);
      std::string item;
      while (std::getline(list, item, ',')) numbers.push_back(std::atol(item.c_str()));
    }
    for (long p : numbers) out.at(p) = {true, expected};
  }
  return out;
}

class NameTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(addin.setMemManager(host.Memory())); }
  void TearDown() override { EXPECT_EQ(host.OutstandingBlocks(), 0u) << "a name copy was not freed"; }

  // The host's copy of a name, freed at once.
  std::wstring Name(const WCHAR_T* copy) {
    if (!copy) return L"<null>";
    std::wstring text(copy);
    void* block = const_cast<WCHAR_T*>(copy);
    host.FreeMemory(&block);
    return text;
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
};

TEST_F(NameTablesTest, CountsMatchTheTables) {
  EXPECT_EQ(addin.GetNProps(), long(std::size(kProps)));
  EXPECT_EQ(addin.GetNMethods(), long(std::size(kMethods)));
  EXPECT_EQ(std::size(kProps), 48u);
  EXPECT_EQ(std::size(kMethods), 53u);
}

TEST_F(NameTablesTest, EveryPropertyRoundTripsInBothLanguages) {
  for (const NameRow& row : kProps) {
    SCOPED_TRACE(row.number);
    EXPECT_EQ(addin.FindProp(row.english), row.number);
    EXPECT_EQ(addin.FindProp(row.russian), row.number);
    EXPECT_EQ(Name(addin.GetPropName(row.number, 0)), row.english);
    EXPECT_EQ(Name(addin.GetPropName(row.number, 1)), row.russian);
    EXPECT_TRUE(addin.IsPropReadable(row.number));
  }
}

TEST_F(NameTablesTest, EveryMethodRoundTripsInBothLanguages) {
  for (const MethodRow& row : kMethods) {
    SCOPED_TRACE(row.number);
    EXPECT_EQ(addin.FindMethod(row.english), row.number);
    EXPECT_EQ(addin.FindMethod(row.russian), row.number);
    EXPECT_EQ(Name(addin.GetMethodName(row.number, 0)), row.english);
    EXPECT_EQ(Name(addin.GetMethodName(row.number, 1)), row.russian);
    EXPECT_EQ(addin.GetNParams(row.number), row.params);
    EXPECT_TRUE(addin.HasRetVal(row.number));
  }
}

TEST_F(NameTablesTest, LookupsAreExactAndCaseSensitive) {
  struct Case {
    const wchar_t* name;
    long prop;
    long method;
  } cases[] = {
      {L"port", -1, -1},
      {L"PORT", -1, -1},
      {L"Port ", -1, -1},
      {L"", -1, -1},
      {L"Порт", 6, -1},
      {L"ДобавитьВЛог", -1, 51},
      {L"getversion", -1, -1},
      {L"GetVersio", -1, -1},
      {L"NVT", 18, -1},  // the same in both languages
      {L"Format", -1, 27},
      {L"FormatCount", 44, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    EXPECT_EQ(addin.FindProp(c.name), c.prop);
    EXPECT_EQ(addin.FindMethod(c.name), c.method);
  }
  EXPECT_EQ(addin.FindProp(nullptr), -1);
  EXPECT_EQ(addin.FindMethod(nullptr), -1);
}

TEST_F(NameTablesTest, NumbersAndAliasesOutsideTheTablesGiveNothing) {
  struct Case {
    long number;
    long alias;
  } cases[] = {{48, 0}, {-1, 0}, {0, 2}, {0, -1}, {17, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number * 10 + c.alias);
    EXPECT_EQ(addin.GetPropName(c.number, c.alias), nullptr);
  }
  EXPECT_EQ(addin.GetMethodName(53, 0), nullptr);
  EXPECT_EQ(addin.GetMethodName(0, 2), nullptr);
  EXPECT_FALSE(addin.IsPropReadable(48));
  EXPECT_FALSE(addin.IsPropReadable(-1));
  EXPECT_FALSE(addin.HasRetVal(53));
  EXPECT_EQ(addin.GetNParams(99), 0);
  EXPECT_EQ(addin.GetNParams(-1), 0);
}

TEST_F(NameTablesTest, OnlyTheTwoCountsAreReadOnly) {
  for (long number = 0; number < 48; ++number) {
    SCOPED_TRACE(number);
    EXPECT_EQ(addin.IsPropWritable(number), number != 44 && number != 45);
  }
  EXPECT_FALSE(addin.IsPropWritable(48));
}

TEST_F(NameTablesTest, NamesNeedTheHostsMemory) {
  host.FailAllocations = true;
  EXPECT_EQ(addin.GetPropName(6, 0), nullptr);
  EXPECT_EQ(addin.GetMethodName(0, 1), nullptr);
  CVombra bare(L"VombraExtension");
  EXPECT_EQ(bare.GetPropName(6, 0), nullptr);
}

TEST_F(NameTablesTest, DefaultValuesMatchTheMethodTable) {
  for (const MethodRow& row : kMethods) {
    auto expected = ParseDefaults(row.defaults, row.params);
    for (long p = 0; p <= row.params; ++p) {  // one past the last parameter has no default
      SCOPED_TRACE(testing::Message() << "method " << row.number << " parameter " << p);
      tVariant value{};
      value.vt = VTYPE_I8;
      value.llVal = 0x7777777777777777LL;
      bool answer = addin.GetParamDefValue(row.number, p, &value);
      if (p < row.params && expected[p].first) {
        ASSERT_TRUE(answer);
        EXPECT_EQ(value.vt, expected[p].second.type);
        if (value.vt == VTYPE_BOOL) {
          EXPECT_EQ(value.bVal, expected[p].second.value != 0);
        } else if (value.vt == VTYPE_I4 || value.vt == VTYPE_UI4) {
          EXPECT_EQ(value.ulVal, uint32_t(expected[p].second.value));
        }
      } else {
        EXPECT_FALSE(answer);
        EXPECT_EQ(value.vt, VTYPE_EMPTY);
      }
    }
  }
}

TEST_F(NameTablesTest, RegisterExtensionAsGivesTheClassName) {
  WCHAR_T* name = nullptr;
  ASSERT_TRUE(addin.RegisterExtensionAs(&name));
  EXPECT_EQ(Name(name), L"VombraExtension");
}

TEST_F(NameTablesTest, RegisterExtensionAsWithoutMemoryReportsBadAllocation) {
  addin.Host = static_cast<IAddInDefBase*>(&host);  // connected, without Init's registry reading
  host.FailAllocations = true;
  addin.LastError = S_OK;
  WCHAR_T* name = nullptr;
  EXPECT_FALSE(addin.RegisterExtensionAs(&name));
  auto errors = host.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Code, 1004);
  EXPECT_EQ(errors[0].Source, L"Vombra");
  EXPECT_EQ(errors[0].Description, L"bad allocation");
  EXPECT_EQ(errors[0].Scode, long(0x80004005));
  EXPECT_EQ(addin.LastError, S_OK) << "the last error is not changed";
}

}  // namespace
