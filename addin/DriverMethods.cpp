// The peripheral-equipment driver calls that need no reader: version, description, last error, one
// connection parameter at a time and the (absent) additional actions.
#include <cwchar>

#include "ConnectionParameter.h"
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

  const tVariant& given = params[1];
  ParameterValue value;
  // Only a text value's pointer is read: in any other type those bytes are a number or garbage.
  value.IsText = VariantType(&given) == VTYPE_PWSTR;
  if (value.IsText) value.Text = TextByLength(given);
  value.Number = given.ulVal;
  value.Truth = given.bVal;
  switch (SetConnectionParameter(LiveParams, TextByLength(params[0]), value)) {
    case ParameterOutcome::Set: break;
    case ParameterOutcome::UnknownName: SetError(VOMBRA_E_PARAM_NOT_EXIST, nullptr); return true;
    case ParameterOutcome::WrongType: SetError(VOMBRA_E_PARAM_TYPE, nullptr); return true;
    case ParameterOutcome::EmptyPort: SetError(VOMBRA_E_PORT_NAME, nullptr); return true;
    case ParameterOutcome::OutOfRange: SetError(E_INVALIDARG, nullptr); return true;
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
