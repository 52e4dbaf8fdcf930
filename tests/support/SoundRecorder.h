// Test support: stands in for the two Windows sound calls of the add-in and records what would have
// played — each PlaySoundW file with its flags and each MCI command string, with the thread that
// made the call. Header only: it reaches the add-in's call table, which only the add-in suites link.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "Sounds.h"

struct RecordedSoundCall {
  std::wstring Text;  // the file of PlaySoundW, or the MCI command
  DWORD Flags;        // PlaySoundW only
  DWORD Thread;
};

class CSoundRecorder {
 public:
  CSoundRecorder() : m_saved(g_SoundCalls) {
    Current() = this;
    g_SoundCalls.PlaySound = &CSoundRecorder::Play;
    g_SoundCalls.SendMciString = &CSoundRecorder::Mci;
  }
  ~CSoundRecorder() {
    g_SoundCalls = m_saved;
    Current() = nullptr;
  }
  CSoundRecorder(const CSoundRecorder&) = delete;
  CSoundRecorder& operator=(const CSoundRecorder&) = delete;

  std::vector<RecordedSoundCall> Plays() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_plays;
  }
  std::vector<RecordedSoundCall> Commands() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_commands;
  }
  std::vector<std::wstring> CommandTexts() const {
    std::vector<std::wstring> texts;
    for (const RecordedSoundCall& call : Commands()) texts.push_back(call.Text);
    return texts;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_plays.clear();
    m_commands.clear();
  }
  // The answer MCI gives to "open" commands (0 = the file opened); other commands answer 0.
  void SetOpenAnswer(MCIERROR answer) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_openAnswer = answer;
  }

 private:
  static CSoundRecorder*& Current() {
    static CSoundRecorder* current = nullptr;
    return current;
  }
  static BOOL WINAPI Play(LPCWSTR sound, HMODULE, DWORD flags) {
    CSoundRecorder* self = Current();
    std::lock_guard<std::mutex> hold(self->m_lock);
    self->m_plays.push_back({sound ? sound : L"", flags, GetCurrentThreadId()});
    return TRUE;
  }
  static MCIERROR WINAPI Mci(LPCWSTR command, LPWSTR, UINT, HWND) {
    CSoundRecorder* self = Current();
    std::lock_guard<std::mutex> hold(self->m_lock);
    std::wstring text = command ? command : L"";
    self->m_commands.push_back({text, 0, GetCurrentThreadId()});
    return text.compare(0, 5, L"open ") == 0 ? self->m_openAnswer : 0;
  }

  SoundCalls m_saved;
  mutable std::mutex m_lock;
  std::vector<RecordedSoundCall> m_plays;
  std::vector<RecordedSoundCall> m_commands;
  MCIERROR m_openAnswer = 0;
};
