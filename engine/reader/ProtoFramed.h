// The byte-stuffed frames of model 9: every frame ends with 0xC0; inside a frame 0xC0 and the escape
// byte 0xDB travel as two-byte sequences. A request is command, payload and a check byte that makes
// the sum of the three 0 modulo 256; a reply is command, status, data and check.
#pragma once

#include <windows.h>

#include <string>

constexpr BYTE kFrameEnd = 0xC0;
constexpr BYTE kFrameEscape = 0xDB;
constexpr BYTE kFrameEscapedEnd = 0x01;     // DB 01 stands for C0
constexpr BYTE kFrameEscapedEscape = 0xDD;  // DB DD stands for DB
constexpr BYTE kFramedStatusOk = 0xAA;

constexpr BYTE kFramedQueryKeys = 0x61;
constexpr BYTE kFramedIndicate = 0x02;

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
