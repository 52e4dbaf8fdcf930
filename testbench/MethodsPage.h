#pragma once
// The Test page's Methods tab: every method of the hosted add-in, called by name with typed arguments.
#include "AppPage.h"

class CMethodsPage : public CAppPage {
 public:
  CMethodsPage();
};
