// The binary frame of readers in binary mode: STX, sequence, total length, command, payload and a
// 16-bit sum, the same layout both ways.
#pragma once

#include <string>

#include "FrameCodec.h"

// The commands; a reply carries its request's command and sequence.
constexpr BYTE kBinSignal = 0x20;              // code, value: the light and sound indication
constexpr BYTE kBinSearchStart = 0x23;         // opens a pass over the cards in the field
constexpr BYTE kBinSearchEnd = 0x24;           // closes the pass
constexpr BYTE kBinSetMode = 0x2F;             // text or binary mode, and the line speed
constexpr BYTE kBinNextCard = 0x43;            // the pass moves on to the next card
constexpr BYTE kBinSelectCard = 0x45;          // the card at the pass's position: ATQA, SAK, UID
constexpr BYTE kBinSelectUid = 0x46;           // the card with that UID
constexpr BYTE kBinActivate = 0x48;            // ISO 14443-4 activation: the ATS
constexpr BYTE kBinAuthClassic = 0x50;         // Mifare Classic authentication, given or stored keys
constexpr BYTE kBinReadBlock = 0x51;           // a Classic block, or four Ultralight pages
constexpr BYTE kBinWriteClassicBlock = 0x52;
constexpr BYTE kBinWriteUltralightPage = 0x53;
constexpr BYTE kBinStoreKey = 0x5F;            // a key into one of the reader's slots
constexpr BYTE kBinAuthPlus = 0x60;            // Mifare Plus authentication, given or stored keys
constexpr BYTE kBinReadPlusBlock = 0x61;
constexpr BYTE kBinWritePlusBlock = 0x62;
constexpr BYTE kBinCardCommand = 0x6E;         // an ISO 14443-4 command passed to the card as it is
static_assert(kBinUncheckedCommand == kBinSearchStart, "the search start's reply carries no sum");

// The status byte that opens every reply's data.
constexpr BYTE kBinStatusOk = 0x55;
constexpr BYTE kBinStatusNotSupported = 0x02;  // the activation: the reader cannot activate cards
constexpr BYTE kBinStatusAuthNoCard = 0x05;    // an authentication found no card selected
constexpr BYTE kBinStatusCardGone = 0x06;      // a block read or write found no card selected
constexpr BYTE kBinStatusAuthFailed = 0x08;    // the key is wrong
constexpr BYTE kBinStatusNoCard = 0x09;        // a selection found no (further) card
constexpr BYTE kBinStatusPlusBlock = 0x0D;     // a Plus authentication: the card has no such block

// The codes of the signal command (kBinSignal), by what the host uses them for.
constexpr BYTE kBinShowEmpty = 0x8B;    // the scan's indication of an empty field
constexpr BYTE kBinShowKey = 0x8E;      // the scan's indication of a field with keys
constexpr BYTE kBinShowNew = 0x30;      // or-ed into the scan's indication when a key has just come
constexpr BYTE kBinGreetNew = 0x20;     // the signal that follows, for a key that has just come
constexpr BYTE kBinSteadyEmpty = 0xAB;  // the indication a signal pattern gives way to: empty field
constexpr BYTE kBinSteadyKey = 0xAE;    // the same with keys in the field
constexpr BYTE kBinFarewell = 0x95;     // what a binary reader shows once the host lets it go
// A pattern step: three two-bit signs in the low bits; the first step of a restart replaces the
// pattern playing. A reply with both top bits set takes no more steps.
constexpr BYTE kBinPatternStep = 0x40;
constexpr BYTE kBinPatternRestart = 0xC0;
constexpr BYTE kBinPatternFull = 0xC0;

// The speeds of the mode command, by index; kBinKeepSpeed leaves the line as it is.
constexpr UINT kBinSpeeds[] = {9600, 19200, 38400, 57600, 115200, 230400};
constexpr int kBinKeepSpeed = -1;

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
