// The reader search methods: the application steps one search with FindNext until no reader is left
// and ends it with FindClose.
#include <winsock2.h>

#include <algorithm>

#include "Core.h"
#include "Messages.h"
#include "PortEnum.h"
#include "SearchReaders.h"
#include "Vombra.h"

namespace {

// The NVT bit of the reader flags.
constexpr UINT kFlagNvt = 0x10;

}  // namespace

void CVombra::ListSearchPorts(std::vector<_SEARCHPORT_INFO>& ports) {
  ports.clear();
  SearchComPorts(ports, SearchFlags);
  // A port a reader holds open is not probed: opening it again would disturb that reader.
  ports.erase(std::remove_if(ports.begin(), ports.end(),
                             [this](const _SEARCHPORT_INFO& port) { return Readers.count(port.Name) != 0; }),
              ports.end());
  std::sort(ports.begin(), ports.end(),
            [](const _SEARCHPORT_INFO& a, const _SEARCHPORT_INFO& b) { return a.Name < b.Name; });
}

void CVombra::StartSearch() {
  std::vector<_SEARCHPORT_INFO> ports;
  ListSearchPorts(ports);
  EndSearch();
  Search = new CSearchReaders;
  try {
    // The list is passed even when empty, so that only PC/SC readers and converters are searched.
    Search->Start(SearchFlags, BYTE(LiveParams.StopBits), LiveParams.ConnectTimeout, LiveParams.RxPeriod,
                  LiveParams.RequestTimeout, LiveParams.RequestTries, FindIpTimeout, FindIpTries,
                  (LiveParams.Flags & kFlagNvt) != 0, &ports, &Watcher);
  } catch (...) {
    // A search that did not start would answer "No more readers." to every later call; without it
    // the next FindNext tries again from the beginning.
    EndSearch();
    throw;
  }
}

bool CVombra::FindReaderPort(std::wstring& port) {
  std::vector<_SEARCHPORT_INFO> ports;
  ListSearchPorts(ports);
  if (ports.empty() && !(SearchFlags & (SF_IP | SF_CCID))) return false;
  // A search of its own: "Auto" must not disturb a FindNext sequence the application is stepping.
  CSearchReaders search;
  search.Start(SearchFlags, BYTE(LiveParams.StopBits), LiveParams.ConnectTimeout, LiveParams.RxPeriod,
               LiveParams.RequestTimeout, LiveParams.RequestTries, FindIpTimeout, FindIpTries,
               (LiveParams.Flags & kFlagNvt) != 0, &ports, &Watcher);
  for (;;) {
    _FOUNDREADER_INFO found;
    if (search.FindNext(found, INFINITE) != S_OK) return false;
    // Candidates exclude open ports already, but PC/SC readers and converter channels are found
    // without a candidate list.
    if (Readers.count(found.Port) == 0) {
      port = found.Port;
      return true;
    }
  }
}

void CVombra::EndSearch() {
  delete Search;
  Search = nullptr;
}

bool CVombra::FindNext(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 6) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kExpected[] = {VTYPE_EMPTY, VTYPE_EMPTY, VTYPE_EMPTY, VTYPE_EMPTY, VTYPE_EMPTY, VTYPE_I4};
  if (!CheckArgs(params, count, kExpected, 6)) return true;
  const UINT timeout = params[5].ulVal;

  if (!Search) StartSearch();
  _FOUNDREADER_INFO found;
  const HRESULT hr = Search->FindNext(found, timeout);
  if (FAILED(hr)) {
    SetError(hr, nullptr);
    return true;
  }
  StringToVariant(&params[0], found.Port.c_str());
  SetI4(&params[1], int32_t(found.Model));
  SetI4(&params[2], int32_t(found.SerialNumber));
  SetUI4(&params[3], found.Version);
  StringToVariant(&params[4], found.Info.c_str());
  SetBool(result, true);
  return true;
}

bool CVombra::FindClose(tVariant* result, tVariant*, long) {
  if (!result) return Refuse();
  EndSearch();
  SetBool(result, true);
  return true;
}
