// A fake Excel and Calc for the automation tests: an in-process IDispatch server registered under the
// ProgIDs "Excel.Application" and "com.sun.star.ServiceManager" for the test's lifetime, so the product's
// CLSIDFromProgID / CoCreateInstance path runs unchanged. Every Invoke is journaled; argument counts,
// types and array shapes are checked strictly (a wrong one fails the call with DISP_E_TYPEMISMATCH and
// is journaled with "!bad"); any step can be made to fail; every object's references are counted.
//
// Workbooks live on disk in the fake's own text form, so what one export saved is served back by the next
// import in the office's real shapes: Excel numbers as VT_R8, blank cells VT_EMPTY, text that looks like
// a number stored as a number unless the cell's NumberFormat is "@"; Calc numbers as doubles and blank
// cells as "".
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct FakeCell {
  VARTYPE vt = VT_EMPTY;  // VT_EMPTY, VT_R8 or VT_BSTR
  double number = 0;
  std::wstring text;
};

// Cells by (row, column), both 1-based.
using FakeSheet = std::map<std::pair<int, int>, FakeCell>;

class FakeObject;

// The ProgID keys are one per test prefix: a suite that registers the fake, or asserts that no office is
// installed, holds this across processes for that span.
class FakeOfficeProgIdLock {
 public:
  FakeOfficeProgIdLock();
  ~FakeOfficeProgIdLock();
  FakeOfficeProgIdLock(const FakeOfficeProgIdLock&) = delete;
  FakeOfficeProgIdLock& operator=(const FakeOfficeProgIdLock&) = delete;

 private:
  HANDLE m_mutex;
};

class FakeOffice {
 public:
  // Registers the class objects and the ProgIDs; the test thread must have COM initialised.
  FakeOffice();
  ~FakeOffice();
  FakeOffice(const FakeOffice&) = delete;
  FakeOffice& operator=(const FakeOffice&) = delete;

  static void WriteWorkbook(const std::wstring& path, const FakeSheet& sheet);
  static bool ReadWorkbook(const std::wstring& path, FakeSheet& sheet);

  // A document the user has open in Calc before the test runs (URL as the office names it).
  void OpenUserDocument(const std::wstring& url);
  bool IsUserDocumentOpen() const;

  // References held by the product on live fake objects (the fake's own on open documents excluded).
  long OutstandingReferences() const;

  // Steering.
  int failAt = 0;                 // the 1-based journal step whose call fails; 0: none
  HRESULT failWith = DISP_E_EXCEPTION;
  bool failCreate = false;        // CoCreateInstance of either ProgID fails (the office does not start)

  // Seen.
  std::vector<std::wstring> journal;
  std::vector<std::wstring> savedPaths;  // SaveAs / storeAsURL targets as files
  std::vector<std::wstring> savedUrls;   // storeAsURL targets as given
  int quits = 0;
  int terminates = 0;
  bool visible = false;
  bool displayAlerts = true;
  bool enableEvents = true;
  int controllerLocks = 0;  // on open documents (closing a document ends its locks)
  int actionLocks = 0;
  std::vector<std::wstring> openDocuments;  // Calc: URLs of components on the desktop, private ones ""

  // Internal to the fake's objects.
  bool Step(const std::wstring& entry);  // journals; false when this step is to fail
  std::set<FakeObject*> live;
  std::vector<FakeObject*> components;   // Calc desktop's documents (one reference each)
  FakeObject* userDocument = nullptr;

 private:
  DWORD m_excelCookie = 0;
  DWORD m_calcCookie = 0;
  IClassFactory* m_excelFactory = nullptr;
  IClassFactory* m_calcFactory = nullptr;
  FakeOfficeProgIdLock m_lock;
};

// The test's normalisation of temporary names: every savedPaths entry in `journal` becomes "<temp>",
// and its URL form "<temp-url>".
std::vector<std::wstring> NormalisedJournal(const FakeOffice& office);
