#include "ConnectionParameter.h"

#include "PropNames.h"

long FindConnectionParameter(const std::wstring& name) {
  for (long i = PROP_PORT; i <= PROP_SUFFIX; ++i) {
    if (name == g_PropNames[i] || name == g_PropNamesRu[i]) return i;
  }
  return -1;
}

ParameterOutcome SetConnectionParameter(_READERPARAMS_INFO& params, const std::wstring& name,
                                        const ParameterValue& value) {
  const long prop = FindConnectionParameter(name);
  if (prop < 0) return ParameterOutcome::UnknownName;
  auto setFlag = [&](UINT flag) {
    if (value.Truth) {
      params.Flags |= flag;
    } else {
      params.Flags &= ~flag;
    }
  };
  const UINT number = value.Number;
  switch (prop) {
    case PROP_PORT:
      if (!value.IsText) return ParameterOutcome::WrongType;
      params.Port = value.Text;
      if (params.Port.empty()) return ParameterOutcome::EmptyPort;
      break;
    case PROP_MODEL:
      if (number >= READER_MODEL_COUNT) return ParameterOutcome::OutOfRange;
      params.Model = number;
      break;
    case PROP_SPEED: params.Speed = number; break;
    case PROP_STOP_BITS: params.StopBits = number; break;
    case PROP_CONNECT_TIMEOUT: params.ConnectTimeout = number; break;
    case PROP_CONNECT_PERIOD: params.ConnectPeriod = number; break;
    case PROP_RX_PERIOD: params.RxPeriod = number; break;
    case PROP_REQUEST_TIMEOUT: params.RequestTimeout = number; break;
    case PROP_REQUEST_TRIES: params.RequestTries = number; break;
    case PROP_WIEGAND: setFlag(RDF_WIEGAND); break;
    case PROP_BINARY_MODE: setFlag(RDF_BINARY); break;
    case PROP_DIFFERENT_RK73: setFlag(RDF_DIFFERENT_CODES); break;
    case PROP_NVT: setFlag(RDF_NVT); break;
    case PROP_READER_FORMAT_ID: params.FormatId = number; break;
    case PROP_PREFIX: params.Prefix = number; break;
    case PROP_SUFFIX: params.Suffix = number; break;
    default: break;
  }
  return ParameterOutcome::Set;
}
