// Winsock 2 before anything that includes windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "SearchReaders.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "CcidWatcher.h"
#include "Clock.h"
#include "ComPort.h"
#include "Core.h"
#include "Exceptions.h"
#include "KeyModel.h"
#include "Messages.h"
#include "ResourceIds.h"
#include "SearchReplies.h"
#include "PortFactory.h"
#include "TcpPort.h"
#include "VombraContext.h"

namespace {

const char kSeekRequest[] = "SEEK M561IP";
constexpr USHORT kConverterUdpPort = 9000;
const BYTE kIdentRequest[] = {'i', '\r'};
constexpr UINT kSearchLogThreshold = 5;
constexpr UINT kLogInfo = 0;
constexpr UINT kLogError = 2;
// Models 1-8 and 11 speak at 9600 baud; models 3, 9 and 11 at 115200.
constexpr UINT kModels9600 = 0x9FE;
constexpr UINT kModels115200 = 0xA08;
// Replies read in one pass at most; Winsock signals again for the rest.
constexpr int kMaxDatagramsPerPass = 64;
constexpr size_t kUdpBufferSize = 1024;

bool BeginsWithCom(const std::wstring& name) {
  return name.size() >= 3 && _wcsnicmp(name.c_str(), L"COM", 3) == 0;
}

class CDefaultUdpSearchTarget : public IUdpSearchTarget {
 public:
  void GetLocalAddresses(std::vector<ULONG>& out) override {
    char host[256] = {};
    if (gethostname(host, sizeof host) != 0) ThrowOSException(DWORD(WSAGetLastError()));
    host[sizeof host - 1] = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    CAnsiAddrInfo found;
    int error = getaddrinfo(host, nullptr, &hints, found.Receive());
    if (error != 0) ThrowOSException(DWORD(error));
    for (const addrinfo* a = found.Get(); a; a = a->ai_next) {
      if (a->ai_family == AF_INET && a->ai_addr) {
        out.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
      }
    }
  }
  sockaddr_in GetDestination() override {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    to.sin_port = htons(kConverterUdpPort);
    return to;
  }
};

CDefaultUdpSearchTarget s_defaultTarget;

}  // namespace

IUdpSearchTarget& DefaultUdpSearchTarget() { return s_defaultTarget; }

IUdpSearchTarget* g_pUdpSearchTarget = &s_defaultTarget;

CSearchRdException::CSearchRdException() {
  std::wstring text;
  FormatMessageText(text, g_hResInstance, DWORD(E_ABORT));
  WideToAnsi(text.c_str(), int(text.size()), m_message);
}

void ThrowSearchAborted() { throw CSearchRdException(); }

CSearchReaders::~CSearchReaders() {
  Log(kLogInfo, nullptr, IDS_LOG_SEARCH_END);
  // The ports and sockets go first: the events they signal close only after this body.
  UdpEntries.clear();
  Probes.clear();
  Found.clear();
}

void CSearchReaders::Log(UINT level, const wchar_t* port, UINT id, ...) {
  IVombraContext* context = g_pVombra;
  if (!context || context->GetLogLevel() < kSearchLogThreshold) return;
  std::wstring source;
  LoadStr(IDS_LOG_SOURCE_SEARCH, source);
  if (port) {
    source += L' ';
    source += port;
  }
  va_list args;
  va_start(args, id);
  context->LogV(level, source.c_str(), id, args);
  va_end(args);
}

// RequestTries 0 still means one try: a count that is never reached would probe for ever.
UINT CSearchReaders::Tries() const { return RequestTries ? RequestTries : 1; }

