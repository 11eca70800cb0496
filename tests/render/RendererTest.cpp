#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

#include "platform/Threads.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "tests/render/RenderTestSupport.h"

namespace qz {
namespace {

using test::Grid;
using test::ProgressLog;
using test::World;

TEST(Renderer, BaseClassSaysItCannotRenderEachTimeItIsStale) {
    World w;
    Renderer r(w.data, w.fkt);
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.imageRef(), nullptr);
    EXPECT_EQ(r.imageRef(), nullptr);  // not stale any more: silent
    r.setNeedsUpdateImage(true);
    EXPECT_EQ(r.imageRef(), nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string line = "Renderer.updateImageRef called, should implemented in subclass\n";
    EXPECT_EQ(out, line + line);
    EXPECT_FALSE(r.needsUpdateImage());
}

TEST(Renderer, RendersOnlyWhenStale) {
    World w;
    w.load(Grid(4, 4, 4, 2000));
    Volume v(w.data, w.fkt);
    ProgressLog log(w.center, "calculate volume");
    const auto first = v.imageRef();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(log.values().size(), 100u);
    EXPECT_EQ(v.imageRef(), first);  // same image, no render
    v.setQuality(0);
    v.setDoShading(true);
    EXPECT_EQ(v.imageRef(), first);  // quality and shading alone do not re-render
    EXPECT_EQ(log.values().size(), 100u);
    v.setOrientation(MakeVector(0.1f, 0, 0));
    EXPECT_NE(v.imageRef(), first);
    EXPECT_EQ(log.values().size(), 200u);
}

TEST(Renderer, NewDataMarksEveryRendererStale) {
    World w;
    Slices s(w.data, w.fkt);
    Volume v(w.data, w.fkt);
    MIP m(w.data, w.fkt);
    s.imageRef();
    v.imageRef();
    m.imageRef();
    EXPECT_FALSE(s.needsUpdateImage() || v.needsUpdateImage() || m.needsUpdateImage());
    w.load(Grid(3, 3, 3, 5));
    EXPECT_TRUE(s.needsUpdateImage());
    EXPECT_TRUE(v.needsUpdateImage());
    EXPECT_TRUE(m.needsUpdateImage());
}

TEST(Renderer, DestroyedRendererNoLongerObservesLoads) {
    World w;
    {
        Slices s(w.data, w.fkt);
        MIP m(w.data, w.fkt);
    }
    w.load(Grid(2, 2, 2, 1));  // would touch freed renderers otherwise (caught by the sanitizers)
    SUCCEED();
}

TEST(Renderer, ChangeDuringARenderIsNotLost) {
    World w;
    w.load(Grid(4, 4, 4, 2000));
    Volume v(w.data, w.fkt);
    // Marks the renderer stale from inside its own render, as another thread could at any time.
    std::atomic<bool> once{false};
    Observation poke(w.center, kUpdateProgressBar, nullptr, [&](const Notification&) {
        if (!once.exchange(true))
            v.setOrientation(MakeVector(0.5f, 0, 0));
    });
    ASSERT_NE(v.imageRef(), nullptr);
    EXPECT_TRUE(v.needsUpdateImage());
}

TEST(Renderer, ImageRefFromInsideItsOwnRenderReturnsThePreviousImage) {
    World w;
    w.load(Grid(4, 4, 4, 2000));
    Volume v(w.data, w.fkt);
    v.setMaxImageResolution(10);
    const auto first = v.imageRef();
    v.setOrientation(MakeVector(0.3f, 0, 0));
    int calls = 0;
    Observation nested(w.center, kUpdateProgressBar, nullptr, [&](const Notification&) {
        if (calls++ == 0) {
            v.setOrientation(MakeVector(0.6f, 0, 0));
            EXPECT_EQ(v.imageRef(), first);  // no render inside a render
        }
    });
    const auto second = v.imageRef();
    EXPECT_NE(second, first);
    EXPECT_TRUE(v.needsUpdateImage());  // the change made during the render is still pending
}

TEST(Renderer, HiResRendersOnItsThreadThenAnnounces) {
    World w;
    w.load(Grid(5, 5, 5, 3000));
    auto renderer = Volume(w.data, w.fkt).createSameClass();
    renderer->setMaxImageResolution(40);
    std::mutex mutex;
    std::condition_variable cv;
    bool posted = false;
    std::thread::id postingThread;
    std::shared_ptr<const RgbaImage> imageAtPost;
    Observation observer(w.center, kNewHiResAvailable, renderer.get(), [&](const Notification& n) {
        std::lock_guard lock(mutex);
        EXPECT_EQ(n.object, renderer.get());
        postingThread = std::this_thread::get_id();
        imageAtPost = static_cast<Renderer*>(const_cast<void*>(n.object))->imageRef();
        posted = true;
        cv.notify_all();
    });
    std::thread::id workerThread;
    std::thread worker([&] {
        workerThread = std::this_thread::get_id();
        renderer->hiRes();
    });
    worker.join();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return posted; }));
    EXPECT_EQ(postingThread, workerThread);
    ASSERT_NE(imageAtPost, nullptr);
    EXPECT_EQ(imageAtPost->width, 40);
    EXPECT_FALSE(renderer->needsUpdateImage());
}

