#include "ui/layout.h"

#include "ui/ids.h"
#include "ui/job_table.h"

#include <gtest/gtest.h>

namespace {

void ExpectBox(const Box& b, int x, int y, int w, int h, const char* what) {
  EXPECT_EQ(b.x, x) << what;
  EXPECT_EQ(b.y, y) << what;
  EXPECT_EQ(b.w, w) << what;
  EXPECT_EQ(b.h, h) << what;
}

TEST(Layout, ScaleFromDpi) {
  EXPECT_EQ(ScaleFromDpi(96), 100);
  EXPECT_EQ(ScaleFromDpi(72), 96);
  EXPECT_EQ(ScaleFromDpi(144), 150);
  EXPECT_EQ(ScaleFromDpi(120), 125);
  EXPECT_EQ(ScaleFromDpi(600), 480);
  EXPECT_EQ(ScaleLength(22, 150), 33);
  EXPECT_EQ(ScaleLength(5, 150), 8);  // 7.5 rounds up, as MulDiv does
}

TEST(Layout, EveryControlAt100Percent) {
  MainLayout L = ComputeMainLayout(100);
  EXPECT_EQ(L.clientW, 840);
  EXPECT_EQ(L.clientH, 500);
  ExpectBox(L.pathLabel, 36, 52, 96, 22, "path label");
  ExpectBox(L.pathBox, 140, 46, 542, 32, "path box");
  ExpectBox(L.browse, 696, 46, 108, 32, "browse");
  ExpectBox(L.serverLabel, 36, 130, 96, 22, "server label");
  ExpectBox(L.serverList, 140, 122, 135, 120, "server list");
  ExpectBox(L.serverDescription, 289, 120, 515, 40, "description");
  ExpectBox(L.registerBtn, 36, 196, 181, 40, "register");
  ExpectBox(L.startGame, 231, 196, 181, 40, "start");
  ExpectBox(L.addonA, 426, 196, 181, 40, "addon A");
  ExpectBox(L.addonB, 621, 196, 181, 40, "addon B");
  ExpectBox(L.clientNormal, 36, 272, 181, 40, "normal client");
  ExpectBox(L.clientHd, 231, 272, 181, 40, "HD client");
  ExpectBox(L.patchNormal, 426, 272, 181, 40, "normal patch");
  ExpectBox(L.patchHd, 621, 272, 181, 40, "HD patch");
  ExpectBox(L.verify, 621, 452, 181, 36, "check client");
  ExpectBox(L.minimize, 784, 4, 22, 22, "minimise");
  ExpectBox(L.close, 810, 4, 22, 22, "close");
  ExpectBox(L.notice, 36, 348, 768, 36, "notice");
  ExpectBox(L.progress, 36, 424, 768, 18, "progress");
}

TEST(Layout, ServerRowFitsTheSelectedName) {
  struct {
    int scale, nameWidth;
    int listW, descriptionX, descriptionW;
    bool fits;
  } cases[] = {
      {100, 60, 135, 289, 515, true},    // a short name: the row as laid out
      {100, 97, 135, 289, 515, true},    // exactly the box's room
      {100, 150, 188, 342, 462, true},   // the box grows, the description moves
      {100, 452, 490, 644, 160, true},   // the most the description gives up
      {100, 453, 490, 644, 160, false},  // one more: the tooltip shows it
      {100, 2000, 490, 644, 160, false}, {150, 300, 357, 588, 618, true},
  };
  for (const auto& c : cases) {
    const MainLayout L = ComputeMainLayout(c.scale);
    const ServerRow row = FitServerRow(L, c.nameWidth, c.scale);
    EXPECT_EQ(row.list.w, c.listW) << c.nameWidth;
    EXPECT_EQ(row.list.x, L.serverList.x);
    EXPECT_EQ(row.list.y, L.serverList.y);
    EXPECT_EQ(row.list.h, L.serverList.h);
    EXPECT_EQ(row.description.x, c.descriptionX) << c.nameWidth;
    EXPECT_EQ(row.description.w, c.descriptionW) << c.nameWidth;
    EXPECT_EQ(row.description.x + row.description.w, L.serverDescription.x + L.serverDescription.w);
    EXPECT_EQ(row.fits, c.fits) << c.nameWidth;
  }
}

TEST(Layout, OpenListAsWideAsTheWidestName) {
  EXPECT_EQ(DropDownWidth(135, 60, 17, 100), 135);
  EXPECT_EQ(DropDownWidth(135, 300, 17, 100), 345);
  EXPECT_EQ(DropDownWidth(135, 300, 0, 150), 342);
}

TEST(Layout, At150PercentEachQuantityIsScaledOnItsOwn) {
  MainLayout L = ComputeMainLayout(150);
  EXPECT_EQ(L.clientW, 1260);
  EXPECT_EQ(L.clientH, 750);
  EXPECT_EQ(L.registerBtn.w, 272);  // (1152 - 63) / 4
  EXPECT_EQ(L.startGame.x, 54 + 272 + 21);
  EXPECT_EQ(L.close.x, 1260 - 12 - 33);
  EXPECT_EQ(L.serverItemHeight, 48);
}

TEST(Layout, DragStripSparesTheWindowButtons) {
  EXPECT_TRUE(IsDragStrip(10, 10, 840, 100));
  EXPECT_TRUE(IsDragStrip(783, 10, 840, 100));
  EXPECT_FALSE(IsDragStrip(784, 10, 840, 100));
  EXPECT_FALSE(IsDragStrip(831, 25, 840, 100));
  EXPECT_TRUE(IsDragStrip(832, 10, 840, 100));
  EXPECT_TRUE(IsDragStrip(800, 3, 840, 100));
  EXPECT_TRUE(IsDragStrip(800, 26, 840, 100));
  EXPECT_FALSE(IsDragStrip(10, 30, 840, 100));
}

TEST(Layout, TimeoutWarningsAtMostEveryFiveMinutes) {
  EXPECT_TRUE(TimeoutWarningDue(0, 5));
  EXPECT_FALSE(TimeoutWarningDue(1000, 1000 + 299999));
  EXPECT_TRUE(TimeoutWarningDue(1000, 1000 + 300000));
  EXPECT_FALSE(TimeoutWarningDue(0xFFFFFF00u, 0x100u));  // across the wrap
  EXPECT_TRUE(TimeoutWarningDue(0xFFFFFF00u, 300000u));
}

TEST(Glass, PlateAlphasAtThePulseExtremes) {
  EXPECT_EQ(PlateAlpha(0.0f, PlateState::Normal).plate, 40);
  EXPECT_EQ(PlateAlpha(0.0f, PlateState::Normal).glow, 20);
  EXPECT_EQ(PlateAlpha(1.0f, PlateState::Normal).plate, 70);
  EXPECT_EQ(PlateAlpha(1.0f, PlateState::Normal).glow, 50);
  EXPECT_EQ(PlateAlpha(0.0f, PlateState::Hover).plate, 140);
  EXPECT_EQ(PlateAlpha(1.0f, PlateState::Hover).glow, 110);
  EXPECT_EQ(PlateAlpha(0.5f, PlateState::Hover).plate, 155);
  for (float p : {0.0f, 0.3f, 1.0f}) {
    EXPECT_EQ(PlateAlpha(p, PlateState::Pressed).plate, 150);
    EXPECT_EQ(PlateAlpha(p, PlateState::Pressed).glow, 50);
  }
  EXPECT_EQ(ProgressBarLook(0.0f).borderAlpha, 40);
  EXPECT_EQ(ProgressBarLook(1.0f).borderAlpha, 100);
  EXPECT_EQ(ProgressBarLook(1.0f).glowAlpha, 100);
  EXPECT_FLOAT_EQ(ProgressBarLook(1.0f).glowWidth, 5.0f);
}

// Between two steps a plate looks the same, in every state: the pulse timer
// repaints the plates only when the step changes.
TEST(Glass, PlatesChangeLookOnlyWithTheirStep) {
  int changes = 0;
  float first = 0.0f;
  for (int i = 0; i <= 1000; ++i) {
    float p = i / 1000.0f;
    if (PulseStep(p) != PulseStep(first)) {
      first = p;
      ++changes;
    }
    for (PlateState s : {PlateState::Normal, PlateState::Hover, PlateState::Pressed}) {
      EXPECT_EQ(PlateAlpha(p, s).plate, PlateAlpha(first, s).plate) << p;
      EXPECT_EQ(PlateAlpha(p, s).glow, PlateAlpha(first, s).glow) << p;
    }
  }
  EXPECT_EQ(changes, 30);
  EXPECT_EQ(PulseStep(0.0f), 0);
  EXPECT_EQ(PulseStep(1.0f), -30);
}

TEST(Glass, ProgressBarWidths) {
  EXPECT_EQ(ProgressBarWidth(768, 4, 6, 0, 0, 100), 0);
  EXPECT_EQ(ProgressBarWidth(768, 4, 6, 1, 0, 100), 14);
  EXPECT_EQ(ProgressBarWidth(768, 4, 6, 100, 0, 100), 760);  // ends at 4 + 760 = 768 - 4
  EXPECT_EQ(ProgressBarWidth(768, 4, 6, 50, 0, 100), 380);
  EXPECT_EQ(ProgressBarWidth(768, 4, 6, 150, 0, 100), 760);
  EXPECT_EQ(ProgressBarWidth(768, 4, 6, 5, 10, 10), 0);
  EXPECT_EQ(ProgressBarWidth(10, 4, 6, 50, 0, 100), 2);  // never wider than the track
}

// The buttons as the running jobs leave them: "." idle, "-" idle and
// disabled, "B" busy label (cancels), "b" busy label but disabled by another
// job, "C" cancelling (disabled); in the order 1003 1004 1008 1007 1015 1016
// 1017 1018.
TEST(JobButtons, ComputedFromEveryRunningJob) {
  struct Case {
    const char* what;
    JobView patchNormal, patchHd, client, addon;
    const char* expected;
  } cases[] = {
      {"nothing runs", {}, {}, {}, {}, "........"},
      {"HD patch", {}, {true, false, kIdPatchHd}, {}, {}, "--B....-"},
      {"HD patch and a client download", {}, {true, false, kIdPatchHd}, {true, false, kIdClientHd}, {}, "--bB-..-"},
      {"the client download being cancelled, the HD patch runs on",
       {},
       {true, false, kIdPatchHd},
       {true, true, kIdClientHd},
       {},
       "--bC-..-"},
      {"normal patch", {true, false, kIdPatchNormal}, {}, {}, {}, "-B-....-"},
      {"normal patch and addon install", {true, false, kIdPatchNormal}, {}, {}, {true, false, kIdAddonB}, "-B-..-B-"},
      {"addon install alone", {}, {}, {}, {true, false, kIdAddonB}, "-....-B."},
      {"normal client", {}, {}, {true, false, kIdClientNormal}, {}, ".---B..-"},
      {"addon cancelling", {}, {}, {}, {true, true, kIdAddonA}, "-....C-."},
      {"client check", {}, {}, {true, false, kIdVerify}, {}, ".----..B"},
      {"client check being cancelled", {}, {}, {true, true, kIdVerify}, {}, ".----..C"},
      {"client check and an addon install", {}, {}, {true, false, kIdVerify}, {true, false, kIdAddonA}, "-----B-B"},
  };
  for (const Case& c : cases) {
    std::string got;
    for (const ButtonLook& look : JobButtonLooks({c.patchNormal, c.patchHd, c.client, c.addon})) {
      if (look.label == ButtonLabel::Busy)
        got += look.enabled ? "B" : "b";
      else if (look.label == ButtonLabel::Cancelling)
        got += look.enabled ? "!" : "C";
      else
        got += look.enabled ? "." : "-";
    }
    EXPECT_EQ(got, c.expected) << c.what;
  }
}

}  // namespace

TEST(Keys, TabStopsSkipWhatCannotTakeTheFocusAndWrap) {
  const std::vector<bool> a = {true, false, true, true, false};
  struct Row {
    int current;
    bool backwards;
    int next;
  } rows[] = {{-1, false, 0}, {-1, true, 3}, {0, false, 2}, {3, false, 0},
              {0, true, 3},   {2, true, 0},  {1, false, 2}, {4, true, 3}};
  for (const Row& r : rows) EXPECT_EQ(NextTabStop(a, r.current, r.backwards), r.next) << r.current << r.backwards;
  EXPECT_EQ(NextTabStop({false, false}, -1, false), -1);
  EXPECT_EQ(NextTabStop({false, true}, 1, false), 1) << "the only one keeps the focus";
}
