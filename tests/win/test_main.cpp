// Entry point of every Windows test executable: the C runtime converts %ls
// arguments with the system's ANSI code page, as the program does.
#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
