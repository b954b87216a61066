// Pages drawn one ahead on a second thread: the same pages as drawn in turn,
// the job stopped at an unreadable page with nothing read past it, a bounded
// lead, and no thread left behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "engine/image_pages.h"
#include "tests/engine/test_images.h"

namespace {

using kelo::engine::FitMode;
using kelo::engine::JobOptions;
using kelo::engine::PagesAhead;
using kelo::engine::PageUnavailable;
using kelo::engine::RgbImage;

// A surface taller than its paper, as the driver asks for on wide paper.
constexpr int kWidth = 48;
constexpr int kHeight = 72;
constexpr int kPaperHeight = 60;
constexpr size_t kStride = (kWidth * 3 + 3) & ~size_t{3};

std::vector<RgbImage> Images() {
  return {kelo::test::NoiseImage(30, 50, 1), kelo::test::NoiseImage(kWidth, kPaperHeight, 2),
          kelo::test::NoiseImage(90, 20, 3)};
}

void Enable(JobOptions& job) {
  GDIINFO info = {};
  info.szlPhysSize = {kWidth, kPaperHeight};
  job.enabled(info);
}

using Page = std::vector<uint8_t>;

// Draws `sheets` as RunJob does: each into a white surface.
template <typename Render>
std::vector<Page> Draw(const Render& render, const std::vector<int>& sheets) {
  std::vector<Page> pages;
  for (int page : sheets) {
    Page bgr(kStride * kHeight, 0xFF);
    render(page, kWidth, kHeight, bgr.data(), kStride);
    pages.push_back(std::move(bgr));
  }
  return pages;
}

// Reads image `page` of `images`, counting the reads; fails as told.
struct Source {
  const std::vector<RgbImage>* images;
  int unreadable = -1;    // this page cannot be read
  int outOfMemory = -1;   // reading this page runs out of memory
  std::atomic<int>* reads;
  std::atomic<int>* furthest;  // the highest page read

  bool operator()(int page, RgbImage* image, std::string* error) const {
    ++*reads;
    int seen = furthest->load();
    while (page > seen && !furthest->compare_exchange_weak(seen, page)) {
    }
    if (page == outOfMemory) throw std::bad_alloc();
    if (page == unreadable) {
      *error = "page " + std::to_string(page + 1) + " is damaged";
      return false;
    }
    *image = (*images)[static_cast<size_t>(page)];
    return true;
  }
};

TEST(PagesAhead, DrawsWhatDrawingInTurnDraws) {
  struct Case {
    FitMode fit;
    std::vector<int> sheets;  // the pages asked for, in order
    int expectedSheets;       // what the job told the pipeline it would ask
  };
  const std::vector<Case> cases = {
      {FitMode::kWidth, {0, 1, 2}, 3},
      {FitMode::kPage, {0, 1, 2, 0, 1, 2}, 6},  // two copies
      {FitMode::kNone, {0}, 1},
      {FitMode::kWidth, {2, 0, 1}, 3},  // out of order: drawn on the spot
      {FitMode::kPage, {0, 1, 2, 0}, 3},  // one more than announced
  };
  const std::vector<RgbImage> images = Images();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fit " << static_cast<int>(c.fit) << ", "
                                    << c.sheets.size() << " sheets");
    JobOptions inTurn;
    const auto reference = kelo::engine::ImagePages(images, c.fit, inTurn);
    Enable(inTurn);
    std::atomic<int> reads{0}, furthest{-1};
    JobOptions job;
    PagesAhead ahead(Source{&images, -1, -1, &reads, &furthest}, 3, c.expectedSheets, c.fit, job);
    Enable(job);
    EXPECT_TRUE(Draw(ahead.Renderer(), c.sheets) == Draw(reference, c.sheets));
  }
}

TEST(PagesAhead, AFailedReadEndsTheJobAtItsPageAndNothingPastItIsRead) {
  struct Case {
    int unreadable;
    int outOfMemory;
    int failsAt;  // sheet index
    bool memory;  // std::bad_alloc rather than PageUnavailable
  };
  const std::vector<Case> cases = {
      {0, -1, 0, false}, {1, -1, 1, false}, {2, -1, 2, false}, {-1, 1, 1, true}};
  const std::vector<RgbImage> images = Images();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "unreadable " << c.unreadable << " memory "
                                    << c.outOfMemory);
    std::atomic<int> reads{0}, furthest{-1};
    JobOptions job;
    PagesAhead ahead(Source{&images, c.unreadable, c.outOfMemory, &reads, &furthest}, 3, 6,
                     FitMode::kWidth, job);
    Enable(job);
    const auto render = ahead.Renderer();
    Page bgr(kStride * kHeight, 0xFF);
    for (int sheet = 0; sheet < c.failsAt; ++sheet) {
      render(sheet, kWidth, kHeight, bgr.data(), kStride);
    }
    if (c.memory) {
      EXPECT_THROW(render(c.failsAt, kWidth, kHeight, bgr.data(), kStride), std::bad_alloc);
    } else {
      try {
        render(c.failsAt, kWidth, kHeight, bgr.data(), kStride);
        ADD_FAILURE() << "the unreadable page was drawn";
      } catch (const PageUnavailable& unavailable) {
        EXPECT_EQ(std::string(unavailable.what()),
                  "page " + std::to_string(c.failsAt + 1) + " is damaged");
      }
    }
    EXPECT_EQ(furthest.load(), c.failsAt) << "a page past the failed one was read";
  }
}

TEST(PagesAhead, ReadsAtMostOnePageAheadAndStopsWithTheJob) {
  const std::vector<RgbImage> images = Images();
  for (int drawn : {1, 2}) {
    SCOPED_TRACE(testing::Message() << drawn << " pages drawn");
    std::atomic<int> reads{0}, furthest{-1};
    {
      JobOptions job;
      PagesAhead ahead(Source{&images, -1, -1, &reads, &furthest}, 3, 30, FitMode::kPage, job);
      Enable(job);
      std::vector<int> sheets;
      for (int sheet = 0; sheet < drawn; ++sheet) sheets.push_back(sheet);
      Draw(ahead.Renderer(), sheets);
      // The thread reads and draws the next page, then waits.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (reads < drawn + 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(reads.load(), drawn + 1);
    }  // the job ends early: the waiting thread is stopped and joined, not left hanging
  }
}

}  // namespace