void CSearchReaders::Start(UINT searchFlags, BYTE stopBits, UINT connectTimeout, UINT rxPeriod,
                           UINT requestTimeout, UINT requestTries, UINT findIpTimeout, UINT findIpTries,
                           bool nvt, const std::vector<_SEARCHPORT_INFO>* ports, CCcidConnection* watcher) {
  Log(kLogInfo, nullptr, IDS_LOG_SEARCH_BEGIN);
  SearchFlags = searchFlags;
  StopBits = stopBits;
  ConnectTimeout = connectTimeout;
  RxPeriod = rxPeriod;
  RequestTimeout = requestTimeout;
  RequestTries = requestTries;
  FindIpTimeout = findIpTimeout;
  FindIpTries = findIpTries;
  Nvt = nvt ? 1 : 0;

  std::vector<_SEARCHPORT_INFO> listed;
  if (!ports) {
    SearchComPorts(listed, searchFlags);
    ports = &listed;
  }

  StopEvent = nullptr;
  for (CKernelHandle* event : {&WriteEvent, &ReadEvent, &RxEvent}) {
    if (!*event) event->Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!*event) ThrowComException(VOMBRA_E_NO_RESOURCES);
  }

  if ((searchFlags & SF_CCID) && watcher) {
    if (watcher->Context == 0) watcher->EstablishContext();
    if (watcher->Context != 0) {
      std::vector<std::wstring> readers;
      CCcidConnection::ListCcidReaders(watcher->Context, &readers);
      for (const std::wstring& name : readers) {
        _FOUNDREADER_INFO found;
        found.Port = name;
        found.Model = RM_KD6_G;
        found.SerialNumber = 0xFFFFFFFF;
        Found.push_back(std::move(found));
      }
    }
  }

  if (searchFlags & SF_IP) {
    if (g_pVombra) g_pVombra->StartupWinsock();
    std::vector<ULONG> addresses;
    g_pUdpSearchTarget->GetLocalAddresses(addresses);
    for (ULONG address : addresses) {
      if (address == htonl(INADDR_LOOPBACK)) continue;
      UdpEntries.emplace_back();
      UdpEntries.back().LocalAddress = address;
      UdpEntries.back().Buffer.reserve(kUdpBufferSize);
    }
  }

  for (const _SEARCHPORT_INFO& port : *ports) AddProbe(port.Name, port.Models);
}

void CSearchReaders::AddProbe(const std::wstring& name, UINT models) {
  Probe probe;
  probe.Com = BeginsWithCom(name);
  // Only a name of the address:port form goes through the factory as a network port; any other name
  // that is not a COM port (a parallel port of the ports class, say) is never opened as a serial
  // line, so nothing is ever sent to a printer.
  if (probe.Com || GetPortKind(name.c_str()) == PK_TCP) {
    probe.Port = CKdPortPtr(CreateKdPort(name.c_str(), Nvt != 0));
  } else {
    auto* tcp = new CKdTcpPort;
    tcp->Nvt = Nvt;
    probe.Port = CKdPortPtr(tcp);
  }
  probe.Port->SetParams(name.c_str(), StopEvent, WriteEvent.Get(), ReadEvent.Get(), RxEvent.Get());
  probe.Stamp = Ticks();
  probe.Models = models;
  Probes.push_back(std::move(probe));
}

HRESULT CSearchReaders::FindNext(_FOUNDREADER_INFO& out, UINT timeout) {
  HANDLE waits[4];
  DWORD waitCount = 0;
  if (StopEvent) waits[waitCount++] = StopEvent;
  for (const CKernelHandle* event : {&WriteEvent, &ReadEvent, &RxEvent}) {
    if (*event) waits[waitCount++] = event->Get();
  }
  const DWORD start = Ticks();
  HRESULT result = S_OK;
  for (;;) {
    DWORD wait = INFINITE;
    const DWORD now = Ticks();
    bool held = HoldTime != 0 && TicksElapsed(HoldStart, now) < HoldTime;
    if (held) {
      wait = HoldTime - TicksElapsed(HoldStart, now);
    } else {
      HoldTime = 0;
      for (auto it = UdpEntries.begin(); it != UdpEntries.end();) {
        ServiceUdp(*it, wait);
        it = it->State == ST_FINISHED ? UdpEntries.erase(it) : std::next(it);
      }
      for (auto it = Probes.begin(); it != Probes.end();) {
        ServiceProbe(*it, wait);
        it = it->State == ST_FINISHED ? Probes.erase(it) : std::next(it);
      }
      if (Probes.empty() && UdpEntries.empty()) {
        result = VOMBRA_E_NO_MORE_READERS;
        break;
      }
      // The events are shared, and every socket's network-event query resets the one it signals:
      // an event that came for one port while another was being serviced can be lost. A short
      // poll bounds how late such a port is looked at again.
      wait = std::min<DWORD>(wait, kSearchPollPeriod);
    }
    if (!Found.empty()) {
      HoldStart = Ticks();
      HoldTime = wait;
      break;
    }
    HoldTime = 0;
    if (timeout != INFINITE) {
      const DWORD elapsed = TicksElapsed(start, Ticks());
      if (elapsed >= timeout) {
        result = VOMBRA_E_SEARCH_TIMEOUT;
        break;
      }
      wait = std::min<DWORD>(wait, timeout - elapsed);
    }
    const DWORD signalled = WaitForMultipleObjects(waitCount, waits, FALSE, wait);
    if (signalled < WAIT_OBJECT_0 + waitCount) {
      HANDLE event = waits[signalled - WAIT_OBJECT_0];
      if (event == StopEvent) ThrowSearchAborted();
      ResetEvent(event);
    }
  }
  if (Found.empty()) return result;
  out = std::move(Found.front());
  Found.pop_front();
  return S_OK;
}

