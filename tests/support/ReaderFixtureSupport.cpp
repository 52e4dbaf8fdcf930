#include "ReaderFixture.h"

#include "Core.h"

void PostCommand(CReader& reader, const std::shared_ptr<_CMD_INFO>& record) {
  CCriticalSectionLock lock(&reader.Lock);
  reader.Command = record;
  reader.CommandStatus = E_PENDING;
}

// The reader's thread takes its language from the add-in locale, not from the thread that starts it.
ReaderFixture::ReaderFixture() : m_savedLcid(g_lcid) { g_lcid = MAKELCID(kEnglish, SORT_DEFAULT); }

ReaderFixture::~ReaderFixture() { g_lcid = m_savedLcid; }

void ReaderFixture::TearDown() {
  // Running cleared first, as a stopping thread has it: the farewell on a port the test's thread left
  // open then waits for no reply.
  reader.Running = 0;
  reader.Stop();
}

void ReaderFixture::UseRealTime() { clock.FollowSystemFrom(GetTickCount()); }

void ReaderFixture::AddFormat(UINT id, const wchar_t* formatTemplate, const wchar_t* params) {
  _FORMAT_INFO format;
  format.Id = id;
  format.Template = formatTemplate;
  format.Params = params;
  context.Formats.push_back(format);
}

void ReaderFixture::UseSeriesNumberFormat() {
  AddFormat(1, L"%.3u,%.5u", L"b2 w01");
  context.DefaultFormatId = 1;
}

void ReaderFixture::InitReader(UINT requestTimeout, UINT requestTries) {
  reader.Init(&events, L"COM3");
  reader.SetTimeouts(10000, 3000, INFINITE, requestTimeout, requestTries);
  reader.Running = 1;
}

bool ReaderFixture::Connected(UINT mode, UINT model) {
  if (!reader.OpenPort(PK_COM, L"COM3", 9600, 0, 1000, INFINITE)) return false;
  reader.State = RS_CONNECTED;
  reader.Mode = mode;
  reader.Model = model;
  return true;
}

HRESULT ReaderFixture::Run(const std::shared_ptr<_CMD_INFO>& record) {
  PostCommand(reader, record);
  record->Handler(&reader, record.get());
  return reader.CommandStatus;
}
