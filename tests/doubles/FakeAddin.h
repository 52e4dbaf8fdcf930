// The scripted fake add-in's shared state: the test reads and steers it through the fake's exported
// FakeAddinState while the host holds the library. Plain data only: the fake and the test each have
// their own run-time.
#pragma once

#include <cstdint>

// Set before Load, read by the fake when the host creates and initialises it.
#define FAKE_ADDIN_SCRIPT_VARIABLE L"VOMBRA_FAKE_SCRIPT"  // "create-fails", "memory-refused", "init-fails"
constexpr long kFakeInitFailDepth = 3;  // the depth "init-fails" asks for before it fails

struct FakeAddinCall {
  wchar_t Name[32];
  long Count;
  uint16_t ResultType;  // the return value's type as the host handed it in
  uint16_t Types[12];
  wchar_t Texts[12][48];  // PWSTR parameters as passed
  uint32_t Numbers[12];   // I4, UI4 and BOOL parameters as passed
};

// One reader the fake describes through GetReaderInfo and GetStatus.
struct FakeReaderInfo {
  wchar_t DeviceId[16];
  int32_t Model;
  int32_t SerialNumber;
  uint32_t Version;
  int32_t Status;
  bool Unknown;    // GetReaderInfo answers false
  bool OddTypes;   // serial number a UI4, version an I4
};

// One answer of "FindNext" in the fake's search script.
enum FakeFindKind : int32_t {
  FAKE_FIND_READER = 0,  // true with the reader's outputs
  FAKE_FIND_FALSE,       // false; GetLastError then answers Code and Text
  FAKE_FIND_REFUSE,      // the call fails, with Text through AddError 1004
  FAKE_FIND_THROW,       // a C++ exception whose message is Text, escaping the component
};

struct FakeFindAnswer {
  int32_t Kind;
  wchar_t Port[24];
  int32_t Model;
  int32_t SerialNumber;
  uint32_t Version;
  bool OddTypes;  // port an I4, model a text, serial number a UI4, version an I4
  int32_t Code;
  wchar_t Text[64];
};

struct FakeAddinState {
  // Steering.
  int32_t KeyType;             // GetKeyInfo: the type put in parameter 4 (as I4)
  uint32_t KeyLength;          // GetKeyInfo: the bytes put in parameter 5 (0x11, 0x12, ...)
  bool OddOutValues;           // out values that are not texts: Open's ID an I4, CheckFormat's position a text
  wchar_t DeviceId[32];        // what Open returns
  bool FailNext;               // the next call returns false
  wchar_t FailDescription[128];  // reported through AddError 1004 with the failure when not empty
  // Seen.
  int Calls;
  FakeAddinCall Journal[64];
  int DoneCalls;
  int SetLocaleCalls;
  wchar_t Locale[16];
  int32_t EventsAccepted;   // ExternalEvent answers true
  int32_t EventsRefused;    // ExternalEvent answers false
  // The raw-slot probe's findings, one per check: 1 held, 0 failed.
  int SlotChecks;
  wchar_t SlotFailure[128];  // the first failed check
  // Readers by ID; GetStatus answers 3 and GetReaderInfo false for an ID not listed.
  FakeReaderInfo Readers[8];
  int ReaderCount;
  // The reader search: "FindNext" takes the script's answers in order and, past its end, answers false
  // with "No more readers."; "FindClose" counts and, with FindCloseThrows, throws afterwards.
  FakeFindAnswer Find[16];
  int FindCount;
  int FindNextCalls;
  int FindCloseCalls;
  bool FindCloseThrows;
  int32_t LastErrorCode;       // GetLastError's code when not 0 (else 0x80040233)
  // The driver description the Connection dialog reads.
  wchar_t Version[16];          // GetVersion's text; empty: an I4 comes back instead
  wchar_t Parameters[6144];     // GetParameters' settings description
  bool ParametersNotText;       // GetParameters puts an I4 where the description goes
  wchar_t Actions[1024];        // GetAdditionalActions' description
  wchar_t TestText[128];        // DeviceTest's description
  wchar_t LastErrorText[128];   // GetLastError's text when not empty (else "Device is not open.")
  wchar_t Refuse[32];           // this method answers false ...
  int RefuseAt;                 // ... on its RefuseAt-th call from here (1 the next; 0 every call)
  int RefuseSeen;               // its calls counted so far
  wchar_t Throw[32];            // this method's call itself fails: the host throws
};

typedef FakeAddinState* (*PFN_FAKE_ADDIN_STATE)();