void CSearchReaders::ServiceProbe(Probe& probe, DWORD& wait) {
  try {
    // Each pass either waits (return), finishes, or moves the probe on by one try or one speed,
    // so the loop ends.
    for (;;) {
      IKdPort* port = probe.Port.Get();
      const UINT failedIn = probe.State;
      switch (probe.State) {
        case ST_OPEN:
          OpenStep(probe);
          break;
        case ST_CONNECTING:
          if (FAILED(port->OnRxEvent())) {
            probe.State = ST_FAILED;
          } else if (!(port->GetStateFlags() & PSF_CONNECT_PENDING)) {
            SendStep(probe);
          }
          break;
        case ST_SENDING:
          if (FAILED(port->OnWriteEvent())) {
            probe.State = ST_FAILED;
          } else if (!(port->GetStateFlags() & PSF_WRITE_PENDING)) {
            ReceiveStep(probe);
          }
          break;
        case ST_RECEIVING:
          if (FAILED(port->OnReadEvent()) || FAILED(port->OnRxEvent())) {
            probe.State = ST_FAILED;
          } else {
            ReceiveStep(probe);
          }
          break;
        default:
          break;
      }
      if (probe.State == ST_FINISHED) return;
      // The next speed begins at once, with all its tries.
      if (probe.State == ST_OPEN) continue;
      if (probe.State != ST_FAILED) {
        const UINT limit = probe.State == ST_CONNECTING ? ConnectTimeout : RequestTimeout;
        const DWORD elapsed = TicksElapsed(probe.Stamp, Ticks());
        if (limit != INFINITE && elapsed >= limit) {
          probe.State = ST_FAILED;
        } else {
          if (limit != INFINITE) wait = std::min<DWORD>(wait, limit - elapsed);
          if (probe.State == ST_RECEIVING && RxPeriod != INFINITE) wait = std::min<DWORD>(wait, RxPeriod);
          return;
        }
      }
      // A failed try. A connection that never came up is dropped, so the next try connects afresh
      // instead of purging a socket that will never connect.
      if ((failedIn == ST_CONNECTING || (port->GetStateFlags() & PSF_CONNECT_PENDING)) && port->IsOpen()) {
        port->Close();
      }
      probe.State = ST_OPEN;
      if (++probe.Tries >= Tries()) {
        probe.Tries = 0;
        ++probe.Attempt;
      }
    }
  } catch (...) {
    try {
      FinishStep(probe);
    } catch (...) {
      probe.State = ST_FINISHED;
    }
  }
}

void CSearchReaders::OpenStep(Probe& probe) {
  IKdPort* port = probe.Port.Get();
  UINT speed = 0;
  if (probe.Attempt == 0) {
    if (probe.Models & kModels9600) {
      speed = 9600;
    } else {
      probe.Attempt = 1;
    }
  }
  if (probe.Attempt == 1) {
    if ((probe.Models & kModels115200) && (probe.Com || Nvt)) {
      speed = 115200;
    } else {
      probe.Attempt = 2;
    }
  }
  if (probe.Attempt >= 2) {
    FinishStep(probe);
    return;
  }

  if (CKdPort* base = dynamic_cast<CKdPort*>(port)) base->RxPeriod = RxPeriod;
  if (FAILED(port->SetConfig(speed, StopBits, 13))) {
    probe.State = ST_FAILED;
    return;
  }
  if (!port->IsOpen()) {
    HRESULT hr = port->Open(0);
    if (FAILED(hr)) {
      probe.State = ST_FAILED;
      std::wstring text;
      FormatMessageText(text, g_hResInstance, DWORD(hr));
      Log(kLogError, port->GetName(), IDS_LOG_OPEN_PORT_FAILED, port->GetName(), int(speed), L'N', 8,
          StopBits == 2 ? 2 : 1, UINT(hr), text.c_str());
      return;
    }
    static const wchar_t* const kStopBitNames[] = {L"1", L"1.5", L"2"};
    Log(kLogInfo, port->GetName(), IDS_LOG_OPEN_PORT, port->GetName(), int(speed), L'N', 8,
        kStopBitNames[StopBits <= 2 ? StopBits : 0]);
  } else {
    port->Purge(true, true);
  }
  probe.Stamp = Ticks();
  if (port->GetStateFlags() & PSF_CONNECT_PENDING) {
    probe.State = ST_CONNECTING;
  } else {
    SendStep(probe);
  }
}

