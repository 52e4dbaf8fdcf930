// Test support: a Temic T5557 transponder as a text reader's "t57" commands reach it. Eight blocks
// of four bytes (block 0 the configuration, block 7 the password), the identification blocks 0x81 and
// 0x82, the one parameter pair it answers to, password mode, lock bits, and whether it is in the
// field at all. The reader's answer lines: "OK" for a write or the plain step, the eight hex digits
// of a block for a read, "ERR no T5557" when no transponder answered, "ERR" for a refused command.
//
// The simulator's thread (or the reader's, behind the fake port) asks it while the test changes it:
// every member takes its own mutex.
#pragma once

#include <windows.h>

#include <array>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using TemicBlock = std::array<BYTE, 4>;

class CTemicTransponder {
 public:
  CTemicTransponder();

  // The answer (line and CR LF) to one request beginning with "t57".
  std::string Answer(const std::string& request);
  // Answer as the text-reader simulator's Temic hook.
  std::function<std::string(const std::string&)> Hook() {
    return [this](const std::string& request) { return Answer(request); };
  }

  void SetInField(bool inField);
  // The pair (first, second parameter byte) it answers to.
  void SetPair(BYTE p0, BYTE p1);
  void SetId(const TemicBlock& block81, const TemicBlock& block82);
  void SetBlock(int block, const TemicBlock& data);
  TemicBlock Block(int block) const;
  // In password mode a command answers only with the password that block 7 holds.
  void SetPasswordMode(bool on);
  bool Locked(int block) const;
  // Writes of this block are refused with "ERR" (a damaged cell).
  void FailWrites(int block);
  // The next requests get these lines (CR LF added) instead of their answers, one each.
  void QueueAnswers(const std::vector<std::string>& lines);
  // Blocks written, in order.
  std::vector<int> Writes() const;

  // Called with each request before it is answered, on the thread that sent it, without the
  // transponder's lock (it may queue the answer to this very request). Set before the reader runs.
  std::function<void(const std::string&)> OnRequest;

 private:
  mutable std::mutex m_mutex;
  bool m_inField = true;
  BYTE m_p0 = 0x02, m_p1 = 0x00;
  TemicBlock m_id81 = {}, m_id82 = {};
  std::array<TemicBlock, 8> m_blocks = {};
  std::array<bool, 8> m_locked = {};
  std::array<bool, 8> m_failWrite = {};
  bool m_passwordMode = false;
  std::deque<std::string> m_queued;
  std::vector<int> m_writes;
};
