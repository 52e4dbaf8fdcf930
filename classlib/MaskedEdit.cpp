#include "MaskedEdit.h"

#include <algorithm>
#include <cwctype>

CMessageBeepSeam MessageBeepSeam;

void RefuseBeep() {
  if (MessageBeepSeam.MessageBeep)
    MessageBeepSeam.MessageBeep(UINT(-1));
  else
    MessageBeep(UINT(-1));
}

namespace {

bool KeyHeld(int key) { return GetKeyState(key) < 0; }

}  // namespace

// ---- Value ----

bool CMaskedEdit::IsValidChar(wchar_t ch, wchar_t maskChar) {
  switch (maskChar) {
    case L'*':
      return iswalnum(ch) || iswpunct(ch) || iswblank(ch);
    case L'+':
      return ch == L'+' || ch == L'-' || iswspace(ch);
    case L'A':
      return iswalnum(ch) != 0;
    case L'a':
      return iswalnum(ch) || iswspace(ch);
    case L'C':
      return iswalpha(ch) != 0;
    case L'c':
      return iswalpha(ch) || iswspace(ch);
    case L'D':
      return iswdigit(ch) != 0;
    case L'd':
      return iswdigit(ch) || iswspace(ch);
    default:
      return false;
  }
}

void CMaskedEdit::SetMask(const wchar_t* newMask, const wchar_t* newTemplate, const wchar_t* valid) {
  mask = newMask ? newMask : L"";
  inputTemplate = newTemplate ? newTemplate : L"";
  fillChar = L'0';
  value = inputTemplate;
  validChars = valid ? valid : L"";
}

wchar_t CMaskedEdit::MaskAt(int position) const {
  // A mask shorter than its template leaves the positions past it accepting nothing.
  return position >= 0 && size_t(position) < mask.size() ? mask[position] : L'\0';
}

bool CMaskedEdit::IsValidInput(wchar_t ch, int position) {
  if (HasMask()) {
    if (position < 0 || size_t(position) >= inputTemplate.size() || inputTemplate[position] != L'_')
      return false;
    if (!IsValidChar(ch, MaskAt(position))) return false;
  }
  return validChars.empty() || validChars.find(ch) != std::wstring::npos;
}

bool CMaskedEdit::SetValue(const wchar_t* textIn, bool withLiterals) {
  const std::wstring text = textIn ? textIn : L"";
  if (!HasMask()) {
    if (!validChars.empty()) {
      for (wchar_t ch : text)
        if (ch != fillChar && validChars.find(ch) == std::wstring::npos) return false;
    }
    value = text;
    return true;
  }
  const size_t inputCount = size_t(std::count(inputTemplate.begin(), inputTemplate.end(), L'_'));
  // The template bounds the text as well as the mask: a position past it could not be laid anywhere.
  const size_t limit = withLiterals ? std::min(mask.size(), inputTemplate.size()) : inputCount;
  if (text.size() > limit) return false;

  std::wstring result = inputTemplate;
  size_t next = 0;
  for (size_t pos = 0; pos < inputTemplate.size(); ++pos) {
    const bool input = inputTemplate[pos] == L'_';
    if (input) result[pos] = fillChar;
    if (next >= text.size()) continue;
    if (input) {
      const wchar_t ch = text[next++];
      if (ch != fillChar) {
        if (!validChars.empty() && validChars.find(ch) == std::wstring::npos) return false;
        if (!IsValidChar(ch, MaskAt(int(pos)))) return false;
      }
      result[pos] = ch;
    } else if (withLiterals) {
      if (text[next++] != inputTemplate[pos]) return false;
    }
  }
  value = result;
  return true;
}

void CMaskedEdit::GetValue(std::wstring& out) const {
  if (!HasMask()) {
    out = value;
    return;
  }
  out.clear();
  for (size_t pos = 0; pos < inputTemplate.size() && pos < value.size(); ++pos)
    if (inputTemplate[pos] == L'_') out += value[pos];
}

// ---- Groups and the control ----

