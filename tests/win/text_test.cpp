// Every text of the program reaches Windows through its GBK form (code page
// 936). A character that GBK lacks would come out as '?', so each text in the
// sources (listed at build time by tools/check-literals.py) must come through
// that conversion exactly as it is written.
#include "net/text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

TEST(ProgramTexts, EveryTextComesThroughCodePage936Unchanged) {
  std::ifstream in(RP_BINARY_DIR "/program-texts.txt", std::ios::binary);
  ASSERT_TRUE(in) << "program-texts.txt is built with the program";
  int count = 0;
  for (std::string line; std::getline(in, line); ++count)
    EXPECT_EQ(UiText(std::u8string(line.begin(), line.end())), Utf8ToWide(line)) << line;
  EXPECT_GT(count, 100) << "the list holds every text of the program";
}
