// Event delivery, measured in one run: the latency from a simulated reader
// writing a key line on loopback to the host's ExternalEvent (median and 99th
// percentile) against the raw loopback round trip of the same machine; the CPU
// time of the process while 16 readers sit open and idle; and the events per
// second with 16 readers sending keys as fast as they can. Run by hand, e.g.
//   WINEDEBUG=-all wine build/bin/EventBench.exe
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Vombra.h"
#include "sim/TextReaderSim.h"

namespace {

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return double(counter.QuadPart) * 1e6 /
         double(frequency.QuadPart); // microseconds
}

class CBenchHost : public IAddInDefBase, public IMemoryManager {
public:
  void *ScalarDeletingDestructor(unsigned int) override { return this; }
  bool AddError(unsigned short, const WCHAR_T *, const WCHAR_T *,
                long) override {
    return true;
  }
  bool Read(WCHAR_T *, tVariant *, long *, WCHAR_T **) override {
    return false;
  }
  bool Write(WCHAR_T *, tVariant *) override { return false; }
  bool RegisterProfileAs(WCHAR_T *) override { return false; }
  bool SetEventBufferDepth(long) override { return true; }
  long GetEventBufferDepth() override { return 4096; }
  bool ExternalEvent(WCHAR_T *, WCHAR_T *message, WCHAR_T *) override {
    if (wcscmp(message, L"TracksData") == 0) {
      LastEventTime = Now();
      ++Numbers;
      SetEvent(Arrived);
    }
    return true;
  }
  void CleanEventBuffer() override {}
  bool SetStatusLine(WCHAR_T *) override { return true; }
  void ResetStatusLine() override {}
  bool AllocMemory(void **memory, unsigned long bytes) override {
    *memory = std::malloc(bytes ? bytes : 1);
    return *memory != nullptr;
  }
  void FreeMemory(void **memory) override {
    std::free(*memory);
    *memory = nullptr;
  }

  HANDLE Arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<double> LastEventTime{0};
  std::atomic<long> Numbers{0};
};

void SetupAddin(CVombra &addin, CBenchHost &host) {
  addin.setMemManager(static_cast<IMemoryManager *>(&host));
  addin.Host = static_cast<IAddInDefBase *>(&host);
  _FORMAT_INFO format;
  format.Id = 1;
  format.Name = L"bench";
  format.Template = L"%.3u,%.5u";
  format.Params = L"b2 w01";
  addin.Formats.push_back(format);
  addin.DefaultFormatId = 1;
}

bool OpenReader(CVombra &addin, const std::wstring &port) {
  addin.LiveParams.Port = port;
  tVariant result{};
  tVariant id{};
  if (!addin.CallAsFunc(addin.FindMethod(L"Open"), &result, &id, 1) ||
      !result.bVal)
    return false;
  if (id.vt == VTYPE_PWSTR)
    addin.MemoryManager->FreeMemory(reinterpret_cast<void **>(&id.pwstrVal));
  return true;
}

bool WaitConnected(CVombra &addin, size_t readers) {
  for (int i = 0; i < 400; ++i) {
    size_t connected = 0;
    for (auto &entry : addin.Readers)
      connected += entry.second->GetState(-1) == RS_CONNECTED;
    if (connected == readers)
      return true;
    Sleep(25);
  }
  return false;
}

// Two different keys in turn, so each line is a new key and raises its number.
const char *KeyLine(int i) {
  return (i & 1) ? "Em-Marine[0000] 012,12345" : "Em-Marine[0000] 045,00777";
}

void Percentiles(std::vector<double> &samples, const char *what) {
  std::sort(samples.begin(), samples.end());
  const double median = samples[samples.size() / 2];
  const double p99 =
      samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  std::printf("%-34s median %8.1f us   p99 %8.1f us   (%zu samples)\n", what,
              median, p99, samples.size());
}

