// The media demo's deciding logic: the sink's accounting, the command line,
// the synthetic audio and the latency figures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MediaDemoLogic.h"

using namespace media_demo;

namespace {

FrameAccounting Feed(const std::vector<uint32_t>& aSeqs, uint64_t aCaptured) {
  FrameAccounting books;
  for (uint32_t seq : aSeqs) books.OnFrame(seq, true, true);
  books.Finish(aCaptured);
  return books;
}

}  // namespace

TEST(FrameAccounting, InOrderStreamIsClean) {
  const FrameAccounting books = Feed({0, 1, 2, 3, 4}, 5);
  EXPECT_TRUE(books.Clean());
  EXPECT_EQ(5u, books.Delivered());
  EXPECT_EQ(0u, books.Lost());
}

TEST(FrameAccounting, GapInTheMiddleIsOneLostFrame) {
  const FrameAccounting books = Feed({0, 1, 3, 4}, 5);
  EXPECT_FALSE(books.Clean());
  EXPECT_EQ(1u, books.Lost());
  EXPECT_EQ(0u, books.Doubled());
  EXPECT_EQ(0u, books.Reordered());
  EXPECT_EQ(0u, books.Corrupt());
}

TEST(FrameAccounting, FramesMissingAtTheTailAreLostOnceTheBooksClose) {
  FrameAccounting books;
  books.OnFrame(0, true, true);
  books.OnFrame(1, true, true);
  EXPECT_EQ(0u, books.Lost());  // nothing known to be missing yet
  books.Finish(4);
  EXPECT_EQ(2u, books.Lost());
  EXPECT_FALSE(books.Clean());
  // A stream whose first frames never came.
  EXPECT_EQ(5u, Feed({5}, 6).Lost());
}

TEST(FrameAccounting, RepeatedFrameIsDoubledNotLost) {
  const FrameAccounting books = Feed({0, 1, 1, 2}, 3);
  EXPECT_FALSE(books.Clean());
  EXPECT_EQ(1u, books.Doubled());
  EXPECT_EQ(0u, books.Lost());
  EXPECT_EQ(0u, books.Reordered());
  EXPECT_EQ(4u, books.Delivered());
}

TEST(FrameAccounting, LateFrameIsReorderedNotLost) {
  const FrameAccounting books = Feed({0, 2, 1, 3}, 4);
  EXPECT_FALSE(books.Clean());
  EXPECT_EQ(1u, books.Reordered());
  EXPECT_EQ(0u, books.Lost());
  EXPECT_EQ(0u, books.Doubled());

  // The late frame repeated afterwards is doubled as well.
  const FrameAccounting again = Feed({0, 2, 1, 1}, 3);
  EXPECT_EQ(1u, again.Reordered());
  EXPECT_EQ(1u, again.Doubled());
  EXPECT_EQ(0u, again.Lost());
}

TEST(FrameAccounting, CorruptFramesCountOnceEach) {
  FrameAccounting books;
  books.OnFrame(0, true, true);
  books.OnFrame(1, false, true);   // CRC wrong
  books.OnFrame(2, true, false);   // content wrong
  books.OnFrame(3, false, false);  // both: still one frame
  books.Finish(4);
  EXPECT_EQ(3u, books.Corrupt());
  EXPECT_EQ(0u, books.Lost());
  EXPECT_FALSE(books.Clean());
}

TEST(MediaDemoOptions, DefaultsWithoutArguments) {
  const char* argv[] = {"demo"};
  Options options;
  std::string error;
  ASSERT_EQ(ParseOutcome::kRun, ParseOptions(1, argv, options, error));
  EXPECT_EQ(5, options.seconds);
  EXPECT_EQ(1, options.modulesOnThreads);
  EXPECT_EQ(TimerKind::kList, options.timerKind);
  EXPECT_EQ(0, options.load);
  EXPECT_TRUE(options.jsonPath.empty());
}

TEST(MediaDemoOptions, EveryOptionInBothForms) {
  const char* argv[] = {"demo", "--seconds", "10", "--modules-on-threads=2", "--timer-kind", "calendar",
                        "--load=100000", "--json", "out.json"};
  Options options;
  std::string error;
  ASSERT_EQ(ParseOutcome::kRun, ParseOptions(9, argv, options, error)) << error;
  EXPECT_EQ(10, options.seconds);
  EXPECT_EQ(2, options.modulesOnThreads);
  EXPECT_EQ(TimerKind::kCalendar, options.timerKind);
  EXPECT_EQ(100000, options.load);
  EXPECT_EQ("out.json", options.jsonPath);

  const char* kinds[][2] = {{"list", "list"}, {"heap", "heap"}, {"wheel", "wheel"}};
  for (const auto& kind : kinds) {
    const char* args[] = {"demo", "--timer-kind", kind[0]};
    ASSERT_EQ(ParseOutcome::kRun, ParseOptions(3, args, options, error));
    EXPECT_STREQ(kind[1], TimerKindName(options.timerKind));
  }
}

