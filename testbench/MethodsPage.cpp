#include "MethodsPage.h"

#include "ConfigResourceIds.h"

CMethodsPage::CMethodsPage() : CAppPage(IDD_TEST_METHODS) {}
