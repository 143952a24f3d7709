#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runctl/machine_text.h"
#include "twf_version.h"

namespace twf {
namespace {

TEST(MachineTextTest, FormatDuration) {
  struct Case {
    double seconds;
    const char* want;
  } cases[] = {
      {0, "0 s"},          {59.4, "59 s"},         {59.5, "1 min 0 s"},   {60.5, "1 min 0 s"},
      {61.5, "1 min 2 s"}, {3599, "59 min 59 s"},   {3600, "1 h 0 min"},   {3659.9, "1 h 1 min"},
      {90061, "25 h 1 min"}, {-3, "-3 s"},        {-2.5, "-2 s"},        {-3600, "-3600 s"},
      {0.5, "0 s"},        {1.5, "2 s"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDuration(c.seconds), c.want) << c.seconds;
  // Out-of-range input still gives text.
  EXPECT_EQ(FormatDuration(std::nan("")), "0 s");
  EXPECT_FALSE(FormatDuration(1e300).empty());
  EXPECT_FALSE(FormatDuration(-1e300).empty());
}

TEST(MachineTextTest, VersionComesFromTheBuild) {
  const std::string v = AppVersionString();
  EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 3);
  EXPECT_EQ(v.rfind(TWF_VERSION, 0), 0u); // "1.2.3" from CMake reads as "1.2.3.0"
}

TEST(MachineTextTest, ComputerAndUserNames) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string name = ComputerNameText();
  EXPECT_EQ(name.find('.'), std::string::npos);
  EXPECT_EQ(std::string(host).rfind(name, 0), 0u);
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(UserNameText(), pw->pw_name);
}

TEST(MachineTextTest, DeviceModelFromTheFirmwareTables) {
  char dir[] = "/tmp/twf-model-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string root = dir;
  const std::string dmi = root + "/sys/class/dmi/id", dt = root + "/sys/firmware/devicetree/base";
  ASSERT_EQ(system(("mkdir -p '" + dmi + "' '" + dt + "'").c_str()), 0);
  auto write = [](const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; };

  EXPECT_EQ(DeviceModelTextAt(root), ""); // neither exists
  write(dt + "/model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 32));
  EXPECT_EQ(DeviceModelTextAt(root), "Raspberry Pi 4 Model B Rev 1.4");
  write(dmi + "/product_name", "  \n");
  EXPECT_EQ(DeviceModelTextAt(root), "Raspberry Pi 4 Model B Rev 1.4"); // blank counts as missing
  write(dmi + "/product_name", " ThinkPad X1 Carbon Gen 9 \n");
  EXPECT_EQ(DeviceModelTextAt(root), "ThinkPad X1 Carbon Gen 9");
  system(("rm -rf '" + root + "'").c_str());
}

} // namespace
} // namespace twf
