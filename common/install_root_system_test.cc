#include "install_root_system.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

// Only an existing tools directory makes a package's root: a root alone, a file in the
// directory's place, a relative name (which would depend on the working directory) or a missing
// directory leave discovery to the marker rule and PATH.
TEST(InstallRootSystem, LayoutCountsOnlyWithItsToolsDirectory) {
  vaktest::TempDir tmp;
  ASSERT_EQ(mkdir(tmp.Sub("libexec").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tmp.Sub("libexec/editlock").c_str(), 0755), 0);
  vaktest::WriteFile(tmp.Sub("plain"), "x");
  const std::string tools = tmp.Sub("libexec/editlock"), plain = tmp.Sub("plain"),
                    missing = tmp.Sub("libexec/other");
  struct {
    const char *root, *tools;
    bool want;
  } cases[] = {
      {"/usr", tools.c_str(), true},    {nullptr, tools.c_str(), false},
      {"/usr", nullptr, false},         {"/usr", missing.c_str(), false},
      {"/usr", plain.c_str(), false},   {"/usr", "libexec/editlock", false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(orv::SystemLayoutPresent({c.root, c.tools}), c.want)
        << (c.root ? c.root : "(null)") << " " << (c.tools ? c.tools : "(null)");
  }
}

}  // namespace
