// Printing on a port, against device files in a directory of the test's own.
#include "printer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "files.h"

namespace velmar {
namespace {

void MakeDevice(const veltest::TempDir& dir, const std::string& name) {
  std::ofstream(dir.File(name));
}

TEST(PrinterTest, PortIndexNamesTheDeviceAndLineFeedsBecomeCrLf) {
  veltest::TempDir dir;
  MakeDevice(dir, "lp0");
  MakeDevice(dir, "lp1");
  MakeDevice(dir, "lp998");
  EXPECT_TRUE(PrintOnPort(dir.path().c_str(), "a\nb", 0));
  EXPECT_TRUE(PrintOnPort(dir.path().c_str(), "", 1));
  EXPECT_TRUE(PrintOnPort(dir.path().c_str(), "end\n", 998));
  EXPECT_EQ(veltest::ReadFile(dir.File("lp0")), "a\r\nb");
  EXPECT_EQ(veltest::ReadFile(dir.File("lp1")), "");
  EXPECT_EQ(veltest::ReadFile(dir.File("lp998")), "end\r\n");
}

TEST(PrinterTest, MissingDeviceAndHighIndexesFailWithoutCreatingAnything) {
  veltest::TempDir dir;
  MakeDevice(dir, "lp999");
  EXPECT_FALSE(PrintOnPort(dir.path().c_str(), "x", 2));
  EXPECT_FALSE(std::filesystem::exists(dir.File("lp2")));
  EXPECT_FALSE(PrintOnPort(dir.path().c_str(), "x", 999));
  EXPECT_EQ(veltest::ReadFile(dir.File("lp999")), "");
}

TEST(PrinterTest, WriteErrorIsAFailure) {
  // /dev/full takes the open and refuses every byte.
  veltest::TempDir dir;
  std::filesystem::create_symlink("/dev/full", dir.File("lp3"));
  EXPECT_FALSE(PrintOnPort(dir.path().c_str(), "lost", 3));
  EXPECT_TRUE(PrintOnPort(dir.path().c_str(), "", 3));
}

}  // namespace
}  // namespace velmar
