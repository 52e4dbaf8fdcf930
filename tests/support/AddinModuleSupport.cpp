#include "AddinModule.h"

#include <gtest/gtest.h>

#include "Core.h"

namespace {

class AddinModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    HMODULE module = AddinModule();
    ASSERT_NE(module, nullptr) << "Vombra.dll must lie beside the test executable";
    g_hInstance = module;
    g_hResInstance = module;
  }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new AddinModuleEnvironment);

}  // namespace

HMODULE AddinModule() {
  static HMODULE module = LoadLibraryW(L"Vombra.dll");
  return module;
}

ScopedThreadLanguage::ScopedThreadLanguage(LANGID language)
    : m_lcid(GetThreadLocale()), m_ui(GetThreadUILanguage()) {
  SetThreadUILanguage(language);
  SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
}

ScopedThreadLanguage::~ScopedThreadLanguage() {
  SetThreadUILanguage(m_ui);
  SetThreadLocale(m_lcid);
}