std::vector<CMaskedEdit::Range> CMaskedEdit::Groups() const {
  std::vector<Range> groups;
  const int length = int(inputTemplate.size());
  for (int pos = 0; pos < length;) {
    if (inputTemplate[pos] != L'_') {
      ++pos;
      continue;
    }
    int end = pos;
    while (end < length && inputTemplate[end] == L'_') ++end;
    groups.push_back({pos, end});
    pos = end;
  }
  return groups;
}

int CMaskedEdit::GroupOf(const std::vector<Range>& groups, int position) const {
  for (size_t i = 0; i < groups.size(); ++i)
    if (position <= groups[i].end) return int(i);
  return -1;
}

CMaskedEdit::Range CMaskedEdit::RunAt(const Range& group, int position) const {
  const wchar_t kind = MaskAt(position);
  int start = position;
  while (start > group.start && MaskAt(start - 1) == kind) --start;
  int end = position;
  while (end < group.end && MaskAt(end) == kind) ++end;
  return {start, end};
}

void CMaskedEdit::GetSel(int* start, int* end) const {
  DWORD s = 0, e = 0;
  SendMessageW(hwnd, EM_GETSEL, WPARAM(&s), LPARAM(&e));
  *start = int(s);
  *end = int(e);
}

void CMaskedEdit::SetSelection(int start, int end) { SetSel(start, end); }

void CMaskedEdit::Replace(int start, int end, const std::wstring& text, int caret) {
  value.replace(size_t(start), size_t(end - start), text);
  SendMessageW(hwnd, EM_SETSEL, WPARAM(start), LPARAM(end));
  SendMessageW(hwnd, EM_REPLACESEL, TRUE, LPARAM(text.c_str()));
  SetSel(caret, caret);
}

void CMaskedEdit::ShowValue() {
  const bool wasBusy = busy;
  busy = true;
  SetWindowTextW(hwnd, value.c_str());
  busy = wasBusy;
}

std::wstring CMaskedEdit::ControlText() {
  const bool wasRaw = rawText;
  rawText = true;
  std::wstring text;
  GetWindowTextString(hwnd, text);
  rawText = wasRaw;
  return text;
}

bool CMaskedEdit::Revalidate(int start, int end) {
  if (busy) return true;
  const std::wstring text = ControlText();
  if (SetValue(text.c_str(), true)) return true;
  RefuseBeep();
  ShowValue();
  if (start != -1) SetSel(start, end);
  return false;
}

bool CMaskedEdit::SelectionInside(const Range& range, int start, int end) {
  if (start >= range.start && end <= range.end) return true;
  RefuseBeep();
  SetSel(range.start, range.end);
  return false;
}

// ---- Window procedure ----

LRESULT CMaskedEdit::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      const LRESULT created = Default();
      if (created != -1) ShowValue();
      return 0;
    }
    case WM_SETTEXT:
      if (busy || rawText) return Default();
      return OnSetText(reinterpret_cast<const wchar_t*>(lParam));
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
      if (rawText) return Default();
      return OnGetText(message, wParam, reinterpret_cast<wchar_t*>(lParam));
    case WM_CHAR: {
      const wchar_t ch = wchar_t(wParam);
      if (iswprint(ch) && !KeyHeld(VK_CONTROL)) return OnChar(ch);
      if (HasMask() && (ch == VK_BACK || ch == L'.')) return 0;
      int start = 0, end = 0;
      GetSel(&start, &end);
      const LRESULT answer = Default();
      Revalidate(start, end);
      return answer;
    }
    case WM_KEYDOWN:
      OnKeyDown(UINT(wParam));
      return 0;
    case WM_LBUTTONUP:
      OnLButtonUp();
      return Default();
    case WM_CUT:
    case WM_CLEAR:
    case WM_PASTE:
      return OnCutOrPaste(message);
    default:
      return CEdit::WindowProc(wnd, message, wParam, lParam);
  }
}

LRESULT CMaskedEdit::OnSetText(const wchar_t* text) {
  busy = true;
  LRESULT answer = FALSE;
  if (SetValue(text, !setInputOnly)) {
    if (value == (text ? text : L""))
      answer = Default();
    else
      answer = SetWindowTextW(hwnd, value.c_str());
  }
  busy = false;
  return answer;
}

