// What both format benchmarks measure: the same two formats and the same rate loop, so their
// figures can be compared.
#pragma once

#include <chrono>
#include <cstddef>

struct BenchFormat {
  const char* name;
  const wchar_t* templ;
  const wchar_t* params;
};

inline const BenchFormat kFormats[] = {
    {"built-in", L"%.3u,%.5u", L"b2 w01"},
    {"complex", L"[%08llX] %.3u,%.5u\\t%u %s %c",
     L"w2(26, 1, b0, b1, b2), b2, w01, ds(1, 1, b0, b1, b2, b3, b4, b5) ^ rbit(2, l3210 & 0xFFFF),"
     L" set(1, lh0123ZZZZ * 3) - get(1) / 2 + (bx << 4 | by), 0x41 + log10(m01234567) % 26"},
};

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs f for about half a second and answers calls per second.
template <class F>
double Rate(F f) {
  using Clock = std::chrono::steady_clock;
  size_t calls = 0;
  const auto start = Clock::now();
  Clock::duration elapsed{};
  do {
    for (int i = 0; i < 1000; ++i) f(i);
    calls += 1000;
    elapsed = Clock::now() - start;
  } while (elapsed < std::chrono::milliseconds(500));
  return double(calls) / Seconds(elapsed);
}
