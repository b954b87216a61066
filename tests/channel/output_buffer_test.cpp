// The output buffer and its flush, at the stand-in "KLP1:".

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "tests/support/recording_device.h"

using kelo::test::InstallRecordingService;
using kelo::test::RecordingServiceDevice;

namespace {

const char16_t* const kKey = u"Drivers\\BuiltIn\\KLP";

struct Fixture {
  std::shared_ptr<RecordingServiceDevice> service = InstallRecordingService();
  std::unique_ptr<PrinterChannel> channel = std::make_unique<PrinterChannel>();
  Fixture() { EXPECT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE); }
};

// Bytes that are no printer command, so the filter passes them as they are.
std::vector<BYTE> Plain(size_t n) { return std::vector<BYTE>(n, 0x55); }

}  // namespace

TEST(Write, FortyThousandBytesMakeOneFullFlush) {
  Fixture f;
  const auto data = Plain(40000);
  ASSERT_TRUE(Write(*f.channel, data.data(), static_cast<DWORD>(data.size())));
  const auto writes = f.service->Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].size(), 32768u);
  EXPECT_EQ(f.channel->fillCount, 7232);
}

TEST(Write, NullBytesFail) {
  Fixture f;
  EXPECT_FALSE(Write(*f.channel, nullptr, 10));
  EXPECT_FALSE(WriteString(*f.channel, nullptr));
  EXPECT_EQ(f.channel->fillCount, 0);
}

TEST(Write, StringIsWrittenWithoutItsTerminator) {
  Fixture f;
  ASSERT_TRUE(WriteString(*f.channel, "\x1B\x76\x03"));
  EXPECT_EQ(f.channel->fillCount, 3);
}

TEST(Write, AFailedFlushOnTheWayFailsTheWriteAndKeepsTheChunkInHand) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  f.service->FailCommand(KLP_CHECK_STATUS, ERROR_NOT_READY);
  const auto data = Plain(40000);
  EXPECT_FALSE(Write(*f.channel, data.data(), static_cast<DWORD>(data.size())));
  // The failed flush emptied the buffer, then the next chunk went in.
  EXPECT_EQ(f.channel->fillCount, 7232);
}

TEST(Flush, EmptyBufferSendsNothing) {
  Fixture f;
  EXPECT_TRUE(Flush(*f.channel));
  EXPECT_TRUE(f.service->Writes().empty());
}

TEST(Flush, WriteFailingEveryTimeWithStatusGoodGivesElevenAttempts) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  const auto data = Plain(100);
  ASSERT_TRUE(Write(*f.channel, data.data(), 100));
  EXPECT_FALSE(Flush(*f.channel));
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 11u);
  EXPECT_EQ(f.service->CallsOf(KLP_CHECK_STATUS).size(), 11u);
  EXPECT_EQ(f.channel->fillCount, 0);
}

TEST(Flush, StopsWhenTheStatusCheckBetweenAttemptsFails) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  f.service->FailCommand(KLP_CHECK_STATUS, ERROR_OUT_OF_PAPER);
  ASSERT_TRUE(Write(*f.channel, "abc", 3));
  EXPECT_FALSE(Flush(*f.channel));
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 1u);
  EXPECT_EQ(f.service->CallsOf(KLP_CHECK_STATUS).size(), 1u);
  EXPECT_EQ(f.channel->fillCount, 0);
}

TEST(Flush, SucceedsOnALaterAttemptWithTheSameBytes) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE, 2);
  ASSERT_TRUE(Write(*f.channel, "abc", 3));
  EXPECT_TRUE(Flush(*f.channel));
  const auto writes = f.service->CallsOf(KLP_WRITE);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[2].input, (std::vector<BYTE>{'a', 'b', 'c'}));
  EXPECT_EQ(f.service->Writes().size(), 1u);
}