LRESULT CMaskedEdit::OnGetText(UINT message, WPARAM size, wchar_t* buffer) {
  std::wstring text;
  if (getInputOnly)
    GetValue(text);
  else
    text = value;
  if (message == WM_GETTEXTLENGTH) return LRESULT(text.size());
  if (size == 0 || !buffer) return 0;
  const size_t copied = std::min(text.size(), size_t(size) - 1);
  std::copy_n(text.begin(), copied, buffer);
  buffer[copied] = L'\0';
  return LRESULT(copied);
}

LRESULT CMaskedEdit::OnChar(wchar_t ch) {
  const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
  if (style & ES_UPPERCASE)
    ch = wchar_t(towupper(ch));
  else if (style & ES_LOWERCASE)
    ch = wchar_t(towlower(ch));

  int start = 0, end = 0;
  GetSel(&start, &end);
  if (!HasTemplate()) {
    // A plain edit filtered by validChars: the control inserts, the result is checked.
    if (!IsValidInput(ch, start)) {
      RefuseBeep();
      return 0;
    }
    const LRESULT answer = Default();
    Revalidate(start, end);
    return answer;
  }

  const std::vector<Range> groups = Groups();
  const int index = GroupOf(groups, start);
  if (index < 0) {
    RefuseBeep();
    return 0;
  }
  if (!SelectionInside(groups[index], start, end)) return 0;
  const Range& group = groups[index];

  if (start == end) {
    int caret = start;
    int current = index;
    if (caret == group.end) {
      if (size_t(index + 1) >= groups.size()) {
        RefuseBeep();
        return 0;
      }
      current = index + 1;
      caret = groups[current].start;
      SetSel(caret, caret);
    }
    if (!IsValidInput(ch, caret)) {
      RefuseBeep();
      return 0;
    }
    int next = caret + 1;
    if (next == groups[current].end && size_t(current + 1) < groups.size()) next = groups[current + 1].start;
    Replace(caret, caret + 1, std::wstring(1, ch), next);
    return 0;
  }

  if (!IsValidInput(ch, start)) {
    RefuseBeep();
    return 0;
  }
  const Range run = RunAt(group, start);
  if (end > run.end) {
    RefuseBeep();
    SetSel(run.start, run.end);
    return 0;
  }
  // The typed character takes the selection's place; the run's rest follows it and fillChar pads.
  std::wstring replaced(1, ch);
  replaced += value.substr(size_t(end), size_t(run.end - end));
  replaced.append(size_t(end - start - 1), fillChar);
  Replace(start, run.end, replaced, start + 1);
  return 0;
}

void CMaskedEdit::OnKeyDown(UINT key) {
  if (HasTemplate() && inputTemplate.find(L'_') == std::wstring::npos) {
    RefuseBeep();
    return;
  }
  const bool shift = KeyHeld(VK_SHIFT);
  const bool ctrl = KeyHeld(VK_CONTROL);
  switch (key) {
    case VK_BACK:
      OnBackspace();
      return;
    case VK_DELETE:
      if (shift) {
        // The control cuts; should it do so without a WM_CUT of its own, the check below keeps
        // the template intact all the same.
        int start = 0, end = 0;
        GetSel(&start, &end);
        Default();
        Revalidate(start, end);
      } else {
        OnDelete();
      }
      return;
    case VK_INSERT:
      if (HasMask() && !ctrl && !shift) return;
      Default();
      return;
    case VK_HOME: {
      int start = 0, end = 0;
      GetSel(&start, &end);
      int caret = 0;
      const std::vector<Range> groups = Groups();
      if (!groups.empty()) {
        caret = groups.front().start;
        for (const Range& group : groups)
          if (group.start <= start) caret = group.start;
      }
      SetSel(caret, caret);
      return;
    }
    case VK_END: {
      int start = 0, end = 0;
      GetSel(&start, &end);
      int caret = int(ControlText().size());
      if (HasTemplate()) {
        const std::vector<Range> groups = Groups();
        if (!groups.empty()) {
          caret = groups.back().end;
          for (auto it = groups.rbegin(); it != groups.rend(); ++it)
            if (it->end >= end) caret = it->end;
        }
      }
      SetSel(caret, caret);
      return;
    }
    case VK_LEFT:
    case VK_UP:
      OnLeft(shift, ctrl);
      return;
    case VK_RIGHT:
    case VK_DOWN:
      OnRight(shift, ctrl);
      return;
    default:
      Default();
  }
}

