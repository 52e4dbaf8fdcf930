// Mifare card kinds and memory layout shared by the card scan, PC/SC card access and the card
// commands: which held cards speak Classic or Plus, and how sectors and blocks are laid out.
#pragma once

#include "KeyModel.h"

// Card flags (CARD_FLAGS): ISO 14443-4 and a known security level.
constexpr UINT kCardLevelKnown = 0x09;
constexpr UINT kCardLevelMask = 0x30;

// Speaks Mifare Classic: a Classic key type, or a card at security level 1.
inline bool IsClassicKind(UINT keyType, UINT flags) {
  return keyType == KT_MIFARE_1K || keyType == KT_MIFARE_4K || keyType == KT_MIFARE_MINI ||
         ((flags & kCardLevelKnown) == kCardLevelKnown && (flags & kCardLevelMask) == 0x10);
}

// Speaks Mifare Plus: a Plus or Smart MX key type at security level 3.
inline bool IsPlusKind(UINT keyType, UINT flags) {
  return keyType >= KT_MIFARE_PLUS && keyType <= KT_SMART_MX_4K &&
         (flags & kCardLevelKnown) == kCardLevelKnown && (flags & kCardLevelMask) == 0x30;
}

// The layout the card commands walk, by the held card's key type.
struct MifareGeometry {
  int Sectors;
  int Blocks;
};

inline MifareGeometry CommandGeometry(UINT keyType) {
  switch (keyType) {
    case KT_MIFARE_1K:
    case KT_MIFARE_PLUS_1K:
    case KT_SMART_MX_1K:
      return {16, 64};
    case KT_MIFARE_2K:
    case KT_MIFARE_PLUS_2K:
      return {32, 128};
    case KT_MIFARE_4K:
    case KT_MIFARE_PLUS_4K:
    case KT_SMART_MX_4K:
      return {40, 256};
    default:
      return {5, 20};
  }
}

// Sectors below 32 have 4 blocks, the rest 16; the last block of a sector is its trailer.
inline int SectorLastBlock(int sector) { return sector < 32 ? 3 : 15; }

inline int AbsoluteBlock(int sector, int block) {
  return sector < 32 ? 4 * sector + block % 4 : 16 * (sector - 24) + block % 16;
}

// Steps (sector, block, absolute) to the next block, wrapping from the card's last block to block 0.
inline void NextBlock(const MifareGeometry& geometry, int& sector, int& block, int& absolute) {
  absolute = (absolute + 1) % geometry.Blocks;
  if (block + 1 > SectorLastBlock(sector)) {
    sector = (sector + 1) % geometry.Sectors;
    block = 0;
  } else {
    ++block;
  }
}
