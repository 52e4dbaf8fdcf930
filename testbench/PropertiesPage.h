#pragma once
// The Test page's Properties tab: every property of the hosted add-in, read and edited by name.
#include "AppPage.h"

class CPropertiesPage : public CAppPage {
 public:
  CPropertiesPage();
};
