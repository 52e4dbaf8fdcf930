// Connecting a reader: the port transport, identification with its speed fallback, the per-model
// set-up, disconnecting, the line speed, the device test, the logged wire read and write and the
// reply loop the protocols share.
// TcpPort.h brings Winsock 2, which must come before windows.h.
#include "TcpPort.h"

#include "PortFactory.h"

#include <algorithm>
#include <iterator>

#include "ProtoBinary.h"
#include "ProtoFramed.h"
#include "Reader.h"

#include "Clock.h"
#include "Core.h"
#include "Exceptions.h"
#include "Messages.h"
#include "ReaderSupport.h"
#include "ResourceIds.h"
#include "VombraContext.h"

using namespace reader_support;

namespace {

const wchar_t* const kStopBitNames[] = {L"1", L"1.5", L"2"};

const wchar_t* StopBitName(BYTE stopBits) { return stopBits < 3 ? kStopBitNames[stopBits] : L"?"; }

bool IsRawTcp(IKdPort* port) {
  auto* tcp = dynamic_cast<CKdTcpPort*>(port);
  return tcp && tcp->Nvt == 0;
}

}  // namespace

UINT ModelSpeedMask(UINT model, UINT version) {
  const BYTE major = BYTE(version & 0xFF);
  const BYTE minor = BYTE((version >> 8) & 0xFF);
  switch (model) {
    case RM_KD6_A:
    case RM_KD6_H:
    case RM_KD6_C:
    case RM_KD6_D:
    case RM_KD6_E:
      return 0x01;
    case RM_KD6_B:
      return major == 1 && minor == 8 ? 0x1F : 0x01;
    case RM_ORVEL_3B:
      return major >= 3 || (major == 2 && minor >= 10) ? 0x1F : 0x01;
    case RM_PX2210:
      return 0x10;
    case RM_KD6_MQF:
      return 0x1F;
    default:
      return 0;
  }
}

UINT ChooseSpeed(UINT mask, UINT speed) {
  UINT highest = 0;
  UINT lowest = 0;
  UINT best = 0;
  for (size_t i = 0; i < std::size(kReaderSpeeds); ++i) {
    if (!(mask & (1u << i))) continue;
    const UINT rate = kReaderSpeeds[i];
    if (!lowest) lowest = rate;
    highest = rate;
    if (speed && rate <= speed) best = rate;
  }
  if (speed == 0) return highest;
  return best ? best : lowest;
}

size_t CReader::ReadWire(UINT size, UINT timeout, bool binary) {
  const size_t before = RxBuffer.size();
  HRESULT hr = Port->Read(&RxBuffer, size, timeout);
  if (FAILED(hr)) ThrowPortException(hr, Port->GetName());
  if (RxBuffer.size() > before && LogLevel() >= 5) {
    std::wstring text = TrafficText(Bytes(RxBuffer) + before, RxBuffer.size() - before, binary);
    Log(0, IDS_LOG_RECEIVED, text.c_str());
  }
  return RxBuffer.size();
}

void CReader::WriteWire(const BYTE* data, UINT size, UINT timeout, bool binary) {
  HRESULT hr = Port->Write(data, size, timeout);
  if (FAILED(hr)) ThrowPortException(hr, Port->GetName());
  if (LogLevel() >= 5) {
    std::wstring text = TrafficText(data, size, binary);
    Log(0, IDS_LOG_SENT, text.c_str());
  }
}

bool CReader::ReadMoreReply(DWORD start, UINT limit, bool* finalRead, bool binary) {
  const DWORD elapsed = TicksElapsed(start, Ticks());
  UINT waiting = 0;
  HRESULT hr = Port->GetRxCount(&waiting);
  if (FAILED(hr)) ThrowPortException(hr, Port->GetName());
  // The limit holds even while bytes keep coming: one last look at what is already there.
  if (elapsed >= limit) {
    if (!waiting || *finalRead) return false;
    *finalRead = true;
  }
  ReadWire(std::max<UINT>(1, waiting), elapsed >= limit ? 0 : limit - elapsed, binary);
  return true;
}