// The raw loopback round trip: a line out and back over one TCP connection.
void LoopbackRoundTrip(int count) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
  std::thread echo([listener] {
    SOCKET peer = accept(listener, nullptr, nullptr);
    char buffer[256];
    int n;
    while ((n = recv(peer, buffer, sizeof buffer, 0)) > 0)
      send(peer, buffer, n, 0);
    closesocket(peer);
  });
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL noDelay = TRUE;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY,
             reinterpret_cast<const char *>(&noDelay), sizeof noDelay);
  connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
  std::vector<double> samples;
  const std::string line = std::string(KeyLine(0)) + "\r\n";
  char buffer[256];
  for (int i = 0; i < count; ++i) {
    const double start = Now();
    send(client, line.data(), int(line.size()), 0);
    size_t got = 0;
    while (got < line.size()) {
      int n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0)
        break;
      got += size_t(n);
    }
    samples.push_back(Now() - start);
  }
  closesocket(client);
  echo.join();
  closesocket(listener);
  Percentiles(samples, "raw loopback round trip");
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME &t) {
    return double((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

} // namespace

int main() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  constexpr int kKeys = 3000;
  constexpr int kReaders = 16;

  LoopbackRoundTrip(kKeys);

  {
    CBenchHost host;
    CVombra addin(L"VombraExtension");
    SetupAddin(addin, host);
    CTextReaderSim sim(SimIdentity(), true);
    if (!OpenReader(addin, sim.PortName()) || !WaitConnected(addin, 1)) {
      std::printf("the simulated reader did not connect\n");
      return 1;
    }
    std::vector<double> samples;
    for (int i = 0; i < kKeys; ++i) {
      ResetEvent(host.Arrived);
      const double start = Now();
      sim.SendLine(KeyLine(i));
      if (WaitForSingleObject(host.Arrived, 2000) != WAIT_OBJECT_0) {
        std::printf("key %d raised no event\n", i);
        continue;
      }
      samples.push_back(host.LastEventTime - start);
    }
    Percentiles(samples, "key line to ExternalEvent");
    addin.StopReaders();
  }

  {
    CBenchHost host;
    CVombra addin(L"VombraExtension");
    SetupAddin(addin, host);
    std::vector<std::unique_ptr<CTextReaderSim>> sims;
    for (int i = 0; i < kReaders; ++i)
      sims.emplace_back(new CTextReaderSim(SimIdentity(), true));
    // The simulators' own threads run in this process too: their share is
    // measured alone first.
    const double simStart = ProcessCpuSeconds();
    Sleep(10000);
    const double simCpu = ProcessCpuSeconds() - simStart;
    std::printf("%-34s %8.3f s CPU in 10 s of wall time\n",
                "16 simulators alone", simCpu);
    for (auto &sim : sims) {
      if (!OpenReader(addin, sim->PortName()))
        return 1;
    }
    if (!WaitConnected(addin, kReaders)) {
      std::printf("not every simulated reader connected\n");
      return 1;
    }
    const double cpuStart = ProcessCpuSeconds();
    Sleep(10000);
    const double cpu = ProcessCpuSeconds() - cpuStart;
    std::printf("%-34s %8.3f s CPU in 10 s of wall time (%.3f s beyond the "
                "simulators)\n",
                "16 readers open and idle", cpu, cpu - simCpu);

    host.Numbers = 0;
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int r = 0; r < kReaders; ++r) {
      senders.emplace_back([&, r] {
        for (int i = 0; !stop; ++i)
          sims[size_t(r)]->SendLine(KeyLine(i));
      });
    }
    const double start = Now();
    Sleep(5000);
    stop = true;
    for (auto &sender : senders)
      sender.join();
    const double seconds = (Now() - start) / 1e6;
    Sleep(500);
    std::printf("%-34s %8.0f events/s (%ld events)\n",
                "16 readers sending keys", double(host.Numbers) / seconds,
                long(host.Numbers));
    addin.StopReaders();
  }
  WSACleanup();
  return 0;
}