void CSearchReaders::SendStep(Probe& probe) {
  IKdPort* port = probe.Port.Get();
  if (FAILED(port->Write(kIdentRequest, sizeof kIdentRequest, 0))) {
    probe.State = ST_FAILED;
    return;
  }
  std::wstring text;
  EscapeLogText(text, reinterpret_cast<const char*>(kIdentRequest), int(sizeof kIdentRequest));
  Log(kLogInfo, port->GetName(), IDS_LOG_SENT, text.c_str());
  probe.Stamp = Ticks();
  probe.RxText.clear();
  probe.Info.clear();
  if (port->GetStateFlags() & PSF_WRITE_PENDING) {
    probe.State = ST_SENDING;
  } else {
    ReceiveStep(probe);
  }
}

void CSearchReaders::ReceiveStep(Probe& probe) {
  IKdPort* port = probe.Port.Get();
  probe.State = ST_RECEIVING;
  UINT count = 0;
  if (FAILED(port->GetRxCount(&count))) {
    probe.State = ST_FAILED;
    return;
  }
  if (count == 0) return;
  const size_t before = probe.RxText.size();
  if (FAILED(port->Read(&probe.RxText, count, 0))) {
    probe.State = ST_FAILED;
    return;
  }
  std::wstring text;
  EscapeLogText(text, probe.RxText.data() + before, int(probe.RxText.size() - before));
  Log(kLogInfo, port->GetName(), IDS_LOG_RECEIVED, text.c_str());

  if (probe.Info.empty() && probe.RxText.find("S/N:") == std::string::npos) {
    // A reply is judged only once its first line is whole: a reader that answers in pieces is
    // not asked again in the middle of its answer.
    if (!HasLineEnd(probe.RxText)) return;
    if (++probe.Tries < Tries()) {
      SendStep(probe);
    } else {
      probe.State = ST_OPEN;
      probe.Tries = 0;
      ++probe.Attempt;
      probe.Stamp = Ticks();
    }
    return;
  }

  std::wstring wide;
  AnsiToWide(probe.RxText.data(), int(probe.RxText.size()), wide);
  probe.Info += wide;
  probe.RxText.clear();
  UINT hwCode = 0, serial = 0, version = 0, incomplete = 1;
  const int understood = ParseReaderInfo(probe.Info.c_str(), &hwCode, &serial, &version, &incomplete);
  if (incomplete) return;
  if (!understood) {
    FinishStep(probe);
    return;
  }
  probe.Model = ModelFromHwCode(hwCode);
  if (probe.Model != RM_UNKNOWN) {
    _FOUNDREADER_INFO found;
    found.Port = port->GetName();
    found.Model = probe.Model;
    found.SerialNumber = serial;
    found.Version = version;
    found.Info = probe.Info;
    Found.push_back(std::move(found));
  }
  probe.Tries = RequestTries;
  FinishStep(probe);
}

void CSearchReaders::FinishStep(Probe& probe) {
  probe.State = ST_FINISHED;
  IKdPort* port = probe.Port.Get();
  if (port && port->IsOpen()) {
    port->Close();
    Log(kLogInfo, port->GetName(), IDS_LOG_CLOSED_PORT, port->GetName());
  }
}

void CSearchReaders::ServiceUdp(UdpEntry& entry, DWORD& wait) {
  for (;;) {
    try {
      if (entry.State == ST_OPEN) SendBroadcast(entry);
      if (entry.State == ST_RECEIVING) ReceiveReplies(entry);
      if (entry.State != ST_FINISHED) {
        const DWORD elapsed = TicksElapsed(entry.Stamp, Ticks());
        if (FindIpTimeout != INFINITE && elapsed >= FindIpTimeout) {
          entry.State = ST_FINISHED;
        } else {
          if (FindIpTimeout != INFINITE) wait = std::min<DWORD>(wait, FindIpTimeout - elapsed);
          return;
        }
      }
    } catch (...) {
      entry.State = ST_FINISHED;
    }
    // The cycle is over: broadcast again while tries remain.
    if (++entry.Tries < FindIpTries) {
      entry.State = ST_OPEN;
      continue;
    }
    entry.Socket.Reset();
    return;
  }
}

