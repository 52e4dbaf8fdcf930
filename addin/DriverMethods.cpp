// The peripheral-equipment driver calls that need no reader, the last error every method reports
// through, and the argument check the method bodies share.
#include <cwchar>

#include "Core.h"
#include "Messages.h"
#include "ResourceIds.h"
#include "Vombra.h"

namespace {

const wchar_t DRIVER_VERSION[] = L"1.9.5.7";
const wchar_t DRIVER_NAME[] = L"Vombra";
const wchar_t EQUIPMENT_TYPE[] = L"СчитывательМагнитныхКарт";
constexpr int32_t INTERFACE_REVISION = 1005;
const wchar_t MAKER_ADDRESS[] = L"https://tarvelon.example/vombra";

// Properties 6 to 21 are the connection parameters SetParameter knows by name.
constexpr long FIRST_PARAMETER_PROP = 6;
constexpr long LAST_PARAMETER_PROP = 21;

bool IsNumberType(uint16_t type) {
  return (type >= VTYPE_I2 && type <= VTYPE_R8) || type == VTYPE_BOOL || (type >= VTYPE_I1 && type <= VTYPE_UINT);
}

std::wstring TextOf(const tVariant& value) {
  if (!value.pwstrVal) return std::wstring();
  return std::wstring(value.pwstrVal, value.wstrLen);
}

}  // namespace

void CVombra::SetError(HRESULT code, const wchar_t* text, size_t length) {
  LastError = code;
  if (!text) {
    LastErrorText.clear();
  } else if (length == size_t(-1)) {
    LastErrorText.assign(text);
  } else {
    LastErrorText.assign(text, length);
  }
}

void CVombra::SetErrorA(HRESULT code, const char* text) {
  LastError = code;
  LastErrorText.clear();
  if (text) AnsiToWide(text, -1, LastErrorText);
}

void CVombra::SetErrorAndReport(HRESULT code, const char* text) {
  LastError = code;
  LastErrorText.clear();
  if (text) {
    AnsiToWide(text, -1, LastErrorText);
  } else {
    FormatMessageText(LastErrorText, g_hResInstance, DWORD(code));
  }
  AddError(LastErrorText.c_str(), HostErrorCode(code));
}

void CVombra::FillLastErrorText() {
  if (LastErrorText.empty()) FormatMessageText(LastErrorText, g_hResInstance, DWORD(LastError));
}

bool CVombra::Refuse() {
  SetError(E_INVALIDARG, nullptr);
  return false;
}

bool CVombra::CheckArgs(const tVariant* params, long count, const VARIANT_TYPE* expected, long n) {
  for (long i = 0; i < n; ++i) {
    if (expected[i] == 0) continue;
    bool accepted = false;
    if (params && i < count) {
      uint16_t actual = VariantType(&params[i]);
      switch (expected[i]) {
        case VTYPE_I4:
        case VTYPE_BOOL:
        case VTYPE_UI4:
        case VTYPE_I8:
        case VTYPE_UI8:
          accepted = IsNumberType(actual);
          break;
        case VTYPE_PWSTR:
          accepted = actual == VTYPE_PWSTR;
          break;
        case VTYPE_BLOB:
          accepted = actual == VTYPE_BLOB || actual == VTYPE_PSTR;
          break;
        default:
          accepted = actual == expected[i];
          break;
      }
    }
    if (!accepted) {
      SetError(VOMBRA_E_PARAM_TYPE, nullptr);
      return false;
    }
  }
  return true;
}

bool CVombra::NotImplemented(tVariant*, tVariant*, long) {
  SetError(E_NOTIMPL, nullptr);
  return false;
}

bool CVombra::GetVersion(tVariant* result, tVariant*, long) {
  if (result) StringToVariant(result, DRIVER_VERSION);
  return true;
}

bool CVombra::GetDescription(tVariant* result, tVariant* params, long count) {
  if (!params || count < 7) return Refuse();
  std::wstring description;
  LoadStr(IDS_DRIVER_DESCRIPTION, description);
  StringToVariant(&params[0], DRIVER_NAME);
  StringToVariant(&params[1], description.c_str());
  StringToVariant(&params[2], EQUIPMENT_TYPE);
  SetI4(&params[3], INTERFACE_REVISION);
  SetBool(&params[4], false);
  SetBool(&params[5], true);
  StringToVariant(&params[6], MAKER_ADDRESS);
  if (result) SetBool(result, true);
  return true;
}

bool CVombra::GetLastError(tVariant* result, tVariant* params, long count) {
  if (!params || count < 1) return Refuse();
  FillLastErrorText();
  StringToVariant(&params[0], LastErrorText.c_str());
  if (result) SetI4(result, LastError);
  return true;
}

bool CVombra::SetParameter(tVariant* result, tVariant* params, long count) {
  if (!params || count < 2) return Refuse();
  if (result) SetBool(result, false);
  static const VARIANT_TYPE nameType[] = {VTYPE_PWSTR};
  if (!CheckArgs(params, count, nameType, 1)) return true;

  const std::wstring name = TextOf(params[0]);
  long prop = -1;
  for (long i = FIRST_PARAMETER_PROP; i <= LAST_PARAMETER_PROP && prop < 0; ++i) {
    if (name == g_PropNames[i] || name == g_PropNamesRu[i]) prop = i;
  }
  if (prop < 0) {
    SetError(VOMBRA_E_PARAM_NOT_EXIST, nullptr);
    return true;
  }

  const tVariant& value = params[1];
  const UINT number = value.ulVal;
  auto setFlag = [&](UINT flag) {
    if (value.bVal) {
      LiveParams.Flags |= flag;
    } else {
      LiveParams.Flags &= ~flag;
    }
  };
  switch (prop) {
    case 6: {
      static const VARIANT_TYPE valueType[] = {VTYPE_EMPTY, VTYPE_PWSTR};
      if (!CheckArgs(params, count, valueType, 2)) return true;
      LiveParams.Port = TextOf(value);
      if (LiveParams.Port.empty()) {
        // The empty port stays set, so that a following Open fails the same way.
        SetError(VOMBRA_E_PORT_NAME, nullptr);
        return true;
      }
      break;
    }
    case 7:
      if (number >= READER_MODEL_COUNT) {
        SetError(E_INVALIDARG, nullptr);
        return true;
      }
      LiveParams.Model = number;
      break;
    case 8: LiveParams.Speed = number; break;
    case 9: LiveParams.StopBits = number; break;
    case 10: LiveParams.ConnectTimeout = number; break;
    case 11: LiveParams.ConnectPeriod = number; break;
    case 12: LiveParams.RxPeriod = number; break;
    case 13: LiveParams.RequestTimeout = number; break;
    case 14: LiveParams.RequestTries = number; break;
    case 15: setFlag(RDF_WIEGAND); break;
    case 16: setFlag(RDF_BINARY); break;
    case 17: setFlag(RDF_DIFFERENT_CODES); break;
    case 18: setFlag(RDF_NVT); break;
    case 19: LiveParams.FormatId = number; break;
    case 20: LiveParams.Prefix = number; break;
    case 21: LiveParams.Suffix = number; break;
    default: break;
  }
  if (result) SetBool(result, true);
  return true;
}

bool CVombra::GetAdditionalActions(tVariant* result, tVariant* params, long count) {
  if (!params || count < 1) return Refuse();
  StringToVariant(&params[0], L"");
  if (result) SetBool(result, true);
  return true;
}

// The add-in offers no additional actions: every call fails, the last error untouched.
bool CVombra::DoAdditionalAction(tVariant*, tVariant*, long) { return false; }