TEST(MediaDemoOptions, HelpWinsWherever) {
  const char* argv[] = {"demo", "--seconds", "3", "--help", "--bogus"};
  Options options;
  std::string error;
  EXPECT_EQ(ParseOutcome::kHelp, ParseOptions(5, argv, options, error));
  EXPECT_NE(std::string::npos, Usage("demo").find("--timer-kind"));
}

TEST(MediaDemoOptions, BadValuesAreRefusedWithTheOptionNamed) {
  const struct {
    std::vector<const char*> args;
    const char* mention;
  } cases[] = {
      {{"demo", "--frames", "3"}, "--frames"},
      {{"demo", "--seconds"}, "--seconds"},
      {{"demo", "--seconds", "0"}, "--seconds"},
      {{"demo", "--seconds", "5s"}, "5s"},
      {{"demo", "--seconds", "3601"}, "--seconds"},
      {{"demo", "--modules-on-threads", "3"}, "--modules-on-threads"},
      {{"demo", "--timer-kind", "bogus"}, "bogus"},
      {{"demo", "--timer-kind=LIST"}, "LIST"},
      {{"demo", "--load", "-1"}, "--load"},
      {{"demo", "--load", ""}, "--load"},
      {{"demo", "--json="}, "--json"},
      {{"demo", "seconds"}, "seconds"},
  };
  for (const auto& c : cases) {
    Options options;
    std::string error;
    EXPECT_EQ(ParseOutcome::kError, ParseOptions(static_cast<int>(c.args.size()), c.args.data(), options, error))
        << c.mention;
    EXPECT_NE(std::string::npos, error.find(c.mention)) << error;
  }
}

TEST(MediaDemoAudio, SinePhaseRunsOnAcrossFrames) {
  const std::vector<int16_t> first = SynthesizeFrame(0, kChannels);
  ASSERT_EQ(static_cast<size_t>(kSamplesPerChannel * kChannels), first.size());
  EXPECT_EQ(0, first[0]);
  EXPECT_EQ(0, first[1]);
  // 440 Hz repeats every 1200 samples and 880 Hz every 600: frame 5 starts
  // at sample 4800 and equals frame 0, frame 1 (sample 960) does not.
  EXPECT_EQ(first, SynthesizeFrame(5, kChannels));
  EXPECT_NE(first, SynthesizeFrame(1, kChannels));
  // Sample 300 of the 440 Hz channel is 2.75 periods in: the trough.
  EXPECT_EQ(-12000, first[300 * kChannels]);
}

TEST(MediaDemoAudio, GainRoundsAndSaturates) {
  int16_t samples[] = {100, -3, 20000, -20000};
  ApplyGain(samples, 2, kGainQ15);  // 0.75
  EXPECT_EQ(75, samples[0]);
  EXPECT_EQ(-2, samples[1]);  // -2.25 rounds to -2
  ApplyGain(samples + 2, 2, 65536);  // 2.0
  EXPECT_EQ(32767, samples[2]);
  EXPECT_EQ(-32768, samples[3]);

  const std::vector<uint8_t> expected = ExpectedFrameBytes(3, kChannels);
  std::vector<int16_t> raw = SynthesizeFrame(3, kChannels);
  ApplyGain(raw.data(), raw.size(), kGainQ15);
  ASSERT_EQ(raw.size() * 2, expected.size());
  EXPECT_EQ(0, memcmp(raw.data(), expected.data(), expected.size()));
}

TEST(LatencyHistogram, PercentilesByNearestRank) {
  LatencyHistogram h;
  EXPECT_EQ(0, h.Percentile(99));
  EXPECT_EQ(0, h.Max());
  for (int i = 100; i >= 1; --i) h.Add(i);
  EXPECT_EQ(50, h.Percentile(50));
  EXPECT_EQ(99, h.Percentile(99));
  EXPECT_EQ(100, h.Percentile(100));
  EXPECT_EQ(1, h.Percentile(0));
  EXPECT_EQ(100, h.Max());
}

TEST(LatencyHistogram, BucketsHaveExclusiveUpperBounds) {
  LatencyHistogram h;
  for (int64_t v : {50, 150, 999, 1000, 60000, 60000}) h.Add(v);
  const std::vector<uint64_t> counts = h.BucketCounts();
  ASSERT_EQ(LatencyHistogram::BucketBounds().size() + 1, counts.size());
  EXPECT_EQ(1u, counts[0]);  // < 100 us
  EXPECT_EQ(1u, counts[1]);  // < 250 us
  EXPECT_EQ(1u, counts[3]);  // < 1 ms
  EXPECT_EQ(1u, counts[4]);  // 1 ms exactly: < 2 ms
  EXPECT_EQ(2u, counts.back());
  const std::string text = h.Render("t", 10);
  EXPECT_NE(std::string::npos, text.find("##########"));  // the fullest bucket gets the whole width
}
