// Test helper of the card-command suites: an add-in object with a fake host and one registered
// reader whose thread never runs, so that what a method posts stays in the reader's slot. The test
// plays the reader thread: it reads the posted record, fills results and completes it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "MethodCallFixture.h"
#include "Reader.h"

constexpr HRESULT kPending = HRESULT(0x8000000A);
constexpr HRESULT kAbort = HRESULT(0x80004004);
constexpr HRESULT kNotOpened = HRESULT(0x80040233);
constexpr HRESULT kNotSupported = HRESULT(0x8004021E);
constexpr HRESULT kNoKey = HRESULT(0x8004021A);

class CommandTest : public MethodCallTest {
 protected:
  void SetUp() override {
    MethodCallTest::SetUp();
    // Init, which makes the event, is not run: it would read the registry.
    addin.CommandEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, addin.CommandEvent);
    std::unique_ptr<CReader> reader(new CReader);
    reader->Init(static_cast<IReaderEvents*>(&addin), L"COM9");
    Reader = reader.get();
    addin.Readers.emplace(L"COM9", std::move(reader));
    addin.DeviceIds.emplace(kId, _DEVICEID_INFO{-1, Reader});
    // The same port reached as a converter address, for the converter refusals.
    addin.DeviceIds.emplace(kConverterId, _DEVICEID_INFO{5, Reader});
  }
  void TearDown() override {
    addin.StopReaders();
    MethodCallTest::TearDown();
  }

  // The slot's record and status, as the reader thread sees them.
  std::shared_ptr<_CMD_INFO> Slot() {
    CCriticalSectionLock lock(&Reader->Lock);
    return Reader->Command;
  }
  HRESULT Status() { return Reader->CommandStatus; }

  // The bytes of a BLOB output; frees the host's block.
  std::string TakeBlob(tVariant& value) {
    EXPECT_EQ(VTYPE_BLOB, value.vt);
    std::string bytes;
    if (value.vt == VTYPE_BLOB && value.pstrVal) bytes.assign(value.pstrVal, value.strLen);
    host.FreeVariant(value);
    return bytes;
  }

  // Waits until a host thread has posted a command and waits for it (generous limit).
  bool WaitForWaiter(DWORD timeout = 20000) {
    const DWORD start = GetTickCount();
    do {
      {
        CCriticalSectionLock lock(&addin.Lock);
        if (!addin.CommandWaits.empty() && Status() == kPending) return true;
      }
      Sleep(5);
    } while (GetTickCount() - start < timeout);
    return false;
  }

  const std::wstring kId = L"COM9";
  const std::wstring kConverterId = L"COM9\\5";
  CReader* Reader = nullptr;
};

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += char(v);
  return out;
}
