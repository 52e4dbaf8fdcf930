// An edit control that takes input only where a template allows it: overwrite typing inside the input
// groups of the template, fixed literals between them, per-position character classes and an optional
// list of valid characters. Everything it refuses is answered with a beep. GUI thread only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Controls.h"

// The beep behind every refusal. The program keeps the system's; a test counts them.
struct CMessageBeepSeam {
  // Null: the system's MessageBeep.
  BOOL(WINAPI* MessageBeep)(UINT) = nullptr;
};
extern CMessageBeepSeam MessageBeepSeam;

// Beeps through the seam with MessageBeep(-1).
void RefuseBeep();

class CMaskedEdit : public CEdit {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // Whether `ch` fits mask character `maskChar`: '*' printable, '+' sign or blank, 'A' letter or digit,
  // 'a' letter, digit or blank, 'C' letter, 'c' letter or blank, 'D' digit, 'd' digit or blank.
  virtual bool IsValidChar(wchar_t ch, wchar_t maskChar);

  // Stores mask and template ('_' = input position, anything else a literal), fillChar '0', value = the
  // template, validChars = `valid` (empty for null). The control's text is not touched.
  void SetMask(const wchar_t* mask, const wchar_t* inputTemplate, const wchar_t* valid);
  // With a mask: an input position whose mask class takes `ch`; then `ch` must be in validChars when
  // that is not empty.
  bool IsValidInput(wchar_t ch, int position);
  // Lays `text` (with or without the literals) over the template; false leaves value unchanged.
  bool SetValue(const wchar_t* text, bool withLiterals);
  // With a mask, the characters at the input positions; without, value.
  void GetValue(std::wstring& out) const;

  std::wstring value;
  std::wstring mask;
  std::wstring inputTemplate;
  wchar_t fillChar = L' ';
  std::wstring validChars;
  bool getInputOnly = true;
  bool setInputOnly = false;
  bool groupSelect = true;
  bool rawText = false;
  bool busy = false;

 private:
  struct Range {
    int start;
    int end;
  };

  bool HasMask() const { return !mask.empty(); }
  bool HasTemplate() const { return !inputTemplate.empty(); }
  wchar_t MaskAt(int position) const;
  std::vector<Range> Groups() const;
  // The group containing the position or ending just before it, else the next one to its right; -1.
  int GroupOf(const std::vector<Range>& groups, int position) const;
  // The maximal run of equal mask characters inside `group` that contains `position`.
  Range RunAt(const Range& group, int position) const;
  void GetSel(int* start, int* end) const;
  void SetSelection(int start, int end);
  // Replaces [start, end) of the control and of value by `text`, then puts the caret at `caret`.
  void Replace(int start, int end, const std::wstring& text, int caret);
  // Sets the control's text to value, passing our own WM_SETTEXT through.
  void ShowValue();
  std::wstring ControlText();
  bool Revalidate(int start, int end);

  LRESULT OnSetText(const wchar_t* text);
  LRESULT OnGetText(UINT message, WPARAM size, wchar_t* buffer);
  LRESULT OnChar(wchar_t ch);
  void OnKeyDown(UINT key);
  void OnLeft(bool shift, bool ctrl);
  void OnRight(bool shift, bool ctrl);
  void OnBackspace();
  void OnDelete();
  // Removes [from, to) inside `run` (the run shifts left, fillChar pads its end) and puts the caret at
  // `from`; false (after a beep) when a character that would move fails its own position's class.
  bool DeleteInRun(const Range& group, const Range& run, int from, int to);
  void OnLButtonUp();
  LRESULT OnCutOrPaste(UINT message);
  // Beeps and selects `range` unless the selection lies inside it; true when it does.
  bool SelectionInside(const Range& range, int start, int end);
};