void CMaskedEdit::OnLeft(bool shift, bool ctrl) {
  if (!HasTemplate()) {
    Default();
    return;
  }
  int start = 0, end = 0;
  GetSel(&start, &end);
  const std::vector<Range> groups = Groups();
  const int index = GroupOf(groups, start);
  if (shift) {
    int limit = groupSelect && index >= 0 ? groups[index].start : 0;
    limit = std::min(limit, start);
    // EM_SETSEL with the anchor at the end keeps the caret at the moving start.
    SendMessageW(hwnd, EM_SETSEL, WPARAM(end), LPARAM(std::max(start - 1, limit)));
    SendMessageW(hwnd, EM_SCROLLCARET, 0, 0);
    return;
  }
  if (ctrl) {
    int target = -1;
    for (size_t i = 0; i < groups.size(); ++i)
      if (groups[i].start <= start - 1) target = int(i);
    if (target < 0 || (groups[target].start == start && groups[target].end == end)) {
      RefuseBeep();
      return;
    }
    SetSel(groups[target].start, groups[target].end);
    return;
  }
  if (index < 0) {
    RefuseBeep();
    return;
  }
  const Range& group = groups[index];
  if (start != end || start > group.start) {
    const int caret = std::max(start - 1, group.start);
    SetSel(caret, caret);
  } else if (index > 0) {
    SetSel(groups[index - 1].end, groups[index - 1].end);
  } else {
    RefuseBeep();
  }
}

void CMaskedEdit::OnRight(bool shift, bool ctrl) {
  if (!HasTemplate()) {
    Default();
    return;
  }
  int start = 0, end = 0;
  GetSel(&start, &end);
  const std::vector<Range> groups = Groups();
  const int index = GroupOf(groups, end);
  if (shift) {
    int limit = groupSelect && index >= 0 ? groups[index].end : int(value.size());
    limit = std::max(limit, end);
    SetSel(start, std::min(end + 1, limit));
    return;
  }
  if (ctrl) {
    int target = -1;
    for (size_t i = 0; i < groups.size() && target < 0; ++i)
      if (groups[i].end > end) target = int(i);
    if (target < 0 || (groups[target].start == start && groups[target].end == end)) {
      RefuseBeep();
      return;
    }
    SetSel(groups[target].start, groups[target].end);
    return;
  }
  if (index < 0) {
    RefuseBeep();
    return;
  }
  const Range& group = groups[index];
  if (start != end || end < group.end) {
    const int caret = std::min(end + 1, std::max(group.end, end));
    SetSel(caret, caret);
  } else if (size_t(index + 1) < groups.size()) {
    SetSel(groups[index + 1].start, groups[index + 1].start);
  } else {
    RefuseBeep();
  }
}

bool CMaskedEdit::DeleteInRun(const Range& group, const Range& run, int from, int to) {
  // The characters that move are checked against the classes of the places they leave, as far as the
  // group reaches past the run; a hand-set value that breaks its mask is not shuffled further.
  const int beyond = group.end - run.end;
  for (int k = 0; k < beyond && size_t(from + k) < value.size(); ++k) {
    const wchar_t ch = value[from + k];
    if (ch != fillChar && !IsValidChar(ch, MaskAt(from + k))) {
      RefuseBeep();
      return false;
    }
  }
  std::wstring rest = value.substr(size_t(to), size_t(run.end - to));
  rest.append(size_t(to - from), fillChar);
  Replace(from, run.end, rest, from);
  return true;
}

