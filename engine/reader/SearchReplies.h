// The byte-level side of the reader search: a converter's answer to the UDP search and the first line
// of an identification over a candidate port. No I/O and no Windows header, so that the native
// sanitizer build and its fuzzers compile it as it is.
#pragma once

#include <cstddef>
#include <string>

#include "PlatformTypes.h"

// The converter's reply: the two (port, address) pairs of its channels. False for a malformed reply.
bool ParseIpSearchReply(const char* reply, size_t length, UINT ports[2], std::string addresses[2]);

// The whole first line has come: a carriage return after at least one byte of the line. Line feeds
// and carriage returns left over from an earlier answer start no line.
bool HasLineEnd(const std::string& text);
