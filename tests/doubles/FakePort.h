// Test double: an in-process IKdPort that plays a device from a script, and the factory seam that
// hands it to a reader.
//
// The script is a queue of exchanges: each expects one Write with exactly its request bytes and then
// lets its reply arrive Delay milliseconds later (by the engine clock, g_pClock), optionally only when
// the line runs at a given speed, the way a real reader ignores requests sent at the wrong speed.
// Unsolicited bytes arrive through Arrive; Drop makes the link go as an unplugged cable or a closed
// TCP connection does. Every Write and every SetConfig is recorded.
//
// Time: by default Read waits in real time. With a manual CFakeClock given to UseVirtualTime, Read
// advances that clock instead of sleeping, so time-outs and delays run without delay.
// Bytes that arrive with delay 0 (and a Drop) signal RxEvent; delayed bytes are seen by the next
// Read, GetRxCount or OnRxEvent after their time (Wake signals RxEvent to make the owner look).
//
// The owner's thread drives the port while the test thread scripts and inspects it: the script and the
// records are guarded by a mutex.
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Port.h"
#include "PortFactory.h"

class CFakeClock;

struct FakeExchange {
  std::string Request;
  std::string Reply;
  DWORD Delay = 0;
  UINT Baud = 0;  // reply only at this speed; 0: at any
};

struct FakeConfigCall {
  UINT Baud;
  BYTE StopBits;
  BYTE EventChar;
  bool operator==(const FakeConfigCall& other) const {
    return Baud == other.Baud && StopBits == other.StopBits && EventChar == other.EventChar;
  }
};

class CFakePort : public CKdPort {
 public:
  CFakePort();
  ~CFakePort() override;

  // Script.
  void Expect(const std::string& request, const std::string& reply, DWORD delay = 0, UINT baud = 0);
  void Arrive(const std::string& bytes, DWORD delay = 0);
  // The next Open calls fail with these results, one each, before opens succeed again.
  void FailOpen(HRESULT hr);
  // From now until the next successful Open, every Read, Write, GetRxCount and event slot fails with hr.
  void Drop(HRESULT hr);
  void Wake();
  void UseVirtualTime(CFakeClock* clock) { m_virtualClock = clock; }

  // Records.
  std::vector<std::string> Writes() const;
  std::vector<std::string> UnexpectedWrites() const;
  std::vector<FakeConfigCall> ConfigCalls() const;
  size_t ExchangesLeft() const;
  int OpenCount() const;
  int CloseCount() const;

  // IKdPort.
  HRESULT SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) override;
  HRESULT Open(UINT timeout) override;
  HRESULT Close() override;
  bool IsOpen() override;
  HRESULT GetRxCount(UINT* count) override;
  HRESULT Read(std::string* buffer, UINT size, UINT timeout) override;
  HRESULT Write(const BYTE* data, UINT size, UINT timeout) override;
  HRESULT Purge(bool rx, bool tx) override;
  HRESULT OnReadEvent() override;
  HRESULT OnWriteEvent() override;
  HRESULT OnRxEvent() override;

 private:
  struct Arrival {
    DWORD From;
    DWORD Delay;
    std::string Bytes;
  };
  // Both with m_mutex held.
  void TakeDue(DWORD now);
  DWORD UntilNextDue(DWORD now) const;
  void Schedule(const std::string& bytes, DWORD delay);

  mutable std::mutex m_mutex;
  std::deque<FakeExchange> m_script;
  std::vector<Arrival> m_arrivals;
  std::string m_received;
  std::deque<HRESULT> m_openFailures;
  HRESULT m_dropped = S_OK;
  bool m_open = false;
  std::vector<std::string> m_writes;
  std::vector<std::string> m_unexpected;
  std::vector<FakeConfigCall> m_configCalls;
  int m_opens = 0;
  int m_closes = 0;
  HANDLE m_wake;  // lets a test end a Read's wait when it adds bytes
  CFakeClock* m_virtualClock = nullptr;
};

// Hands out the ports a test prepared, in order, for any name (and records the names asked for);
// with none left it makes the real port. Install with ScopedPortFactory.
class CFakePortFactory : public IKdPortFactory {
 public:
  IKdPort* CreatePort(const wchar_t* name, bool nvt) override;
  void Add(CFakePort* port);
  std::vector<std::wstring> Names() const;

 private:
  mutable std::mutex m_mutex;
  std::deque<CKdPortPtr> m_ports;
  std::vector<CKdPortPtr> m_given;
  std::vector<std::wstring> m_names;
};

class ScopedPortFactory {
 public:
  explicit ScopedPortFactory(IKdPortFactory* factory) : m_previous(g_pPortFactory) { g_pPortFactory = factory; }
  ~ScopedPortFactory() { g_pPortFactory = m_previous; }
  ScopedPortFactory(const ScopedPortFactory&) = delete;
  ScopedPortFactory& operator=(const ScopedPortFactory&) = delete;

 private:
  IKdPortFactory* m_previous;
};