TEST(Flush, RetrySettingsAreReadAtEveryFlush) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  kelo::host::SetRegistryDword(kKey, u"NumFlushRetries", 2);
  ASSERT_TRUE(Write(*f.channel, "a", 1));
  EXPECT_FALSE(Flush(*f.channel));
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 2u);

  kelo::host::SetRegistryDword(kKey, u"NumFlushRetries", 4);
  ASSERT_NE(OpenChannel(*f.channel, u"LPT1:"), INVALID_HANDLE_VALUE);  // a new connection
  ASSERT_TRUE(Write(*f.channel, "a", 1));
  EXPECT_FALSE(Flush(*f.channel));
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 6u);
}

TEST(Flush, ZeroRetriesStillMakeOneAttempt) {
  // A stored 0 must not drop the data while reporting success.
  Fixture f;
  kelo::host::SetRegistryDword(kKey, u"NumFlushRetries", 0);
  ASSERT_TRUE(Write(*f.channel, "abc", 3));
  EXPECT_TRUE(Flush(*f.channel));
  EXPECT_EQ(f.service->Writes().size(), 1u);

  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  ASSERT_TRUE(Write(*f.channel, "abc", 3));
  EXPECT_FALSE(Flush(*f.channel));
}

TEST(Flush, WaitsBetweenAttempts) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  kelo::host::SetRegistryDword(kKey, u"NumFlushRetries", 3);
  kelo::host::SetRegistryDword(kKey, u"FlushRetryWait", 40);
  ASSERT_TRUE(Write(*f.channel, "a", 1));
  EXPECT_FALSE(Flush(*f.channel));
  const auto writes = f.service->CallsOf(KLP_WRITE);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_GE(writes[1].tick - writes[0].tick, 40u);
  EXPECT_GE(writes[2].tick - writes[1].tick, 40u);
}

TEST(Flush, StoredZeroWaitCountsAsOneMillisecond) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  kelo::host::SetRegistryDword(kKey, u"NumFlushRetries", 5);
  kelo::host::SetRegistryDword(kKey, u"FlushRetryWait", 0);
  ASSERT_TRUE(Write(*f.channel, "a", 1));
  EXPECT_FALSE(Flush(*f.channel));
  const auto writes = f.service->CallsOf(KLP_WRITE);
  ASSERT_EQ(writes.size(), 5u);
  for (size_t i = 1; i < writes.size(); ++i) EXPECT_GE(writes[i].tick - writes[i - 1].tick, 1u);
}

TEST(Flush, ValuesThatAreNotNumbersKeepTheirDefaults) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  kelo::host::SetRegistryString(kKey, u"NumFlushRetries", u"2");
  ASSERT_TRUE(Write(*f.channel, "a", 1));
  EXPECT_FALSE(Flush(*f.channel));
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 11u);
}

TEST(Flush, FilterOffSendsTheBufferUnchanged) {
  Fixture f;
  kelo::host::SetRegistryDword(kKey, u"EnablePageFilter", 0);
  std::vector<BYTE> data = {0x1B, 0x6D, 0x00};
  for (int i = 0; i < 10; ++i) data.insert(data.end(), {0x1B, 0x67, 0x00});
  data.push_back(0x1B);  // an incomplete command at the end goes out too
  ASSERT_TRUE(Write(*f.channel, data.data(), static_cast<DWORD>(data.size())));
  ASSERT_TRUE(Flush(*f.channel));
  EXPECT_EQ(f.service->WrittenBytes(), data);
}

TEST(Flush, FilterOnShortensWhiteRuns) {
  Fixture f;
  std::vector<BYTE> data = {0x1B, 0x6D, 0x00};
  for (int i = 0; i < 10; ++i) data.insert(data.end(), {0x1B, 0x67, 0x00});
  data.insert(data.end(), {0x1B, 0x76, 0x03});
  ASSERT_TRUE(Write(*f.channel, data.data(), static_cast<DWORD>(data.size())));
  ASSERT_TRUE(Flush(*f.channel));
  EXPECT_EQ(f.service->WrittenBytes().size(), 3u + 3 * 3 + 3);
}

