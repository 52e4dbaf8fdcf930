// The byte-stuffed frames of model 9: every frame ends with 0xC0; inside a frame 0xC0 and the escape
// byte 0xDB travel as two-byte sequences. A request is command, payload and a check byte that makes
// the sum of the three 0 modulo 256; a reply is command, status, data and check.
#pragma once

#include <string>

#include "FrameCodec.h"

constexpr BYTE kFramedQueryKeys = 0x61;
constexpr BYTE kFramedIndicate = 0x02;
