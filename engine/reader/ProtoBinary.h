// The binary frame of readers in binary mode: STX, sequence, total length, command, payload and a
// 16-bit sum, the same layout both ways.
#pragma once

#include <windows.h>

#include <string>

constexpr BYTE kBinStx = 0x02;
// STX, sequence, length, command and the two sum bytes.
constexpr int kBinOverhead = 6;
// The length byte counts the whole frame, so a payload cannot be longer.
constexpr int kBinMaxPayload = 255 - kBinOverhead;
// The one reply whose sum the readers do not keep.
constexpr BYTE kBinUncheckedCommand = 0x23;
constexpr BYTE kBinStatusOk = 0x55;

// The speeds of the mode command, by index; kBinKeepSpeed leaves the line as it is.
constexpr UINT kBinSpeeds[] = {9600, 19200, 38400, 57600, 115200, 230400};
constexpr int kBinKeepSpeed = -1;

// The frame of one request; length is cut to kBinMaxPayload.
std::string BuildBinFrame(BYTE sequence, BYTE command, const BYTE* payload, int length);

// S_OK with the frame's sequence, command and payload, or 0x80040218 for a frame that is short,
// does not start with STX, claims fewer bytes than its header and sum or more than count, or whose
// sum is wrong (unless it is the unchecked command).
HRESULT CheckBinFrame(const BYTE* buffer, int count, UINT* sequence, UINT* command, std::string* data);

// The card-flags word of a key found by the binary scan.
enum CARD_FLAGS : UINT {
  CF_ISO14443_4 = 0x01,
  CF_PLUS = 0x02,
  CF_PLUS_X = 0x04,
  CF_LEVEL_KNOWN = 0x08,
  CF_LEVEL = 0x30,
};

// Every key type the binary scan can find (9..21); without any of them no card search is made.
constexpr UINT kBinScanKeyTypes = 0x3FFE00;
// A binary reader that hears nothing for longer than this falls back to its own mode.
constexpr DWORD kBinKeepAlive = 18000;
// A pass handles at most this many cards.
constexpr int kBinScanCards = 16;