void CSearchReaders::SendBroadcast(UdpEntry& entry) {
  entry.State = ST_FINISHED;  // until every call has succeeded
  if (!entry.Socket) {
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, 0);
    if (s == INVALID_SOCKET) return;
    entry.Socket.Reset(s);
    BOOL on = TRUE;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = entry.LocalAddress;
    local.sin_port = 0;
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return;
    if (WSAEventSelect(s, RxEvent.Get(), FD_READ) != 0) return;
  }
  entry.Buffer.assign(kSeekRequest, sizeof kSeekRequest - 1);
  WSABUF buffer{ULONG(entry.Buffer.size()), &entry.Buffer[0]};
  sockaddr_in to = g_pUdpSearchTarget->GetDestination();
  DWORD sent = 0;
  if (WSASendTo(entry.Socket.Get(), &buffer, 1, &sent, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to,
                nullptr, nullptr) != 0) {
    return;
  }
  entry.Stamp = Ticks();
  wchar_t destination[64] = {};
  DWORD length = DWORD(std::size(destination));
  std::wstring target;
  if (WSAAddressToStringW(reinterpret_cast<sockaddr*>(&to), sizeof to, nullptr, destination, &length) == 0) {
    target = destination;
  } else {
    StrFormat(target, L"*:%d", int(ntohs(to.sin_port)));
  }
  std::wstring bytes;
  EscapeLogText(bytes, entry.Buffer.data(), int(entry.Buffer.size()));
  Log(kLogInfo, nullptr, IDS_LOG_UDP_SENT, target.c_str(), bytes.c_str());
  entry.State = ST_RECEIVING;
}

void CSearchReaders::ReceiveReplies(UdpEntry& entry) {
  const SOCKET s = entry.Socket.Get();
  WSANETWORKEVENTS events{};
  if (WSAEnumNetworkEvents(s, RxEvent.Get(), &events) != 0 ||
      ((events.lNetworkEvents & FD_READ) && events.iErrorCode[FD_READ_BIT] != 0)) {
    entry.State = ST_FINISHED;
    return;
  }
  // One datagram at a time, judged by the length that came: an empty datagram is taken off the
  // queue like any other instead of being mistaken for an empty queue.
  for (int n = 0; n < kMaxDatagramsPerPass; ++n) {
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) != 0) {
      entry.State = ST_FINISHED;
      return;
    }
    entry.Buffer.resize(std::max<size_t>(waiting, kUdpBufferSize));
    WSABUF buffer{ULONG(entry.Buffer.size()), &entry.Buffer[0]};
    DWORD received = 0;
    DWORD flags = 0;
    sockaddr_in from{};
    INT fromLength = sizeof from;
    if (WSARecvFrom(s, &buffer, 1, &received, &flags, reinterpret_cast<sockaddr*>(&from), &fromLength, nullptr,
                    nullptr) != 0) {
      const int error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) return;
      // Longer than any converter's reply: not one of theirs, and already taken off the queue.
      if (error == WSAEMSGSIZE) continue;
      entry.State = ST_FINISHED;
      return;
    }
    // An empty datagram is no converter's reply; it is dropped without ending the cycle.
    if (received == 0) continue;
    wchar_t senderText[65] = {};
    DWORD senderLength = 64;
    std::wstring sender;
    if (WSAAddressToStringW(reinterpret_cast<sockaddr*>(&from), fromLength, nullptr, senderText, &senderLength) == 0) {
      sender = senderText;
    }
    std::wstring bytes;
    EscapeLogText(bytes, entry.Buffer.data(), int(received));
    Log(kLogInfo, nullptr, IDS_LOG_UDP_RECEIVED, sender.c_str(), bytes.c_str());
    const size_t colon = sender.rfind(L':');
    if (colon == std::wstring::npos) continue;
    UINT ports[2] = {};
    std::string addresses[2];
    if (!ParseIpSearchReply(entry.Buffer.data(), received, ports, addresses)) {
      entry.State = ST_FINISHED;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (ports[i] == 0) continue;
      if (!addresses[i].empty() && addresses[i] != "0.0.0.0") continue;
      std::wstring name;
      StrFormat(name, L"%s:%u", sender.substr(0, colon).c_str(), ports[i]);
      AddUdpCandidate(name);
    }
  }
}

void CSearchReaders::AddUdpCandidate(const std::wstring& name) {
  if (!ProbedNames.insert(name).second) return;
  // The converter does not say what sits behind its channel: every model may.
  AddProbe(name, SEARCH_ANY_MODEL);
  Probe& probe = Probes.back();
  if (CKdPort* base = dynamic_cast<CKdPort*>(probe.Port.Get())) base->RxPeriod = RxPeriod;
  probe.Port->SetConfig(9600, StopBits, 10);
  HoldTime = 0;
}
