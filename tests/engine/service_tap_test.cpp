// The tap between the driver and "KLP1:", and what the job runner tells its
// caller: page geometry before the first page, progress per band, the step
// a job stopped at.

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <vector>

#include "channel/channel.h"
#include "driver/hooks.h"
#include "engine/engine.h"
#include "engine/service_tap.h"
#include "tests/support/recording_device.h"

using kelo::engine::JobOptions;
using kelo::engine::JobStep;
using kelo::engine::RunJob;
using kelo::engine::ServiceCalls;
using kelo::engine::ServiceTap;
using kelo::test::InstallRecordingService;

namespace {

void WhitePage(int, int, int, uint8_t*, size_t) {}

// A page with ink on every row, so that every row carries data.
void GreyPage(int, int width, int height, uint8_t* bgr, size_t stride) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width * 3; ++x) bgr[y * stride + x] = static_cast<uint8_t>((x + y) % 200);
  }
}

JobOptions Job(SHORT paper = DMPAPER_A4) {
  JobOptions job;
  job.devmode = kelo::engine::DefaultDevmode(&DrvEnableDriver);
  job.devmode.dmPaperSize = paper;
  return job;
}

}  // namespace

TEST(ServiceTap, PassesEveryCallThroughAndCountsTheWrites) {
  auto service = InstallRecordingService();
  ServiceTap tap;
  ASSERT_TRUE(tap.Install(u"KLP1:"));
  const auto result = RunJob(&DrvEnableDriver, Job(), 1, GreyPage);
  ASSERT_TRUE(result.ok) << result.failure;
  const ServiceCalls calls = tap.Calls();
  EXPECT_EQ(calls.writes, static_cast<int>(service->Writes().size()));
  EXPECT_EQ(calls.bytesAccepted, service->WrittenBytes().size());
  EXPECT_GT(calls.bytesAccepted, 904u);
  EXPECT_EQ(calls.failedWrites, 0);
  EXPECT_EQ(calls.statusChecks, static_cast<int>(service->CallsOf(KLP_CHECK_STATUS).size()));
  EXPECT_FALSE(calls.lastStatusCheckFailed);
  EXPECT_EQ(calls.openFailures, 0);
}

