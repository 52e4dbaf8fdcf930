#include "VombraContext.h"

IVombraContext* g_pVombra = nullptr;