TEST(Renderer, CreateSameClassGivesAFreshRendererOfThatClass) {
    World w;
    Slices s(w.data, w.fkt);
    s.setAxis(1);
    MIP m(w.data, w.fkt);
    m.setMaxImageResolution(10);
    m.setOrientation(MakeVector(1, 2, 3));
    const auto s2 = s.createSameClass();
    const auto m2 = m.createSameClass();
    EXPECT_STREQ(s2->className(), "Slices");
    EXPECT_EQ(static_cast<Slices&>(*s2).axis(), 2);
    EXPECT_STREQ(m2->className(), "MIP");
    EXPECT_EQ(m2->maxImageResolution(), 100);
    EXPECT_EQ(m2->orientation().x, 0.0f);
    EXPECT_EQ(m2->quality(), 1);
    EXPECT_FALSE(m2->doShading());
    EXPECT_TRUE(m2->needsUpdateImage());
}

TEST(Renderer, ImpossibleResolutionsAreRefusedAndChangeNothing) {
    World w;
    w.load(Grid(8, 4, 2, 100));
    Volume v(w.data, w.fkt);
    Slices s(w.data, w.fkt);
    v.imageRef();
    s.imageRef();
    testing::internal::CaptureStdout();
    v.setMaxImageResolution(-1);
    s.setMaxImageResolution(Renderer::kMaxImageSide + 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Volume:Error: ", 0), 0u) << out;
    EXPECT_NE(out.find("\nSlices:Error: "), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
    EXPECT_EQ(v.maxImageResolution(), 100);
    EXPECT_EQ(v.width(), 100);
    EXPECT_EQ(s.width(), 100);
    EXPECT_EQ(s.height(), 50);
    EXPECT_FALSE(v.needsUpdateImage());
    EXPECT_FALSE(s.needsUpdateImage());
    EXPECT_NE(v.imageRef(), nullptr);
    // The largest side still accepted (no render here).
    v.setMaxImageResolution(Renderer::kMaxImageSide);
    EXPECT_EQ(v.width(), Renderer::kMaxImageSide);
}

TEST(Renderer, ResolutionZeroGivesNoImageAndNoProgress) {
    World w;
    w.load(Grid(4, 4, 4, 100));
    Volume v(w.data, w.fkt);
    MIP m(w.data, w.fkt);
    Slices s(w.data, w.fkt);
    ProgressLog volumeLog(w.center, "calculate volume"), sliceLog(w.center, "calculate slice");
    for (Renderer* r : std::initializer_list<Renderer*>{&v, &m, &s}) {
        r->setMaxImageResolution(0);
        EXPECT_EQ(r->width(), 0);
        EXPECT_EQ(r->height(), 0);
        EXPECT_EQ(r->imageRef(), nullptr);
    }
    EXPECT_EQ(v.areaRadius(), 0);
    EXPECT_TRUE(volumeLog.values().empty());
    EXPECT_TRUE(sliceLog.values().empty());
}

}  // namespace
}  // namespace qz
