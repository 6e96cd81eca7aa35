#include "eventlog/log_viewer_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "eventlog/log_file.h"
#include "eventlog/logged_elsewhere.h"
#include "log_test_support.h"
#include "support/recording_ui.h"

namespace px {
namespace {

using ::testing::ElementsAre;
using Lines = std::vector<std::string>;

constexpr LiveFlags kMonitoring{.MonitoringActive = true, .PollInProgress = false};
constexpr LiveFlags kPaused{.MonitoringActive = false, .PollInProgress = false};
constexpr LiveFlags kPolling{.MonitoringActive = true, .PollInProgress = true};

class LogViewerModelTest : public ::testing::Test {
 protected:
  // Chooses the given file in the dialog.
  static LogViewerModel::FileChooser Choose(std::filesystem::path file) {
    return [file] { return std::optional(file); };
  }
  static LogViewerModel::FileChooser Cancel() {
    return [] { return std::optional<std::filesystem::path>(); };
  }

  EventLogState state_;
  Lines& log_ = state_.LogLines = {"line 1", "line 2"};
  test::RecordingMessages messages_;
  LogViewerModel model_{state_, messages_};
  test::TempDir dir_;
};

TEST_F(LogViewerModelTest, LiveViewFollowsTheLog) {
  EXPECT_EQ(model_.Show(kMonitoring), ViewUpdate::Replaced);
  EXPECT_EQ(model_.Lines(), log_);
  EXPECT_TRUE(model_.TimerRunning());

  log_.insert(log_.end(), {"line 3", "line 4", "line 5"});
  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::Appended);
  EXPECT_EQ(model_.Lines(), log_);
  EXPECT_EQ(model_.ShownLineCount(), 5U);

  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::None);
  EXPECT_EQ(model_.Lines(), log_);
}

TEST_F(LogViewerModelTest, NothingIsCopiedWhileAPollRuns) {
  EXPECT_EQ(model_.Show(kPolling), ViewUpdate::None);
  EXPECT_TRUE(model_.Lines().empty());
  EXPECT_EQ(model_.ShownLineCount(), 0U);

  log_.push_back("line 3");
  EXPECT_EQ(model_.Tick(kPolling), ViewUpdate::None);
  EXPECT_TRUE(model_.Lines().empty());

  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::Appended);
  EXPECT_EQ(model_.Lines(), log_);
}

TEST_F(LogViewerModelTest, ALogThatShrankIsReloaded) {
  log_.push_back("line 3");
  model_.Show(kMonitoring);

  // A new day: the writer started over with fewer lines.
  log_ = {"new day"};
  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::Replaced);
  EXPECT_THAT(model_.Lines(), ElementsAre("new day"));
  EXPECT_EQ(model_.ShownLineCount(), 1U);
}

TEST_F(LogViewerModelTest, ALogReplacedByAsManyLinesIsOnlyAppendedToOnceItGrows) {
  model_.Show(kMonitoring);

  log_ = {"new 1", "new 2"};
  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::None);
  log_.push_back("new 3");
  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::Appended);
  EXPECT_THAT(model_.Lines(), ElementsAre("line 1", "line 2", "new 3"));
}

TEST_F(LogViewerModelTest, ALogTheWriterRewroteIsReloadedWhateverItsLength) {
  model_.Show(kMonitoring);

  // Another program's line was read in ahead of one of ours that is now
  // saved after it: same lines, more of them, in another order.
  log_ = {"line 1", "other", "line 2"};
  ++state_.Rewrites;
  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::Replaced);
  EXPECT_EQ(model_.Lines(), log_);
  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::None);
}

// Another process's day log, mirrored for the viewer, shows as the writer's
// own does: what extends the view is appended, anything else reloads it,
// whatever its length.
TEST(MirroredLog, IsAppendedToOrReloadedAsTheWritersLog) {
  struct Case {
    const char* name;
    Lines read;
    ViewUpdate update;
  };
  const Case cases[] = {
      {"more lines", {"line 1", "line 2", "line 3"}, ViewUpdate::Appended},
      {"the same lines", {"line 1", "line 2"}, ViewUpdate::None},
      {"fewer lines", {"line 1"}, ViewUpdate::Replaced},
      {"none", {}, ViewUpdate::Replaced},
      {"as many, others", {"new 1", "new 2"}, ViewUpdate::Replaced},
      {"more, one of the first changed", {"line 1", "other", "line 3"}, ViewUpdate::Replaced},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EventLogState mirror;
    MirrorLines(mirror, {"line 1", "line 2"});
    test::RecordingMessages messages;
    LogViewerModel model(mirror, messages);
    model.Show(kMonitoring);
    MirrorLines(mirror, c.read);
    EXPECT_EQ(model.Tick(kMonitoring), c.update);
    EXPECT_EQ(model.Lines(), c.read);
  }
}