void CMaskedEdit::OnBackspace() {
  int start = 0, end = 0;
  GetSel(&start, &end);
  if (!HasMask()) {
    Default();
    Revalidate(start, end);
    return;
  }
  const std::vector<Range> groups = Groups();
  const int index = GroupOf(groups, start);
  if (index < 0) {
    RefuseBeep();
    return;
  }
  if (!SelectionInside(groups[index], start, end)) return;
  const Range& group = groups[index];
  if (start != end) {
    OnDelete();
    return;
  }
  if (start == group.start) {
    if (index > 0)
      SetSel(groups[index - 1].end, groups[index - 1].end);
    else
      RefuseBeep();
    return;
  }
  DeleteInRun(group, RunAt(group, start - 1), start - 1, start);
}

void CMaskedEdit::OnDelete() {
  int start = 0, end = 0;
  GetSel(&start, &end);
  if (!HasMask()) {
    Default();
    Revalidate(start, end);
    return;
  }
  const std::vector<Range> groups = Groups();
  const int index = GroupOf(groups, start);
  if (index < 0) {
    RefuseBeep();
    return;
  }
  if (!SelectionInside(groups[index], start, end)) return;
  const Range& group = groups[index];
  if (start == end) {
    if (start == group.end) {
      RefuseBeep();
      return;
    }
    DeleteInRun(group, RunAt(group, start), start, start + 1);
    return;
  }
  const Range run = RunAt(group, start);
  if (end > run.end) {
    RefuseBeep();
    SetSel(run.start, run.end);
    return;
  }
  DeleteInRun(group, run, start, end);
}

void CMaskedEdit::OnLButtonUp() {
  if (!groupSelect) return;
  int start = 0, end = 0;
  GetSel(&start, &end);
  Range bounds{0, int(ControlText().size())};
  if (HasTemplate()) {
    const std::vector<Range> groups = Groups();
    if (groups.empty()) return;
    const int index = GroupOf(groups, start);
    bounds = index >= 0 ? groups[index] : groups.back();
  }
  const int newStart = std::clamp(start, bounds.start, bounds.end);
  const int newEnd = std::clamp(end, bounds.start, bounds.end);
  if (newStart != start || newEnd != end) SendMessageW(hwnd, EM_SETSEL, WPARAM(newStart), LPARAM(newEnd));
}

LRESULT CMaskedEdit::OnCutOrPaste(UINT message) {
  int start = 0, end = 0;
  GetSel(&start, &end);
  busy = true;
  // The old text is taken before the control changes it.
  std::wstring old;
  int insertAt = start;
  if (message == WM_PASTE && setInputOnly) {
    GetValue(old);
    insertAt = 0;
    for (int pos = 0; pos < start && size_t(pos) < inputTemplate.size(); ++pos)
      if (inputTemplate[pos] == L'_') ++insertAt;
    if (!HasMask()) insertAt = start;
  } else {
    old = value;
  }
  Default();
  const std::wstring after = ControlText();

  bool accepted = false;
  if (message == WM_PASTE) {
    int caretStart = 0, caret = 0;
    GetSel(&caretStart, &caret);
    // What the control put in: from the old selection start to the caret.
    std::wstring pasted;
    if (caret > start && size_t(caret) <= after.size())
      pasted = after.substr(size_t(start), size_t(caret - start));
    const size_t at = std::min(size_t(insertAt), old.size());
    std::wstring candidate = old.substr(0, at) + pasted;
    if (HasMask()) {
      // Overwrite: the paste covers as many old characters as it brings.
      if (at + pasted.size() < old.size()) candidate += old.substr(at + pasted.size());
    } else {
      // Insert in place of the selection; the selected text is what the paste replaced.
      const size_t selectionLength = size_t(end - start);
      if (at + selectionLength < old.size()) candidate += old.substr(at + selectionLength);
    }
    accepted = SetValue(candidate.c_str(), !setInputOnly);
  } else {
    accepted = SetValue(after.c_str(), true);
  }
  if (!accepted) RefuseBeep();
  ShowValue();
  int caret = start;
  if (groupSelect && HasTemplate()) {
    const std::vector<Range> groups = Groups();
    const int index = GroupOf(groups, start);
    if (index >= 0) caret = groups[index].start;
  }
  SetSel(caret, caret);
  busy = false;
  return 0;
}
