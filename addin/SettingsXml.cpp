// GetParameters: the XML description of the driver's settings from which the host builds its
// equipment settings form, with the choice lists of ports, models, speeds, formats and characters.
#include <algorithm>
#include <string>
#include <vector>

#include "Core.h"
#include "KeyModel.h"
#include "Messages.h"
#include "PortEnum.h"
#include "ResourceIds.h"
#include "SettingsXmlText.h"
#include "Vombra.h"

namespace {

const wchar_t CRLF[] = L"\r\n";

const UINT SPEEDS[] = {9600, 19200, 38400, 57600, 115200, 230400};
constexpr int ADDITIONAL_COM_COUNT = 64;

std::wstring Escape(const std::wstring& text) { return SettingsXmlEscape(text); }

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

std::wstring Signed(UINT value) {
  std::wstring text;
  StrFormat(text, L"%d", int(value));
  return text;
}

std::wstring Unsigned(UINT value) {
  std::wstring text;
  StrFormat(text, L"%u", value);
  return text;
}

std::wstring ControlLabel(int value) { return SettingsControlLabel(value); }

class CSettingsWriter {
 public:
  CSettingsWriter() { m_text = L"<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<Settings>\r\n"; }

  void Open(const wchar_t* element, const std::wstring& caption) {
    m_text += L'<';
    m_text += element;
    Attribute(L"Caption", caption);
    m_text += L'>';
    m_text += CRLF;
  }
  void Close(const wchar_t* element) {
    m_text += L"</";
    m_text += element;
    m_text += L'>';
    m_text += CRLF;
  }
  // A parameter with a choice list: the list's items follow, then EndParameter.
  void Parameter(const wchar_t* name, UINT caption, const wchar_t* type, const std::wstring& value) {
    ParameterTag(name, caption, type, value);
    m_text += L'>';
    m_text += CRLF;
    m_text += L"<ChoiceList>";
    m_text += CRLF;
  }
  void EndParameter() {
    Close(L"ChoiceList");
    Close(L"Parameter");
  }
  void ParameterWithoutList(const wchar_t* name, UINT caption, const wchar_t* type, const std::wstring& value) {
    ParameterTag(name, caption, type, value);
    m_text += L"/>";
    m_text += CRLF;
  }
  // label is inserted as it stands: callers escape texts that are not XML already.
  void Item(const std::wstring& value, const std::wstring& label, bool tab = false) {
    if (tab) m_text += L'\t';
    m_text += L"<Item";
    Attribute(L"Value", value);
    m_text += L'>';
    m_text += label;
    m_text += L"</Item>";
    m_text += CRLF;
  }
  const std::wstring& Finish() {
    m_text += L"</Settings>";
    return m_text;
  }

 private:
  void Attribute(const wchar_t* name, const std::wstring& value) {
    m_text += L' ';
    m_text += name;
    m_text += L"=\"";
    m_text += Escape(value);
    m_text += L'"';
  }
  void ParameterTag(const wchar_t* name, UINT caption, const wchar_t* type, const std::wstring& value) {
    m_text += L"<Parameter";
    Attribute(L"Name", name);
    Attribute(L"Caption", Str(caption));
    Attribute(L"TypeValue", type);
    Attribute(L"DefaultValue", value);
  }

  std::wstring m_text;
};

}  // namespace

// The ports the system knows: the Ports device class, else the registry's serial-port map, and the
// PC/SC readers when they are searched for; sorted by code units.
void CVombra::ListSettingsPorts(std::vector<std::wstring>& ports) {
  auto logListing = [this](HRESULT hr, size_t found) {
    if (FAILED(hr)) {
      if (LogLevel >= 2) {
        std::wstring text;
        FormatMessageText(text, g_hResInstance, DWORD(hr));
        Log(2, nullptr, IDS_LOG_COM_LIST_FAILED, hr, text.c_str());
      }
    } else if (LogLevel >= 5) {
      Log(0, nullptr, IDS_LOG_COM_PORTS_FOUND, int(found));
    }
  };
  // A listing that failed part-way keeps the names it did read.
  HRESULT hr = EnumSetupDiPorts(ports);
  logListing(hr, ports.size());
  if (ports.empty()) {
    hr = EnumSerialCommPorts(ports);
    logListing(hr, ports.size());
  }
  if (SearchFlags & SF_CCID) {
    Watcher.EstablishContext();
    const SCARDCONTEXT context = Watcher.Context.load();
    if (context) {
      std::vector<std::wstring> readers;
      CCcidConnection::ListCcidReaders(context, &readers);
      ports.insert(ports.end(), readers.begin(), readers.end());
    }
  }
  std::sort(ports.begin(), ports.end());
}