TEST_F(LogViewerModelTest, CaptionAndColourFollowMonitoring) {
  struct Case {
    LiveFlags flags;
    const char* caption;
    LogTextColour colour;
  } cases[] = {
      {kMonitoring, "Event log - Real Time", LogTextColour::WindowText},
      {kPaused, "Event log - Real Time( Paused )", LogTextColour::GrayText},
      // The caption changes even while a poll keeps the lines from being copied.
      {{.MonitoringActive = false, .PollInProgress = true},
       "Event log - Real Time( Paused )",
       LogTextColour::GrayText},
      {kPolling, "Event log - Real Time", LogTextColour::WindowText},
  };
  model_.Show(kMonitoring);
  for (const auto& c : cases) {
    model_.Tick(c.flags);
    EXPECT_EQ(model_.Caption(), c.caption);
    EXPECT_EQ(model_.TextColour(), c.colour);
  }
  EXPECT_EQ(model_.RealTimeLog(false), ViewUpdate::Replaced);
  EXPECT_EQ(model_.Caption(), "Event log - Real Time( Paused )");
}

TEST_F(LogViewerModelTest, FileModeShowsTheFileAndStopsFollowing) {
  model_.Show(kPaused);
  const auto file = dir_.path() / "261130.log";
  test::WriteBytes(file, "old 1\r\nold 2\nold 3\r");

  EXPECT_EQ(model_.ViewLogFile(Choose(file)), ViewUpdate::Replaced);

  EXPECT_THAT(model_.Lines(), ElementsAre("old 1", "old 2", "old 3"));
  EXPECT_EQ(model_.Caption(), "Event log - 261130.log");
  EXPECT_EQ(model_.TextColour(), LogTextColour::GrayText);
  EXPECT_EQ(model_.ViewedFile(), file);
  EXPECT_FALSE(model_.TimerRunning());
  log_.push_back("line 3");
  EXPECT_EQ(model_.Tick(kMonitoring), ViewUpdate::None);
  EXPECT_EQ(model_.Caption(), "Event log - 261130.log");

  EXPECT_EQ(model_.RealTimeLog(true), ViewUpdate::Replaced);
  EXPECT_EQ(model_.Lines(), log_);
  EXPECT_EQ(model_.Caption(), "Event log - Real Time");
  EXPECT_TRUE(model_.TimerRunning());
}

TEST_F(LogViewerModelTest, CancelKeepsTheViewButStopsLiveUpdates) {
  model_.Show(kMonitoring);

  EXPECT_EQ(model_.ViewLogFile(Cancel()), ViewUpdate::None);
  log_.push_back("line 3");
  EXPECT_EQ(model_.Tick(kPaused), ViewUpdate::None);

  EXPECT_THAT(model_.Lines(), ElementsAre("line 1", "line 2"));
  EXPECT_EQ(model_.Caption(), "Event log - Real Time");
  EXPECT_FALSE(model_.TimerRunning());
}

TEST_F(LogViewerModelTest, AnEmptyFileGivesAnEmptyView) {
  model_.Show(kMonitoring);
  const auto file = dir_.path() / "empty.log";
  test::WriteBytes(file, "");

  EXPECT_EQ(model_.ViewLogFile(Choose(file)), ViewUpdate::Replaced);

  EXPECT_TRUE(model_.Lines().empty());
  EXPECT_EQ(model_.Caption(), "Event log - empty.log");
}

TEST_F(LogViewerModelTest, AFileThatCannotBeReadIsReportedAndChangesNothing) {
  model_.Show(kMonitoring);
  const auto file = dir_.path() / "gone.log";

  EXPECT_EQ(model_.ViewLogFile(Choose(file)), ViewUpdate::None);

  EXPECT_THAT(messages_.boxes(),
              ElementsAre(test::RecordingMessages::Box{
                  "Error", "Cannot read log file " + PathText(file), MessageIcon::Error}));
  EXPECT_EQ(model_.Lines(), log_);
  EXPECT_EQ(model_.Caption(), "Event log - Real Time");
  EXPECT_TRUE(model_.ViewedFile().empty());
}

}  // namespace
}  // namespace px
