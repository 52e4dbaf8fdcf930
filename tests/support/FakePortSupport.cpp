#include "../doubles/FakePort.h"

#include <algorithm>

#include "../doubles/FakeClock.h"
#include "Clock.h"
#include "Messages.h"

CFakePort::CFakePort() : m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CFakePort::~CFakePort() { CloseHandle(m_wake); }

void CFakePort::Expect(const std::string& request, const std::string& reply, DWORD delay, UINT baud) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_script.push_back(FakeExchange{request, reply, delay, baud});
}

void CFakePort::Schedule(const std::string& bytes, DWORD delay) {
  if (bytes.empty()) return;
  m_arrivals.push_back(Arrival{Ticks(), delay, bytes});
}

void CFakePort::Arrive(const std::string& bytes, DWORD delay) {
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    Schedule(bytes, delay);
  }
  SetEvent(m_wake);
  if (delay == 0 && RxEvent) SetEvent(RxEvent);
}

void CFakePort::FailOpen(HRESULT hr) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_openFailures.push_back(hr);
}

void CFakePort::Drop(HRESULT hr) {
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_dropped = hr;
  }
  SetEvent(m_wake);
  if (RxEvent) SetEvent(RxEvent);
}

void CFakePort::Wake() {
  SetEvent(m_wake);
  if (RxEvent) SetEvent(RxEvent);
}

std::vector<std::string> CFakePort::Writes() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_writes;
}

std::vector<std::string> CFakePort::UnexpectedWrites() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_unexpected;
}

std::vector<FakeConfigCall> CFakePort::ConfigCalls() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_configCalls;
}

size_t CFakePort::ExchangesLeft() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_script.size();
}

int CFakePort::OpenCount() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_opens;
}

int CFakePort::CloseCount() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_closes;
}

void CFakePort::TakeDue(DWORD now) {
  // In the order they were scheduled, so that bytes of one moment keep their order.
  auto due = [now](const Arrival& a) { return TicksElapsed(a.From, now) >= a.Delay; };
  for (const Arrival& a : m_arrivals) {
    if (due(a)) m_received += a.Bytes;
  }
  m_arrivals.erase(std::remove_if(m_arrivals.begin(), m_arrivals.end(), due), m_arrivals.end());
}

DWORD CFakePort::UntilNextDue(DWORD now) const {
  DWORD next = INFINITE;
  for (const Arrival& a : m_arrivals) {
    next = std::min(next, TimerRemaining(a.From, a.Delay, now));
  }
  return next;
}

HRESULT CFakePort::SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_configCalls.push_back(FakeConfigCall{baud, stopBits, eventChar});
  // As the real ports: baud 0 on an open line keeps its speed.
  if (baud != 0 || !m_open) Baud = baud;
  StopBits = stopBits;
  EventChar = eventChar;
  return S_OK;
}

HRESULT CFakePort::Open(UINT) {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (m_open) return S_OK;
  if (!m_openFailures.empty()) {
    HRESULT hr = m_openFailures.front();
    m_openFailures.pop_front();
    if (FAILED(hr)) return hr;
  }
  m_open = true;
  m_dropped = S_OK;
  m_received.clear();
  StateFlags = 0;
  ++m_opens;
  return S_OK;
}

HRESULT CFakePort::Close() {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (m_open) ++m_closes;
  m_open = false;
  StateFlags = 0;
  return S_OK;
}

bool CFakePort::IsOpen() {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_open;
}

HRESULT CFakePort::GetRxCount(UINT* count) {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (FAILED(m_dropped)) return m_dropped;
  TakeDue(Ticks());
  *count = UINT(m_received.size());
  return S_OK;
}

HRESULT CFakePort::Read(std::string* buffer, UINT size, UINT timeout) {
  const size_t target = buffer->size() + size;
  const DWORD start = Ticks();
  for (;;) {
    DWORD wait = 0;
    {
      std::lock_guard<std::mutex> hold(m_mutex);
      if (!m_open) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
      if (FAILED(m_dropped)) return m_dropped;
      const DWORD now = Ticks();
      TakeDue(now);
      const size_t n = std::min(m_received.size(), target - buffer->size());
      buffer->append(m_received, 0, n);
      m_received.erase(0, n);
      if (buffer->size() >= target) return S_OK;
      const DWORD left = TimerRemaining(start, timeout, now);
      if (left == 0) return S_OK;
      wait = std::min({left, UntilNextDue(now), DWORD(RxPeriod)});
    }
    if (StopEvent && WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) return E_ABORT;
    if (m_virtualClock && wait != INFINITE) {
      m_virtualClock->Advance(wait);
      continue;
    }
    HANDLE waits[2] = {m_wake, StopEvent};
    DWORD result = WaitForMultipleObjects(StopEvent ? 2 : 1, waits, FALSE, wait);
    if (result == WAIT_OBJECT_0 + 1) return E_ABORT;
  }
}

HRESULT CFakePort::Write(const BYTE* data, UINT size, UINT) {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (!m_open) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (FAILED(m_dropped)) return m_dropped;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  m_writes.push_back(bytes);
  if (m_script.empty() || m_script.front().Request != bytes) {
    m_unexpected.push_back(bytes);
    return S_OK;
  }
  FakeExchange exchange = m_script.front();
  m_script.pop_front();
  if (exchange.Baud == 0 || exchange.Baud == Baud) Schedule(exchange.Reply, exchange.Delay);
  if (exchange.Delay == 0 && !exchange.Reply.empty() && RxEvent) SetEvent(RxEvent);
  return S_OK;
}

HRESULT CFakePort::Purge(bool rx, bool) {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (rx) {
    TakeDue(Ticks());
    m_received.clear();
  }
  return S_OK;
}

HRESULT CFakePort::OnReadEvent() { return OnRxEvent(); }

HRESULT CFakePort::OnWriteEvent() { return OnRxEvent(); }

HRESULT CFakePort::OnRxEvent() {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (FAILED(m_dropped)) return m_dropped;
  TakeDue(Ticks());
  return S_OK;
}

IKdPort* CFakePortFactory::CreatePort(const wchar_t* name, bool nvt) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_names.push_back(name ? name : L"");
  if (m_ports.empty()) return DefaultPortFactory().CreatePort(name, nvt);
  // The factory keeps its reference, so a test can still look at a port the reader has let go.
  IKdPort* port = m_ports.front().Get();
  m_given.push_back(m_ports.front());
  m_ports.pop_front();
  return port;
}

void CFakePortFactory::Add(CFakePort* port) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_ports.push_back(CKdPortPtr(port));
}

std::vector<std::wstring> CFakePortFactory::Names() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_names;
}
