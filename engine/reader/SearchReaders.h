// The reader search: probes candidate ports with the identification request, lists the PC/SC
// readers and asks network converters by UDP broadcast, all stepped by the caller's thread.
#pragma once

// Winsock 2 before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <deque>
#include <list>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "Handles.h"
#include "Port.h"
#include "SearchReplies.h"
#include "PortEnum.h"

class CCcidConnection;

// One reader found.
struct _FOUNDREADER_INFO {
  std::wstring Port;
  UINT Model = 0;
  UINT SerialNumber = 0;
  UINT Version = 0;
  std::wstring Info;
};

// The search was stopped by its owner's stop event: Code is E_ABORT.
class CSearchRdException : public std::exception {
 public:
  CSearchRdException();
  const char* what() const noexcept override { return m_message.c_str(); }
  HRESULT Code() const { return E_ABORT; }

 private:
  std::string m_message;
};

[[noreturn]] void ThrowSearchAborted();

// Where the converter broadcast leaves from and where it goes. The product asks the host name for
// its addresses and broadcasts to 255.255.255.255:9000; tests install one that keeps every packet
// on the loopback network.
class IUdpSearchTarget {
 public:
  // The local IPv4 addresses (network order) before 127.0.0.1 is left out; throws COSException.
  virtual void GetLocalAddresses(std::vector<ULONG>& out) = 0;
  virtual sockaddr_in GetDestination() = 0;

 protected:
  ~IUdpSearchTarget() = default;
};

IUdpSearchTarget& DefaultUdpSearchTarget();

// Never null. Replaced only while no search runs (a test's set-up and tear-down).
extern IUdpSearchTarget* g_pUdpSearchTarget;


// The milliseconds an event of one socket may go unnoticed at most (see FindNext).
constexpr DWORD kSearchPollPeriod = 100;

class CSearchReaders {
 public:
  CSearchReaders() = default;
  virtual ~CSearchReaders();
  CSearchReaders(const CSearchReaders&) = delete;
  CSearchReaders& operator=(const CSearchReaders&) = delete;

  void Start(UINT searchFlags, BYTE stopBits, UINT connectTimeout, UINT rxPeriod, UINT requestTimeout,
             UINT requestTries, UINT findIpTimeout, UINT findIpTries, bool nvt,
             const std::vector<_SEARCHPORT_INFO>* ports, CCcidConnection* watcher);
  // S_OK with the next reader; 0x80040230 when timeout ms passed with nothing found; 0x80040231 when
  // the search is over. Throws CSearchRdException when StopEvent is signalled.
  HRESULT FindNext(_FOUNDREADER_INFO& out, UINT timeout);

  // Set by the owner after Start when it wants to end a running FindNext; not owned.
  HANDLE StopEvent = nullptr;

 private:
  enum : UINT { ST_OPEN = 0, ST_CONNECTING = 1, ST_SENDING = 2, ST_RECEIVING = 3, ST_FAILED = 4, ST_FINISHED = 5 };

  struct Probe {
    CKdPortPtr Port;
    bool Com = false;
    UINT Tries = 0;
    std::string RxText;
    UINT State = ST_OPEN;
    DWORD Stamp = 0;
    std::wstring Info;
    UINT Model = 0;
    UINT Models = SEARCH_ANY_MODEL;
    UINT Attempt = 0;
  };

  struct UdpEntry {
    ULONG LocalAddress = 0;
    CSocket Socket;
    std::string Buffer;
    UINT Tries = 0;
    UINT State = ST_OPEN;
    DWORD Stamp = 0;
  };

  void AddProbe(const std::wstring& name, UINT models);
  void ServiceProbe(Probe& probe, DWORD& wait);
  void OpenStep(Probe& probe);
  void SendStep(Probe& probe);
  void ReceiveStep(Probe& probe);
  void FinishStep(Probe& probe);
  void ServiceUdp(UdpEntry& entry, DWORD& wait);
  void SendBroadcast(UdpEntry& entry);
  void ReceiveReplies(UdpEntry& entry);
  void AddUdpCandidate(const std::wstring& name);
  UINT Tries() const;
  void Log(UINT level, const wchar_t* port, UINT id, ...);

  UINT SearchFlags = 0;
  BYTE StopBits = 0;
  UINT ConnectTimeout = 0;
  UINT RxPeriod = INFINITE;
  UINT RequestTimeout = 0;
  UINT RequestTries = 0;
  UINT FindIpTimeout = 0;
  UINT FindIpTries = 0;
  BYTE Nvt = 0;
  // Shared by every probe's port and the UDP sockets, so they outlive Probes and UdpEntries (declared
  // before them).
  CKernelHandle WriteEvent;
  CKernelHandle ReadEvent;
  CKernelHandle RxEvent;
  std::deque<_FOUNDREADER_INFO> Found;
  std::list<Probe> Probes;
  std::list<UdpEntry> UdpEntries;
  std::set<std::wstring> ProbedNames;
  DWORD HoldStart = 0;
  DWORD HoldTime = 0;
};