TEST(Flush, AWhiteLineSplitByAFlushWaitsAndIsNotLost) {
  Fixture f;
  kelo::host::SetRegistryDword(kKey, u"CntOfDel-0-Bytes", 1);
  f.channel->planesPerLine = 4;
  // One white line (kept), then the first two rows of a second line that may
  // still turn out white.
  std::vector<BYTE> first = {0x1B, 0x6D, 0x00};
  first.reserve(3 + 6 * 3);  // GCC 12 at -O3 sees a false overflow in the growth
  for (int i = 0; i < 6; ++i) first.insert(first.end(), {0x1B, 0x67, 0x00});
  ASSERT_TRUE(Write(*f.channel, first.data(), static_cast<DWORD>(first.size())));
  ASSERT_TRUE(Flush(*f.channel));
  EXPECT_EQ(f.service->WrittenBytes().size(), 3u + 12);

  // The line turns out to carry ink in its third plane: all of it goes out.
  const std::vector<BYTE> second = {0x1B, 0x67, 0x01, 0x80, 0x1B, 0x67, 0x00};
  ASSERT_TRUE(Write(*f.channel, second.data(), static_cast<DWORD>(second.size())));
  ASSERT_TRUE(Flush(*f.channel));
  std::vector<BYTE> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(f.service->WrittenBytes(), expected) << kelo::test::HexDump(f.service->WrittenBytes());
}

TEST(Flush, ClosingReleasesWhatTheFilterHolds) {
  Fixture f;
  kelo::host::SetRegistryDword(kKey, u"CntOfDel-0-Bytes", 1);
  f.channel->planesPerLine = 4;
  std::vector<BYTE> data = {0x1B, 0x6D, 0x00};
  for (int i = 0; i < 6; ++i) data.insert(data.end(), {0x1B, 0x67, 0x00});
  data.insert(data.end(), {0x1B, 0x67});  // and an incomplete row command
  ASSERT_TRUE(Write(*f.channel, data.data(), static_cast<DWORD>(data.size())));
  CloseChannel(*f.channel);
  EXPECT_EQ(f.service->WrittenBytes(), data);
}

// A port that took part of a flush and then nothing gets only the rest on
// the next attempt: a resend of bytes the printer already has would corrupt
// the stream from that byte on.
TEST(Flush, AnAttemptResumesWhereThePortStoppedTakingBytes) {
  Fixture f;
  f.service->TakeOnly({1, 0, 3});  // then everything
  std::vector<BYTE> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(0x20 + i);
  ASSERT_TRUE(Write(*f.channel, data.data(), static_cast<DWORD>(data.size())));
  EXPECT_TRUE(Flush(*f.channel));
  EXPECT_EQ(f.service->WrittenBytes(), data) << kelo::test::HexDump(f.service->WrittenBytes());
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 4u);
}

// Once a flush gave up, the document is lost: the later flushes of the job
// drop their data at once instead of waiting out every attempt again. A new
// connection tries again.
TEST(Flush, AfterAFlushGaveUpLaterFlushesSendNothing) {
  Fixture f;
  f.service->FailCommand(KLP_WRITE, ERROR_TIMEOUT);
  const auto data = Plain(100);
  ASSERT_TRUE(Write(*f.channel, data.data(), 100));
  SetLastError(0);
  EXPECT_FALSE(Flush(*f.channel));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));  // the write's reason
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 11u);
  ASSERT_TRUE(Write(*f.channel, data.data(), 100));
  EXPECT_FALSE(FlushEndOfStream(*f.channel));
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 11u);
  EXPECT_EQ(f.channel->fillCount, 0);

  ASSERT_NE(OpenChannel(*f.channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(*f.channel, data.data(), 100));
  EXPECT_FALSE(Flush(*f.channel));
  EXPECT_EQ(f.service->CallsOf(KLP_WRITE).size(), 22u);
}
