#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "platform/headless/headless_process.h"
#include "platform/posix/dynamic_library.h"
#include "support/temp_folder.h"

namespace {

// The file of the C math library this program uses, to link beside a fake program.
std::string math_library_file() {
  Dl_info info{};
  double (*f)(double) = &::cos;
  if (!dladdr(reinterpret_cast<void*>(f), &info) || !info.dli_fname) return {};
  return info.dli_fname;
}

}  // namespace

TEST(DynamicLibrary, MissingLibraryGivesNumberAndLoaderText) {
  temp_folder dir;
  PosixDynamicLibrary libs(dir.path());
  int number = 0;
  std::string text;
  EXPECT_EQ(libs.load("NoSuchLib.dll", &number, &text), nullptr);
  EXPECT_EQ(number, ENOENT);
  EXPECT_NE(text.find("NoSuchLib"), std::string::npos) << text;
}

TEST(DynamicLibrary, BrokenFileBesideTheProgramIsReportedAsSuch) {
  temp_folder dir;
  dir.write("Broken.so", std::string("this is not a shared object"));
  PosixDynamicLibrary libs(dir.path());
  int number = 0;
  std::string text;
  EXPECT_EQ(libs.load("Broken.dll", &number, &text), nullptr);
  EXPECT_EQ(number, ENOEXEC);
  EXPECT_NE(text.find(dir.path() + "Broken.so"), std::string::npos) << text;
}

TEST(DynamicLibrary, DllNameFindsTheSharedObjectBesideTheProgram) {
  temp_folder dir;
  std::string real = math_library_file();
  ASSERT_FALSE(real.empty());
  ASSERT_EQ(symlink(real.c_str(), (dir.path() + "mathlib.so").c_str()), 0);
  EXPECT_EQ(library_name_candidates("X.DLL"), (std::vector<std::string>{"X.DLL", "X.so"}));
  EXPECT_EQ(library_name_candidates("libz.so.1"), (std::vector<std::string>{"libz.so.1"}));

  PosixDynamicLibrary libs(dir.path());
  int number = -1;
  void* h = libs.load("mathlib.dll", &number, nullptr);
  ASSERT_NE(h, nullptr);
  auto cosine = reinterpret_cast<double (*)(double)>(libs.symbol(h, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(libs.symbol(h, "no_such_entry_point"), nullptr);
  EXPECT_EQ(libs.symbol(nullptr, "cos"), nullptr);
  libs.unload(h);
}

TEST(DynamicLibrary, HeadlessRefusesNamesAndHidesEntryPoints) {
  temp_folder dir;
  ASSERT_EQ(symlink(math_library_file().c_str(), (dir.path() + "mathlib.so").c_str()), 0);
  HeadlessLibraries libs(dir.path());
  libs.refuse("RIRud.dll", 126, "gone");
  libs.hide_symbol("sin");
  int number = 0;
  std::string text;
  EXPECT_EQ(libs.load("rirud.DLL", &number, &text), nullptr);
  EXPECT_EQ(number, 126);
  EXPECT_EQ(text, "gone");

  void* h = libs.load("mathlib.dll", &number, &text);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(libs.open_count(), 1);
  EXPECT_NE(libs.symbol(h, "cos"), nullptr);
  EXPECT_EQ(libs.symbol(h, "sin"), nullptr);
  libs.unload(h);
  EXPECT_EQ(libs.open_count(), 0);
  EXPECT_EQ(libs.loads(), (std::vector<std::string>{"rirud.DLL", "mathlib.dll"}));

  // Refused without a text: a loader-like message naming the library.
  libs.refuse("other.dll");
  EXPECT_EQ(libs.load("other.dll", &number, &text), nullptr);
  EXPECT_EQ(number, 2);
  EXPECT_NE(text.find("other.dll"), std::string::npos);
}