TEST(ServiceTap, KeepsTheReasonsTheHooksLose) {
  {
    auto service = InstallRecordingService();
    service->FailCommand(KLP_OPEN, ERROR_SHARING_VIOLATION);
    ServiceTap tap;
    ASSERT_TRUE(tap.Install(u"KLP1:"));
    const auto result = RunJob(&DrvEnableDriver, Job(), 1, WhitePage);
    EXPECT_EQ(result.failedStep, JobStep::kDeviceEnable);
    EXPECT_EQ(result.lastError, static_cast<DWORD>(ERROR_INVALID_HANDLE));  // what the hook says
    EXPECT_EQ(tap.Calls().openFailures, 1);
    EXPECT_EQ(tap.Calls().openError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  {
    auto service = InstallRecordingService();
    service->FailCommand(KLP_WRITE, ERROR_WRITE_FAULT);
    ServiceTap tap;
    ASSERT_TRUE(tap.Install(u"KLP1:"));
    RunJob(&DrvEnableDriver, Job(), 1, GreyPage);
    const ServiceCalls calls = tap.Calls();
    EXPECT_GT(calls.failedWrites, 0);
    EXPECT_EQ(calls.failedWrites, calls.writes);
    EXPECT_EQ(calls.bytesAccepted, 0u);
    EXPECT_EQ(calls.writeError, static_cast<DWORD>(ERROR_WRITE_FAULT));
  }
}

TEST(ServiceTap, SeesAFailedStatusCheck) {
  auto service = InstallRecordingService();
  service->FailCommand(KLP_CHECK_STATUS, ERROR_OUT_OF_PAPER);
  ServiceTap tap;
  ASSERT_TRUE(tap.Install(u"KLP1:"));
  const auto result = RunJob(&DrvEnableDriver, Job(), 1, WhitePage);
  EXPECT_EQ(result.failedStep, JobStep::kDocumentStart);
  const ServiceCalls calls = tap.Calls();
  EXPECT_TRUE(calls.lastStatusCheckFailed);
  EXPECT_EQ(calls.statusError, static_cast<DWORD>(ERROR_OUT_OF_PAPER));
}

TEST(ServiceTap, InstallNeedsTheServiceAndHappensOnce) {
  kelo::host::UnregisterDevice(u"KLP1:");
  ServiceTap missing;
  SetLastError(0);
  EXPECT_FALSE(missing.Install(u"KLP1:"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  auto service = InstallRecordingService();
  ServiceTap tap;
  ASSERT_TRUE(tap.Install(u"KLP1:"));
  EXPECT_FALSE(tap.Install(u"KLP1:"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST(ServiceTap, RemovePutsTheServiceBack) {
  auto service = InstallRecordingService();
  ServiceTap tap;
  ASSERT_TRUE(tap.Install(u"KLP1:"));
  tap.Remove();
  tap.Remove();  // twice is harmless
  HANDLE h = CreateFileW(u"KLP1:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uintptr_t open = 0;
  EXPECT_EQ(kelo::host::DeviceForHandle(h, &open).get(), service.get());
  BYTE data[2] = {1, 2};
  EXPECT_TRUE(DeviceIoControl(h, KLP_WRITE + 1, data, 2, nullptr, 0, nullptr, nullptr));
  CloseHandle(h);
  EXPECT_EQ(service->Writes().size(), 1u);
  EXPECT_EQ(tap.Calls().writes, 0);
}

TEST(JobRunner, ReportsThePageBeforeTheFirstPageAndProgressPerBand) {
  InstallRecordingService();
  JobOptions job = Job();
  job.bandRows = 100;
  GDIINFO seen = {};
  int enables = 0;
  std::vector<std::pair<int, int>> bands;
  job.enabled = [&](const GDIINFO& info) {
    seen = info;
    ++enables;
    EXPECT_TRUE(bands.empty());
  };
  job.progress = [&](int page, int done, int rows) {
    EXPECT_EQ(rows, 904);
    bands.emplace_back(page, done);
  };
  ASSERT_TRUE(RunJob(&DrvEnableDriver, job, 2, WhitePage).ok);
  EXPECT_EQ(enables, 1);
  EXPECT_EQ(seen.szlPhysSize.cx, 640);
  EXPECT_EQ(seen.szlPhysSize.cy, 904);
  ASSERT_EQ(bands.size(), 20u);  // ten bands a page, the last one 4 rows
  EXPECT_EQ(bands[0], (std::pair{0, 100}));
  EXPECT_EQ(bands[9], (std::pair{0, 904}));
  EXPECT_EQ(bands[19], (std::pair{1, 904}));
}

TEST(JobRunner, CustomPaperWiderThanLongShowsItsRealPage) {
  InstallRecordingService();
  JobOptions job = Job(DMPAPER_USER);
  job.devmode.dmFields |= DM_PAPERWIDTH | DM_PAPERLENGTH;
  job.devmode.dmPaperWidth = 80;
  job.devmode.dmPaperLength = 50;
  GDIINFO seen = {};
  int surfaceHeight = 0;
  job.enabled = [&](const GDIINFO& info) { seen = info; };
  const auto result = RunJob(&DrvEnableDriver, job, 1,
                             [&](int, int, int height, uint8_t*, size_t) { surfaceHeight = height; });
  ASSERT_TRUE(result.ok) << result.failure;
  EXPECT_EQ(surfaceHeight, 640);  // square surface
  EXPECT_EQ(seen.szlPhysSize.cx, 640);
  EXPECT_EQ(seen.szlPhysSize.cy, 400);
}

TEST(JobRunner, CopiesPlayTheWholeDocumentAgainWhenTheDevmodeAsks) {
  struct Case {
    DWORD fields;
    SHORT copies;
    std::vector<int> pages;  // in the order they are drawn
  };
  const Case cases[] = {
      {DM_COPIES, 3, {0, 1, 0, 1, 0, 1}},  // collated
      {DM_COPIES, 1, {0, 1}},
      {DM_COPIES, 0, {0, 1}},   // no copies is one
      {DM_COPIES, -2, {0, 1}},
      {0, 3, {0, 1}},           // the count is not valid without its field bit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fields " << c.fields << " copies " << c.copies);
    auto service = InstallRecordingService();
    JobOptions job = Job();
    job.devmode.dmFields |= c.fields;
    job.devmode.dmCopies = c.copies;
    std::vector<int> drawn;
    const auto draw = [&](int page, int, int, uint8_t*, size_t) { drawn.push_back(page); };
    const auto result = RunJob(&DrvEnableDriver, job, 2, draw);
    ASSERT_TRUE(result.ok) << result.failure;
    EXPECT_EQ(drawn, c.pages);
    EXPECT_EQ(result.pagesSent, static_cast<int>(c.pages.size()));
    EXPECT_EQ(service->CallsOf(KLP_CHECK_STATUS).size(), c.pages.size() + 3)
        << "one status check a page, one at the start and two at the end of the document";
  }
}

TEST(JobRunner, ARendererOutOfMemoryEndsTheDocumentWithAnError) {
  auto service = InstallRecordingService();
  const auto draw = [](int page, int w, int h, uint8_t* bgr, size_t stride) {
    if (page == 1) throw std::bad_alloc();
    GreyPage(page, w, h, bgr, stride);
  };
  const auto result = RunJob(&DrvEnableDriver, Job(), 3, draw);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failedStep, JobStep::kRender);
  EXPECT_NE(result.failure.find("page 2"), std::string::npos) << result.failure;
  EXPECT_EQ(result.pagesSent, 1);
  // The first page went out and the document was ended, not cut off.
  const std::vector<BYTE> bytes = service->WrittenBytes();
  const std::vector<BYTE> end2 = {0x1B, 0x76, 0x03};
  ASSERT_GE(bytes.size(), end2.size());
  EXPECT_TRUE(std::equal(end2.begin(), end2.end(), bytes.end() - 3));
}

TEST(JobRunner, AnUnavailablePageEndsTheDocumentAfterThePagesBeforeIt) {
  for (int failing : {0, 2}) {
    SCOPED_TRACE(testing::Message() << "page " << failing + 1 << " unavailable");
    auto service = InstallRecordingService();
    std::vector<int> drawn;
    const auto draw = [&](int page, int w, int h, uint8_t* bgr, size_t stride) {
      drawn.push_back(page);
      if (page == failing) throw kelo::engine::PageUnavailable("cannot read it");
      GreyPage(page, w, h, bgr, stride);
    };
    const auto result = RunJob(&DrvEnableDriver, Job(), 3, draw);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failedStep, JobStep::kPage);
    EXPECT_EQ(result.failure, "cannot read it");
    EXPECT_EQ(result.pagesSent, failing);
    EXPECT_EQ(drawn.back(), failing) << "a page after the unavailable one was drawn";
    const std::vector<BYTE> bytes = service->WrittenBytes();  // the document was ended
    const std::vector<BYTE> end2 = {0x1B, 0x76, 0x03};
    ASSERT_GE(bytes.size(), end2.size());
    EXPECT_TRUE(std::equal(end2.begin(), end2.end(), bytes.end() - 3));
  }
}
