// The provider's MOF, checked without a MOF compiler: balanced structure and
// the names the provider relies on.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <windows.h>

#include "provider/class_factory.h"
#include "provider/router_block.h"
#include "support/fs/code_page.h"

namespace {

// A file's text without comments; string literals are kept.
std::string ReadWithoutComments(const char* path) {
  std::ifstream file(path);
  std::stringstream raw;
  raw << file.rdbuf();
  const std::string text = raw.str();
  std::string out;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (inString) {
      out += text[i];
      if (text[i] == '\\' && i + 1 < text.size()) out += text[++i];
      else if (text[i] == '"') inString = false;
    } else if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
      out += '\n';
    } else if (text.compare(i, 2, "/*") == 0) {
      i = text.find("*/", i + 2);
      if (i == std::string::npos) break;
      ++i;
    } else {
      inString = text[i] == '"';
      out += text[i];
    }
  }
  return out;
}

class MofTest : public ::testing::Test {
 protected:
  void SetUp() override {
    text_ = ReadWithoutComments(FERNWICK_MOF_PATH);
    ASSERT_FALSE(text_.empty()) << "cannot read " << FERNWICK_MOF_PATH;
  }
  bool Has(const std::string& pattern) const { return std::regex_search(text_, std::regex(pattern)); }

  std::string text_;
};

TEST_F(MofTest, BracketsBalanceOutsideStrings) {
  std::string open;
  bool inString = false;
  for (size_t i = 0; i < text_.size(); ++i) {
    const char c = text_[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    if (c == '{' || c == '(' || c == '[') open += c;
    if (c == '}' || c == ')' || c == ']') {
      ASSERT_FALSE(open.empty()) << "unmatched " << c << " at " << i;
      const char expected = c == '}' ? '{' : c == ')' ? '(' : '[';
      ASSERT_EQ(open.back(), expected) << "mismatched " << c << " at " << i;
      open.pop_back();
    }
  }
  EXPECT_FALSE(inString);
  EXPECT_TRUE(open.empty()) << "unclosed " << open;
}

TEST_F(MofTest, DefinesTheSessionClassWithItsKeyAndTheCatalogueCounters) {
  const std::string className = WideToNarrow(kSessionClassName);
  EXPECT_TRUE(Has(R"(#pragma\s+namespace\s*\(\s*"\\\\\\\\\.\\\\root\\\\cimv2"\s*\))"));
  EXPECT_TRUE(Has(R"(\[\s*Dynamic\s*,[^\]]*\bHiPerf\b[^\]]*\]\s*class\s+)" + className + R"(\s*:\s*Win32_PerfRawData\s*\{)"));
  EXPECT_TRUE(Has(R"(\[\s*key\b[^\]]*\]\s*string\s+Name\s*;)"));
  for (const auto& counter : kCounterPropertyNames) {
    const std::string name = WideToNarrow(counter);
    EXPECT_TRUE(Has(R"(\[\s*CounterType\(65536\)[^\]]*\]\s*uint32\s+)" + name + R"(\s*;)")) << name;
  }
}

TEST_F(MofTest, RegistersTheProvidersClassIdUnderTheNameTheClassUses) {
  wchar_t clsid[64];
  ASSERT_GT(StringFromGUID2(CLSID_FernwickRouterSessionPerf, clsid, 64), 0);
  const std::string id = std::regex_replace(WideToNarrow(clsid), std::regex(R"([{}])"), R"(\$&)");
  EXPECT_TRUE(Has(R"(\bCLSID\s*=\s*")" + id + R"("\s*;)"));
  // Served by the WMI host only; the impersonation level is reserved.
  EXPECT_FALSE(Has(R"(\bClientLoadableCLSID\b)"));
  EXPECT_FALSE(Has(R"(\bImpersonationLevel\b)"));

  std::smatch provider;
  ASSERT_TRUE(std::regex_search(text_, provider, std::regex(R"re(\bProvider\s*\(\s*"([^"]+)"\s*\))re")));
  EXPECT_TRUE(Has(R"(instance\s+of\s+__Win32Provider\s+as\s+\$(\w+)\s*\{[^}]*\bName\s*=\s*")" +
                  provider[1].str() + R"("\s*;)"));
  EXPECT_TRUE(Has(R"(instance\s+of\s+__InstanceProviderRegistration\s*\{[^}]*\bProvider\s*=\s*\$\w+\s*;)"));
}

TEST_F(MofTest, RecoversWithTheRepositoryAndIsUndoneByTheUninstallMof) {
  EXPECT_TRUE(std::regex_search(text_, std::regex(R"(^\s*#pragma\s+autorecover\s*\n)"))) << "autorecover comes first";

  std::smatch provider;
  ASSERT_TRUE(std::regex_search(text_, provider, std::regex(R"re(\bProvider\s*\(\s*"([^"]+)"\s*\))re")));
  const std::string uninstall = ReadWithoutComments(FERNWICK_UNINSTALL_MOF_PATH);
  ASSERT_FALSE(uninstall.empty()) << "cannot read " << FERNWICK_UNINSTALL_MOF_PATH;
  const std::string name = provider[1].str();
  const std::string providerPath = R"re(__Win32Provider\.Name=(\\"|'))re" + name + R"re((\\"|'))re";
  // Registration first, then the provider it names, then the class; none
  // fails when already gone.
  const std::regex expected(R"(#pragma\s+namespace\s*\(\s*"\\\\\\\\\.\\\\root\\\\cimv2"\s*\)\s*)"
                            R"(#pragma\s+deleteinstance\s*\(\s*"__InstanceProviderRegistration\.Provider=')" +
                            providerPath + R"('"\s*,\s*NOFAIL\s*\)\s*)"
                            R"(#pragma\s+deleteinstance\s*\(\s*")" + providerPath + R"("\s*,\s*NOFAIL\s*\)\s*)"
                            R"(#pragma\s+deleteclass\s*\(\s*")" + WideToNarrow(kSessionClassName) +
                            R"("\s*,\s*NOFAIL\s*\)\s*$)",
                            std::regex::icase);
  EXPECT_TRUE(std::regex_search(uninstall, expected)) << uninstall;
}

}  // namespace
