// The byte-level side of the binary and the model-9 framed protocols: building and checking frames,
// the byte stuffing, and taking one reply out of the receive buffer. No I/O and no Windows header, so
// that the native sanitizer build and its fuzzers compile it as it is.
#pragma once

#include <string>

#include "KeyModel.h"
#include "PlatformTypes.h"

// ---- the binary frame: STX, sequence, total length, command, payload, 16-bit sum ----

constexpr BYTE kBinStx = 0x02;
// STX, sequence, length, command and the two sum bytes.
constexpr int kBinOverhead = 6;
// The length byte counts the whole frame, so a payload cannot be longer.
constexpr int kBinMaxPayload = 255 - kBinOverhead;
// The one reply whose sum the readers do not keep (the search start).
constexpr BYTE kBinUncheckedCommand = 0x23;

// The frame of one request; length is cut to kBinMaxPayload.
std::string BuildBinFrame(BYTE sequence, BYTE command, const BYTE* payload, int length);

// S_OK with the frame's sequence, command and payload, or 0x80040218 for a frame that is short,
// does not start with STX, claims fewer bytes than its header and sum or more than count, or whose
// sum is wrong (unless it is the unchecked command).
HRESULT CheckBinFrame(const BYTE* buffer, int count, UINT* sequence, UINT* command, std::string* data);

// What a reply scan found in the receive buffer: a whole reply (taken out), a frame it dropped (scan
// again), or too few bytes yet.
enum class ReplyScan { kTaken, kDropped, kIncomplete };

// One step of reading a binary reply out of rx: noise before STX goes, a bad frame loses its STX, a
// good frame is taken out; its payload lands in *data only when its sequence is the one awaited.
ReplyScan ScanBinReply(std::string& rx, BYTE sequence, std::string* data);

// ---- the framed protocol of model 9: byte-stuffed frames ending with 0xC0 ----

constexpr BYTE kFrameEnd = 0xC0;
constexpr BYTE kFrameEscape = 0xDB;
constexpr BYTE kFrameEscapedEnd = 0x01;     // DB 01 stands for C0
constexpr BYTE kFrameEscapedEscape = 0xDD;  // DB DD stands for DB
constexpr BYTE kFramedStatusOk = 0xAA;

// Appends the escaped form of count bytes.
void StuffBytes(std::string* out, const BYTE* data, int count);
// Appends the decoded bytes; an escape byte followed by anything else, or at the very end, yields
// nothing.
void UnstuffBytes(const BYTE* data, int count, std::string* out);
// The whole request frame: escaped command, payload and check, then the delimiter.
std::string BuildFramedRequest(BYTE command, const BYTE* payload, int length);
// One received frame (its bytes up to and including the delimiter): S_OK with its command and the
// body between command and check, or 0x80040218 for a frame shorter than 3 bytes or whose decoded
// bytes do not sum to 0 modulo 256.
HRESULT DecodeFramedReply(const BYTE* frame, int count, UINT* command, std::string* body);

// One step of reading a framed reply out of rx: each frame goes up to its delimiter; the body lands
// in *body only for a good frame that answers command.
ReplyScan ScanFramedReply(std::string& rx, BYTE command, std::string* body);

// The keys of a key-query reply's data (the bytes after the status): with status ok a Temic code and
// then an Em-Marine code, each only when whole; otherwise an Em-Marine code when the first byte says
// one follows. Codes not there come back empty.
void ParseFramedKeys(bool statusOk, const std::string& data, _KEYNUM_INFO* emMarine, _KEYNUM_INFO* temic);
