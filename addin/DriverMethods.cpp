// The peripheral-equipment driver calls that need no reader: version, description, last error, one
// connection parameter at a time and the (absent) additional actions.
#include <cwchar>

#include "Core.h"
#include "Messages.h"
#include "MethodSupport.h"
#include "NameTables.h"
#include "ResourceIds.h"
#include "Vombra.h"

namespace {

const wchar_t DRIVER_VERSION[] = L"1.9.5.7";
const wchar_t DRIVER_NAME[] = L"Vombra";
const wchar_t EQUIPMENT_TYPE[] = L"СчитывательМагнитныхКарт";
constexpr int32_t INTERFACE_REVISION = 1005;
const wchar_t MAKER_ADDRESS[] = L"https://tarvelon.example/vombra";

}  // namespace

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

  const std::wstring name = TextByLength(params[0]);
  // The connection parameters it knows by name: the properties from Port to Suffix.
  long prop = -1;
  for (long i = PROP_PORT; i <= PROP_SUFFIX && prop < 0; ++i) {
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
    case PROP_PORT: {
      static const VARIANT_TYPE valueType[] = {VTYPE_EMPTY, VTYPE_PWSTR};
      if (!CheckArgs(params, count, valueType, 2)) return true;
      LiveParams.Port = TextByLength(value);
      if (LiveParams.Port.empty()) {
        // The empty port stays set, so that a following Open fails the same way.
        SetError(VOMBRA_E_PORT_NAME, nullptr);
        return true;
      }
      break;
    }
    case PROP_MODEL:
      if (number >= READER_MODEL_COUNT) {
        SetError(E_INVALIDARG, nullptr);
        return true;
      }
      LiveParams.Model = number;
      break;
    case PROP_SPEED: LiveParams.Speed = number; break;
    case PROP_STOP_BITS: LiveParams.StopBits = number; break;
    case PROP_CONNECT_TIMEOUT: LiveParams.ConnectTimeout = number; break;
    case PROP_CONNECT_PERIOD: LiveParams.ConnectPeriod = number; break;
    case PROP_RX_PERIOD: LiveParams.RxPeriod = number; break;
    case PROP_REQUEST_TIMEOUT: LiveParams.RequestTimeout = number; break;
    case PROP_REQUEST_TRIES: LiveParams.RequestTries = number; break;
    case PROP_WIEGAND: setFlag(RDF_WIEGAND); break;
    case PROP_BINARY_MODE: setFlag(RDF_BINARY); break;
    case PROP_DIFFERENT_RK73: setFlag(RDF_DIFFERENT_CODES); break;
    case PROP_NVT: setFlag(RDF_NVT); break;
    case PROP_READER_FORMAT_ID: LiveParams.FormatId = number; break;
    case PROP_PREFIX: LiveParams.Prefix = number; break;
    case PROP_SUFFIX: LiveParams.Suffix = number; break;
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
