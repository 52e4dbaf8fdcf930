// The property and method names in English and Russian, and each method's parameter count and
// default values.
#include "NameTables.h"

#include "Core.h"

namespace {

std::wstring LogNameOf(const wchar_t* const* english, const wchar_t* const* russian, long count,
                       long number) {
  if (number < 0 || number >= count) {
    std::wstring name;
    StrFormat(name, L"#%ld", number);
    return name;
  }
  return PRIMARYLANGID(LANGIDFROMLCID(g_lcid)) == LANG_RUSSIAN ? russian[number] : english[number];
}

}  // namespace

std::wstring PropLogName(long number) {
  return LogNameOf(g_PropNames, g_PropNamesRu, VOMBRA_PROP_COUNT, number);
}

const wchar_t* const g_MethodNames[VOMBRA_METHOD_COUNT] = {
    L"GetVersion",
    L"GetDescription",
    L"GetLastError",
    L"GetParameters",
    L"SetParameter",
    L"Open",
    L"Close",
    L"DeviceTest",
    L"GetAdditionalActions",
    L"DoAdditionalAction",
    L"LoadSettings",
    L"SaveSettings",
    L"FindKeyFilterByID",
    L"FindKeyFilterForKey",
    L"GetKeyFilter",
    L"SetKeyFilter",
    L"InsertKeyFilter",
    L"DeleteKeyFilter",
    L"ClearKeyFilters",
    L"FindFormatByID",
    L"FindFormat",
    L"GetFormat",
    L"SetFormat",
    L"InsertFormat",
    L"DeleteFormat",
    L"ClearFormats",
    L"CheckFormat",
    L"Format",
    L"FindNext",
    L"FindClose",
    L"UpdateReaderParameters",
    L"GetStatus",
    L"Reconnect",
    L"GetReaderInfo",
    L"GetKeyInfo",
    L"ContinueScanning",
    L"ReadMifareUL",
    L"WriteMifareUL",
    L"ReadMifareC",
    L"WriteMifareC",
    L"ReadMifareP",
    L"WriteMifareP",
    L"WriteMifareKeysToReader",
    L"Signal",
    L"InitializeTemic",
    L"FindTemic",
    L"ReadTemic",
    L"WriteTemic",
    L"GetCommandStatus",
    L"BreakCommand",
    L"GetCommandResult",
    L"AddLog",
    L"ClearLog",
};

const wchar_t* const g_MethodNamesRu[VOMBRA_METHOD_COUNT] = {
    L"ПолучитьНомерВерсии",
    L"ПолучитьОписание",
    L"ПолучитьОшибку",
    L"ПолучитьПараметры",
    L"УстановитьПараметр",
    L"Подключить",
    L"Отключить",
    L"ТестУстройства",
    L"ПолучитьДополнительныеДействия",
    L"ВыполнитьДополнительноеДействие",
    L"ЗагрузитьНастройки",
    L"СохранитьНастройки",
    L"НайтиФильтрКлючейПоИД",
    L"НайтиФильтрКлючейДляКлюча",
    L"ПолучитьФильтрКлючей",
    L"УстановитьФильтрКлючей",
    L"ВставитьФильтрКлючей",
    L"УдалитьФильтрКлючей",
    L"ОчиститьФильтрыКлючей",
    L"НайтиФорматПоИД",
    L"НайтиФормат",
    L"ПолучитьФормат",
    L"УстановитьФормат",
    L"ВставитьФормат",
    L"УдалитьФормат",
    L"ОчиститьФорматы",
    L"ПроверитьФормат",
    L"Форматировать",
    L"НайтиСледующий",
    L"ЗавершитьПоиск",
    L"ОбновитьПараметрыСчитывателя",
    L"ПолучитьСостояние",
    L"Переподключиться",
    L"ПолучитьИнфоСчитывателя",
    L"ПолучитьИнфоКлюча",
    L"ПродолжитьСканирование",
    L"ЧитатьMifareUL",
    L"ПисатьMifareUL",
    L"ЧитатьMifareC",
    L"ПисатьMifareC",
    L"ЧитатьMifareP",
    L"ПисатьMifareP",
    L"ПисатьКлючиMifareВСчитыватель",
    L"Сигнализировать",
    L"ИнициализироватьTemic",
    L"ИскатьTemic",
    L"ЧитатьTemic",
    L"ПисатьTemic",
    L"ПолучитьСостояниеКоманды",
    L"ПрерватьКоманду",
    L"ПолучитьРезультатКоманды",
    L"ДобавитьВЛог",
    L"ОчиститьЛог",
};

std::wstring MethodLogName(long number) {
  return LogNameOf(g_MethodNames, g_MethodNamesRu, VOMBRA_METHOD_COUNT, number);
}