bool CReader::ReadFrameReply(UINT timeout, const std::function<ReplyScan()>& scan) {
  const DWORD start = Ticks();
  bool finalRead = false;
  while (Running) {
    const ReplyScan found = scan();
    if (found == ReplyScan::kTaken) return true;
    if (found == ReplyScan::kDropped) continue;
    if (!ReadMoreReply(start, timeout, &finalRead, true)) break;
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

bool CReader::OpenPort(PORT_KIND kind, const wchar_t* port, UINT baud, BYTE stopBits, UINT connectTimeout,
                       UINT rxPeriod) {
  if (Port) {
    if (wcscmp(Port->GetName(), port) == 0) {
      if (Port->IsOpen()) Port->Close();
    } else {
      Port.Reset();
    }
  }
  if (!Port) {
    Port = CKdPortPtr(CreateKdPort(port, kind == PK_TCP && (ConnectFlags & RDF_NVT)));
    Port->SetParams(port, BreakEvent, WriteEvent, ReadEvent, RxEvent);
  }
  if (auto* base = dynamic_cast<CKdPort*>(Port.Get())) base->RxPeriod = rxPeriod;
  HRESULT hr = Port->SetConfig(baud, stopBits, 13);
  if (SUCCEEDED(hr) && !Port->IsOpen()) hr = Port->Open(connectTimeout);
  if (FAILED(hr)) {
    SetLastError(hr, nullptr);
    return false;
  }
  if (LogLevel() >= 5) Log(0, IDS_LOG_OPEN_PORT, Port->GetName(), int(baud), 'N', 8, StopBitName(stopBits));
  return true;
}

// The outcome line of a configuration (1008 or 1009) and the recorded error of a failed one.
static void LogConfigure(CReader* reader, HRESULT hr, UINT baud, BYTE stopBits) {
  if (FAILED(hr)) {
    reader->SetLastError(hr, nullptr);
    std::wstring text;
    FormatMessageText(text, g_hResInstance, DWORD(hr));
    reader->SetLastError(hr, text.c_str());
    if (LogLevel() >= 5) {
      std::wstring escaped;
      EscapeLogTextW(escaped, text.c_str(), -1);
      reader->Log(2, IDS_LOG_CONFIGURE_PORT_FAILED, int(baud), 'N', 8, StopBitName(stopBits), UINT(hr),
                  escaped.c_str());
    }
  } else if (LogLevel() >= 5) {
    reader->Log(0, IDS_LOG_CONFIGURED_PORT, int(baud), 'N', 8, StopBitName(stopBits));
  }
}

bool CReader::OpenOrConfigurePort(PORT_KIND kind, const wchar_t* port, UINT baud, BYTE stopBits,
                                  UINT connectTimeout, UINT rxPeriod) {
  if (Port && wcscmp(Port->GetName(), port) != 0) Port.Reset();
  if (Port && Port->IsOpen()) {
    if (auto* base = dynamic_cast<CKdPort*>(Port.Get())) base->RxPeriod = rxPeriod;
    HRESULT hr = Port->SetConfig(baud, stopBits, 13);
    LogConfigure(this, hr, baud, stopBits);
    return SUCCEEDED(hr);
  }
  return OpenPort(kind, port, baud, stopBits, connectTimeout, rxPeriod);
}

bool CReader::ReconfigurePort(UINT baud, BYTE stopBits, BYTE eventChar) {
  UINT current = 0;
  BYTE currentStop = 0;
  BYTE currentChar = 0;
  Port->GetConfig(&current, &currentStop, &currentChar);
  if (baud != current) StatusFlags |= RSF_WAKEUP;
  HRESULT hr = Port->SetConfig(baud, stopBits, eventChar);
  LogConfigure(this, hr, baud, stopBits);
  return SUCCEEDED(hr);
}

void CReader::ClosePort() {
  if (!Port) return;
  if (Port->IsOpen()) {
    Port->Close();
    if (LogLevel() >= 5) Log(0, IDS_LOG_CLOSED_PORT, PortName.c_str());
  }
  Port.Reset();
}

bool CReader::OpenAndIdentify(const wchar_t* port, BYTE stopBits, UINT modelSetting, UINT connectTimeout,
                              UINT rxPeriod, UINT requestTimeout, UINT requestTries, std::wstring* info) {
  const PORT_KIND kind = GetPortKind(port);
  if (kind == PK_CCID) return RegisterCcidReader(port, info);
  if (Address != -1) {
    return IdentifyAddress(kind, port, stopBits, connectTimeout, rxPeriod, requestTimeout, requestTries, info);
  }
  UINT hwCode = 0;
  const int tries = int(requestTries);
  if (modelSetting == RM_UNKNOWN || modelSetting == RM_KD6_B) {
    if (!OpenOrConfigurePort(kind, port, 9600, stopBits, connectTimeout, rxPeriod)) return false;
    if (!QueryInfo(&hwCode, &SerialNumber, &Version, requestTimeout, tries, info)) {
      if (LastError != VOMBRA_E_READ_TIMEOUT && LastError != VOMBRA_E_BAD_RESPONSE) return false;
      // A raw TCP link cannot change the speed of the line behind it.
      if (IsRawTcp(Port.Get())) return false;
      if (!ReconfigurePort(115200, stopBits, 13)) return false;
      if (!QueryInfo(&hwCode, &SerialNumber, &Version, requestTimeout, tries, info)) return false;
    }
  } else if (modelSetting == RM_PX2210) {
    if (!OpenOrConfigurePort(kind, port, 115200, stopBits, connectTimeout, rxPeriod)) return false;
    if (!QueryInfo(&hwCode, &SerialNumber, &Version, requestTimeout, tries, info)) return false;
  } else {
    if (!OpenPort(kind, port, 9600, stopBits, connectTimeout, rxPeriod)) return false;
    if (!QueryInfo(&hwCode, &SerialNumber, &Version, requestTimeout, tries, info)) return false;
  }
  Model = ModelFromHwCode(hwCode);
  if (Model == RM_UNKNOWN) {
    StatusFlags |= RSF_UNSUPPORTED;
    std::wstring text;
    LoadStrFormat(text, IDS_MODEL_NOT_SUPPORTED, hwCode);
    SetLastError(E_FAIL, text.c_str());
    return false;
  }
  return true;
}

bool CReader::Connect() {
  ConnectTime = Ticks();
  if (State == RS_CONNECTED) return true;
  State = RS_CONNECTING;

  std::wstring port;
  BYTE stopBits;
  UINT connectTimeout, rxPeriod, flags, modelSetting, requestTimeout, requestTries, speed;
  bool converter;
  {
    CCriticalSectionLock lock(&Lock);
    port = PortName;
    stopBits = StopBits;
    connectTimeout = ConnectTimeout;
    rxPeriod = RxPeriod;
    flags = ConnectFlags;
    modelSetting = ModelSetting;
    requestTimeout = RequestTimeout;
    requestTries = RequestTries;
    speed = Speed;
    converter = !AddressMap.empty();
  }

  std::wstring info;
  bool ok = false;
  try {
    if (converter) {
      ok = OpenOrConfigurePort(GetPortKind(port.c_str()), port.c_str(), 9600, stopBits, connectTimeout, rxPeriod);
      if (ok) {
        CCriticalSectionLock lock(&Lock);
        Model = RM_UNKNOWN;
        SerialNumber = 0xFFFFFFFF;
        Version = 0;
      }
    } else {
      ok = OpenAndIdentify(port.c_str(), stopBits, modelSetting, connectTimeout, rxPeriod, requestTimeout,
                           requestTries, &info);
    }
    if (ok) {
      StatusFlags &= ~(RSF_TEMIC | RSF_TEMIC_CYCLE | RSF_DIFFERENT_CODES | RSF_SPEED_COMMAND |
                       RSF_ACTIVATION_UNSUPPORTED | RSF_HOLD);
      Mode = 0;
      // The scan starts afresh; a transponder held before the connect may be another one now.
      ScanIndex = -1;
      ScanInterval = 0;
      if (HeldKeyType == KT_TEMIC) {
        HeldKeyType = 0;
        HeldUid = {};
      }
      if (flags & RDF_DIFFERENT_CODES) StatusFlags |= RSF_DIFFERENT_CODES;
      NoCardPending = 0;
      // Lines caught during the identification are older than the key list the connect starts.
      m_interceptedKeyLines.clear();
      {
        CCriticalSectionLock lock(&Lock);
        Keys.clear();
      }
      ok = SetUpModel(flags, speed, stopBits);
    }
  } catch (const CKdPortException& e) {
    SetLastError(e.Code(), WideMessage(e).c_str());
    ok = false;
  } catch (const std::exception& e) {
    SetLastError(E_FAIL, WideMessage(e).c_str());
    ok = false;
  }

  if (!ok) {
    FailConnect();
    return false;
  }
  // A PC/SC reader stays connecting until the watcher has announced its slot (OnCardEvents).
  if (Model == RM_KD6_G && !IsCcidSlotAnnounced()) return false;
  {
    CCriticalSectionLock lock(&Lock);
    InfoText = info;
    State = RS_CONNECTED;
  }
  LastPollTime = ConnectTime;
  if (Model != RM_UNKNOWN) ReportConnected(Model, SerialNumber, Version);
  return true;
}

bool CReader::SetUpModel(UINT flags, UINT speed, BYTE stopBits) {
  switch (Model) {
    case RM_KD6_A:
      Mode = PM_TEXT;
      if (Version > 105) StatusFlags |= RSF_TEMIC;
      StartText();
      return true;
    case RM_ORVEL_3A:
    case RM_ORVEL_7:
      Mode = PM_TEXT;
      StartText();
      return true;
    case RM_KD6_B:
    case RM_ORVEL_3B:
    case RM_KD6_H:
    case RM_KD6_MQF: {
      UINT baud = 0;
      BYTE stop = 0, eventChar = 0;
      Port->GetConfig(&baud, &stop, &eventChar);
      HRESULT hr = Port->SetConfig(baud, stop, 0);
      if (FAILED(hr)) {
        SetLastError(hr, nullptr);
        return false;
      }
      // The firmware of these models that knows more than one speed changes it by the mode command.
      if (ModelSpeedMask(Model, Version) != 0x01) StatusFlags |= RSF_SPEED_COMMAND;
      if (flags & RDF_BINARY) {
        Mode = PM_BINARY;
        ScanIndex = -1;
        if (!BinSetMode(false, kBinKeepSpeed) || !ApplySpeed(speed) || !BinSearchEnd()) return false;
        ScanBinary(true);
        return true;
      }
      Mode = PM_TEXT;
      if (!ApplySpeed(speed)) return false;
      Port->GetConfig(&baud, &stop, &eventChar);
      hr = Port->SetConfig(baud, stop, 13);
      if (FAILED(hr)) {
        SetLastError(hr, nullptr);
        return false;
      }
      StartText();
      return true;
    }
    case RM_KD6_C:
    case RM_KD6_E:
      Mode = PM_TEXT;
      StatusFlags |= RSF_TEMIC;
      StartText();
      return true;
    case RM_KD6_D:
      Mode = PM_TEXT;
      if (flags & RDF_WIEGAND) {
        return SetOutputFormat("Em-Marine[%.2X%.2X] %.3d,%.5d\\r\\n") && SetOutputArgs("b4 b3 b2 w01") &&
               SetNoCardText();
      }
      return SetOutputFormat("DALLAS[%.2X%.2X%.2X%.2X%.2X%.2X%.2X%.2X] 000,00000\\r\\n") &&
             SetOutputArgs("b7 b6 b5 b4 b3 b2 b1 b0") && SetNoCardText();
    case RM_KD6_G:
      Mode = PM_CCID;
      return true;
    case RM_UNKNOWN:
      // Only a converter connects without a model of its own.
      Mode = PM_CONVERTER;
      StartConverter();
      return true;
    case RM_PX2210:
      Mode = PM_FRAMED;
      // The frame delimiter becomes the event character: a whole reply wakes the thread.
      if (!ReconfigurePort(115200, stopBits, kFrameEnd)) return false;
      // The line feed after the identification's last line would spoil the first reply frame.
      RxBuffer.clear();
      Port->Purge(true, false);
      PollFramed(true);
      return true;
    default:
      SetLastError(E_NOTIMPL, nullptr);
      return false;
  }
}

void CReader::FailConnect() {
  if (State != RS_CONNECTING) return;
  ClosePort();
  {
    CCriticalSectionLock lock(&Lock);
    State = RS_DISCONNECTED;
    for (auto& entry : AddressMap) entry.second.State = RS_DISCONNECTED;
    if (LastErrorText.empty()) FormatMessageText(LastErrorText, g_hResInstance, DWORD(LastError));
  }
  std::wstring errorText;
  HRESULT error;
  {
    CCriticalSectionLock lock(&Lock);
    errorText = LastErrorText;
    error = LastError;
  }
  // A stop that cut the attempt short is no error either, whatever the exchange recorded.
  if (error != E_ABORT && Running && Events) {
    std::wstring text;
    LoadStr(IDS_UNABLE_TO_CONNECT, text);
    text += L' ';
    text += errorText;
    Events->OnReaderError(this, error, text.c_str());
  }
  if (LogLevel() >= 5) {
    std::wstring escaped;
    EscapeLogTextW(escaped, errorText.c_str(), -1);
    Log(2, IDS_LOG_READER_CONNECT_FAILED, escaped.c_str());
  }
  // Never a success for a command that did not run.
  FailPendingCommand(error < 0 ? error : E_FAIL);
}

void CReader::Disconnect() {
  if (Port) {
    const bool farewell = Model == RM_KD6_B || Model == RM_ORVEL_3B || Model == RM_KD6_H || Model == RM_KD6_MQF;
    if (farewell || !IsStarted()) ResetEvent(BreakEvent);
    if (farewell) {
      // The reader is left in text mode at 9600, where the next connect (or another program) expects
      // it; a port failure ends the farewell.
      try {
        UINT baud = 0;
        BYTE stop = 0, eventChar = 0;
        if (SUCCEEDED(Port->GetConfig(&baud, &stop, &eventChar)) && eventChar) Port->SetConfig(baud, stop, 0);
        if (Mode == PM_BINARY) BinSignal(kBinFarewell, 1, nullptr);
        BinSetMode(true, 0);
      } catch (const std::exception&) {
      }
    }
    ClosePort();
  }
  ReleaseCcidSlot();
  SetEvent(WakeEvent);
  if (State == RS_CONNECTED) {
    State = RS_DISCONNECTED;
    Address = -1;
    ReportDisconnected();
  }
  for (auto& entry : AddressMap) {
    if (entry.second.State != RS_CONNECTED) continue;
    Address = entry.first;
    {
      CCriticalSectionLock lock(&Lock);
      entry.second.State = RS_DISCONNECTED;
    }
    ReportDisconnected();
  }
  Address = -1;
}

void CReader::ReportConnected(UINT model, UINT serial, UINT version) {
  if (LogLevel() >= 5) {
    std::wstring text;
    VersionToStr(version, text);
    Log(0, IDS_LOG_READER_CONNECTED, ReaderModelName(model), int(serial), text.c_str());
  }
  if (Events) Events->OnReaderConnect(this);
}

void CReader::ReportDisconnected() {
  if (LogLevel() >= 5) Log(0, IDS_LOG_READER_DISCONNECTED);
  if (Events) Events->OnReaderDisconnect(this);
}

bool CReader::ApplySpeed(UINT speed) {
  const UINT mask = ModelSpeedMask(Model, Version);
  if (Model == RM_UNKNOWN || !Port || !mask) return false;
  const UINT choice = ChooseSpeed(mask, speed);
  UINT baud = 0;
  BYTE stopBits = 0, eventChar = 0;
  HRESULT hr = Port->GetConfig(&baud, &stopBits, &eventChar);
  if (FAILED(hr)) {
    SetLastError(hr, nullptr);
    return false;
  }
  if (baud == choice) return true;
  if (StatusFlags & RSF_SPEED_COMMAND) {
    const UINT* rate = std::find(std::begin(kBinSpeeds), std::end(kBinSpeeds), choice);
    return BinSetMode(Mode == PM_TEXT, int(rate - std::begin(kBinSpeeds)));
  }
  ReconfigurePort(choice, stopBits, eventChar);
  return true;
}

bool CReader::TestConnect(int address, BYTE stopBits, UINT modelSetting, UINT connectTimeout, UINT rxPeriod,
                          UINT requestTimeout, UINT requestTries, std::wstring* info) {
  {
    CCriticalSectionLock lock(&Lock);
    Changes |= RC_RECONNECT;
  }
  State = RS_DISCONNECTED;
  Address = address;
  try {
    return OpenAndIdentify(PortName.c_str(), stopBits, modelSetting, connectTimeout, rxPeriod, requestTimeout,
                           requestTries, info);
  } catch (const CKdPortException& e) {
    SetLastError(e.Code(), WideMessage(e).c_str());
  } catch (const std::exception& e) {
    SetLastError(E_FAIL, WideMessage(e).c_str());
  }
  return false;
}

bool CReader::TestDevice(int address, BYTE stopBits, UINT modelSetting, UINT connectTimeout, UINT rxPeriod,
                         UINT requestTimeout, UINT requestTries, std::wstring* info) {
  if (RequestStop()) {
    // A thread caught in a device call keeps the port: the test cannot have it, and the reader goes
    // on as before. One already leaving its loop only closes its port, which is bounded.
    if (!JoinFor(kReaderStopWait) && (WithdrawStop() || !JoinFor(kReaderStopWait))) {
      CCriticalSectionLock lock(&Lock);
      LastError = VOMBRA_E_PORT_BUSY;
      LastErrorText.clear();
      auto record = AddressMap.find(address);
      if (record != AddressMap.end()) {
        record->second.LastError = VOMBRA_E_PORT_BUSY;
        record->second.LastErrorText.clear();
      }
      return false;
    }
    // A thread that ended on its wake event has left the break signalled.
    ResetEvent(BreakEvent);
  }
  Running = 1;
  bool result = TestConnect(address, stopBits, modelSetting, connectTimeout, rxPeriod, requestTimeout, requestTries,
                            info);
  Running = 0;
  Address = -1;
  Start();
  return result;
}
