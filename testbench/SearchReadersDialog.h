#pragma once
// The reader search dialog: steps the hosted add-in's reader search with "FindNext" (never waiting: one
// pass now and one at each tick of timer 1) and lists every reader found. Each search ends in Finish,
// which calls "FindClose" exactly once, whichever way it ends.
#include <windows.h>

#include <cstdint>
#include <string>

#include "Dialog.h"

class CTestVombra;

class CSearchReadersDialog : public CModalDialog {
 public:
  explicit CSearchReadersDialog(CTestVombra* host);
  ~CSearchReadersDialog() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;

  // Empties the results and starts a search with its first step; nothing while one runs.
  void Start();
  // One step of a running search. A failing call adds its text as a result line and finishes.
  void Step();
  // Ends a running search: timer, "FindClose", progress bar, status, buttons. `failed`: the search ended
  // on an error, whose text is already among the results.
  void Finish(bool failed = false);

  CTestVombra* host;
  bool searching = false;  // timer 1 runs and the add-in's search is open
  int found = 0;           // readers listed in the current search

 private:
  // "FindNext" until it answers false, then its last error. The lines of the readers found go to
  // `lines`; the result tells how the search goes on.
  enum class StepEnd { Continue, Done, Failed };
  StepEnd RunStep(std::wstring& lines);
  void Append(const std::wstring& text);
  void UpdateButtons();
};

// One line of the results: the port, " - " and the model's name (unknown models as "?"), " s/n N" unless
// the serial number is -1, " vX" unless the version is 0, and CR LF.
void FoundReaderLine(const std::wstring& port, int32_t model, int32_t serialNumber, uint32_t version,
                     std::wstring& out);
