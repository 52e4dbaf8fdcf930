#include "Clock.h"

namespace {

class CSystemClock : public IClock {
 public:
  DWORD Now() override { return GetTickCount(); }
};

CSystemClock s_systemClock;

}  // namespace

IClock& SystemClock() { return s_systemClock; }

IClock* g_pClock = &s_systemClock;
