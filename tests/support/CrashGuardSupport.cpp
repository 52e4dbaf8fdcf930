// Linked into every test executable. Under Wine an unhandled exception exits with status 0 or 5 at
// random, so a crashing test could pass; this makes every crash exit with 99 and say so on stderr.
#include <windows.h>

#include <cstdio>

namespace {

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* e) {
  std::fprintf(stderr, "FATAL: unhandled SEH exception 0x%08lX at %p\n", e->ExceptionRecord->ExceptionCode,
               e->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 99);
  return EXCEPTION_EXECUTE_HANDLER;
}

const bool installed = (SetUnhandledExceptionFilter(OnUnhandled), true);

}  // namespace