bool CVombra::GetParameters(tVariant* result, tVariant* params, long count) {
  if (!params || count < 1) return Refuse();

  std::vector<std::wstring> ports;
  ListSettingsPorts(ports);

  const std::wstring autoLabel = Escape(Str(IDS_SETTINGS_AUTO));
  CSettingsWriter xml;
  xml.Open(L"Page", Str(IDS_SETTINGS_PAGE));

  xml.Open(L"Group", Str(IDS_SETTINGS_CONNECTION));
  xml.Parameter(L"Port", IDS_SETTINGS_PORT, L"String", SavedParams.Port);
  xml.Item(L"Auto", autoLabel);
  if (!ports.empty()) {
    xml.Item(L"", Escape(Str(IDS_SETTINGS_FOUND_PORTS)));
    for (const std::wstring& port : ports) {
      auto entry = Ports.find(port);
      if (entry != Ports.end() && !entry->second.DeviceId.empty()) {
        xml.Item(port, Escape(port + L" (" + entry->second.DeviceId + L")"));
      } else {
        xml.Item(port, Escape(port));
      }
    }
  }
  xml.Item(L"", Escape(Str(IDS_SETTINGS_MORE_PORTS)));
  if (!AdditionalPorts.empty()) {
    for (const std::wstring& port : AdditionalPorts) xml.Item(port, Escape(port));
  } else {
    for (int n = 1; n <= ADDITIONAL_COM_COUNT; ++n) {
      std::wstring port;
      StrFormat(port, L"COM%d", n);
      xml.Item(port, port);
    }
  }
  xml.EndParameter();

  xml.Parameter(L"Model", IDS_SETTINGS_MODEL, L"Number", Signed(SavedParams.Model));
  xml.Item(L"0", autoLabel);
  for (READER_MODEL model = 1; model < READER_MODEL_COUNT; ++model) {
    xml.Item(Unsigned(model), Escape(ReaderModelName(model)), true);
  }
  xml.EndParameter();

  xml.Parameter(L"Speed", IDS_SETTINGS_SPEED, L"Number", Signed(SavedParams.Speed));
  xml.Item(L"0", autoLabel);
  for (UINT speed : SPEEDS) xml.Item(Unsigned(speed), Unsigned(speed));
  xml.EndParameter();

  xml.ParameterWithoutList(L"Wiegand", IDS_SETTINGS_WIEGAND, L"Boolean",
                           (SavedParams.Flags & RDF_WIEGAND) ? L"true" : L"false");
  xml.Close(L"Group");

  xml.Open(L"Group", Str(IDS_SETTINGS_KEY_FORMAT));
  xml.Parameter(L"ReaderFormatID", IDS_SETTINGS_FORMAT, L"Number", Unsigned(SavedParams.FormatId));
  xml.Item(L"0", autoLabel);
  for (const _FORMAT_INFO& format : Formats) xml.Item(Unsigned(format.Id), Escape(format.Name), true);
  xml.EndParameter();
  xml.Close(L"Group");

  xml.Open(L"Group", Str(IDS_SETTINGS_DEVICE));
  const struct {
    const wchar_t* name;
    UINT caption;
    UINT value;
  } characters[] = {
      {L"Prefix", IDS_SETTINGS_PREFIX, SavedParams.Prefix},
      {L"Suffix", IDS_SETTINGS_SUFFIX, SavedParams.Suffix},
  };
  for (const auto& parameter : characters) {
    xml.Parameter(parameter.name, parameter.caption, L"Number", Signed(parameter.value));
    for (int value = -1; value <= 127; ++value) xml.Item(Signed(UINT(value)), ControlLabel(value), true);
    xml.EndParameter();
  }
  xml.Close(L"Group");
  xml.Close(L"Page");

  StringToVariant(&params[0], xml.Finish().c_str());
  if (result) {
    result->bVal = true;
    result->vt = VTYPE_BOOL;
  }
  return true;
}
