// Test support: a simulated device behind the in-process fake port. Each write goes through
// Model.Take (bytes in, the device's answer out) and the answer arrives at once; a write a scripted
// exchange of the fake port answered reaches no device (the script comes first).
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>

#include "../doubles/FakePort.h"

template <class DeviceModel>
class CSimDeviceFakePort : public CFakePort {
 public:
  template <class... Args>
  explicit CSimDeviceFakePort(Args&&... args) : Model(std::forward<Args>(args)...) {}

  HRESULT Write(const BYTE* data, UINT size, UINT timeout) override {
    const size_t scripted = ExchangesLeft();
    HRESULT hr = CFakePort::Write(data, size, timeout);
    if (FAILED(hr) || ExchangesLeft() < scripted) return hr;
    std::string reply;
    {
      std::lock_guard<std::mutex> hold(Mutex);
      reply = Model.Take(std::string(reinterpret_cast<const char*>(data), size));
    }
    if (!reply.empty()) Arrive(reply);
    return hr;
  }

  // Guarded by Mutex while the reader thread runs.
  std::mutex Mutex;
  DeviceModel Model;
};
