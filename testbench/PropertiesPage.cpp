#include "PropertiesPage.h"

#include "ConfigResourceIds.h"

CPropertiesPage::CPropertiesPage() : CAppPage(IDD_TEST_PROPERTIES) {}