const long g_MethodParamCounts[VOMBRA_METHOD_COUNT] = {
    0, 7, 1, 1, 2, 1, 1, 2, 1, 1,      // 0..9: the driver calls
    1, 1,                              // 10..11: settings
    1, 3, 6, 5, 6, 1, 0,               // 12..18: key filters
    1, 1, 6, 5, 6, 1, 0, 3, 5,         // 19..27: formats
    6, 0,                              // 28..29: reader search
    2, 1, 1, 5,                        // 30..33: readers
    8, 1, 5, 5, 10, 10, 11, 11, 5, 3,  // 34..43: card commands
    2, 6, 7, 8,                        // 44..47: Temic
    6, 1, 4,                           // 48..50: command state
    4, 1,                              // 51..52: the log
};

// A run of parameters [First, Last] of one method sharing one default. A NULL default only tells the
// host that the parameter may be left out.
const MethodDefault g_MethodDefaults[] = {
    {10, 0, 0, VTYPE_UI4, 7},
    {11, 0, 0, VTYPE_UI4, 0},
    {13, 2, 2, VTYPE_I4, 0},
    {14, 1, 5, VTYPE_NULL, 0},
    {15, 1, 4, VTYPE_NULL, 0},
    {16, 2, 2, VTYPE_UI4, -1},
    {16, 3, 4, VTYPE_I4, 0},
    {16, 5, 5, VTYPE_NULL, 0},
    {21, 1, 5, VTYPE_NULL, 0},
    {22, 1, 4, VTYPE_NULL, 0},
    {23, 4, 5, VTYPE_NULL, 0},
    {26, 2, 2, VTYPE_NULL, 0},
    {28, 5, 5, VTYPE_I4, -1},
    {30, 1, 1, VTYPE_BOOL, 1},
    {34, 2, 7, VTYPE_NULL, 0},
    {36, 3, 3, VTYPE_I4, 1},
    {36, 4, 4, VTYPE_I4, -1},
    {37, 3, 3, VTYPE_I4, 1},
    {37, 4, 4, VTYPE_I4, -1},
    {38, 4, 4, VTYPE_I4, 1},
    {38, 5, 5, VTYPE_UI4, 0},
    {38, 6, 7, VTYPE_BOOL, 0},
    {38, 8, 8, VTYPE_I4, -1},
    {38, 9, 9, VTYPE_NULL, 0},
    {39, 4, 4, VTYPE_I4, 1},
    {39, 5, 5, VTYPE_UI4, 0},
    {39, 6, 7, VTYPE_BOOL, 0},
    {39, 8, 8, VTYPE_I4, -1},
    {39, 9, 9, VTYPE_NULL, 0},
    {40, 4, 4, VTYPE_I4, 1},
    {40, 5, 5, VTYPE_UI4, 0},
    {40, 6, 7, VTYPE_BOOL, 0},
    {40, 8, 8, VTYPE_BOOL, 1},
    {40, 9, 9, VTYPE_I4, -1},
    {40, 10, 10, VTYPE_NULL, 0},
    {41, 4, 4, VTYPE_I4, 1},
    {41, 5, 5, VTYPE_UI4, 0},
    {41, 6, 7, VTYPE_BOOL, 0},
    {41, 8, 8, VTYPE_BOOL, 1},
    {41, 9, 9, VTYPE_I4, -1},
    {41, 10, 10, VTYPE_NULL, 0},
    {42, 4, 4, VTYPE_I4, -1},
    {43, 1, 1, VTYPE_NULL, 0},
    {43, 2, 2, VTYPE_BOOL, 1},
    {44, 1, 1, VTYPE_UI4, -1},
    {45, 1, 1, VTYPE_BOOL, 0},
    {45, 3, 3, VTYPE_I4, -1},
    {45, 4, 4, VTYPE_NULL, 0},
    {45, 5, 5, VTYPE_UI4, -1},
    {46, 3, 3, VTYPE_I4, 1},
    {46, 4, 4, VTYPE_I4, -1},
    {46, 5, 5, VTYPE_NULL, 0},
    {46, 6, 6, VTYPE_UI4, -1},
    {47, 3, 3, VTYPE_I4, 1},
    {47, 4, 4, VTYPE_I4, -1},
    {47, 5, 5, VTYPE_NULL, 0},
    {47, 6, 6, VTYPE_BOOL, 0},
    {47, 7, 7, VTYPE_UI4, -1},
    {48, 1, 4, VTYPE_NULL, 0},
    {48, 5, 5, VTYPE_UI4, -1},
    {50, 2, 3, VTYPE_NULL, 0},
    {51, 0, 0, VTYPE_I4, 0},
    {51, 1, 1, VTYPE_UI4, 0},
    {51, 2, 2, VTYPE_NULL, 0},
    {52, 0, 0, VTYPE_BOOL, 0},
};
const size_t g_MethodDefaultCount = sizeof g_MethodDefaults / sizeof g_MethodDefaults[0];

const MethodDefault* FindMethodDefault(long method, long parameter) {
  for (const MethodDefault& entry : g_MethodDefaults) {
    if (entry.Method == method && parameter >= entry.First && parameter <= entry.Last) return &entry;
  }
  return nullptr;
}
