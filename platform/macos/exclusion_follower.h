// Keeps a running capture's exclusions up with applications that start after
// it was set up. ScreenCaptureKit's filter names the applications it leaves
// out when it is made, so one launched later (the companion's web shell, whose
// page plays the companion's interface sounds, or another of its helpers)
// would be captured. The filter's own rule judges each newcomer as it judged
// the applications listed at set-up.
//
// Plain C++ over the seam: the capture backend supplies the listing and the
// update of the running stream's filter, so every decision here is tested
// without a Mac.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/capture.h"
#include "platform/process.h"

namespace pimorlo::platform::macos {

// The applications a filter must exclude after a fresh listing, in the
// listing's order, or nothing when the filter in place still serves. Only an
// application the rule selects that the filter does not yet exclude (by
// process id) calls for a new filter: one that has gone is harmless in the old
// filter and drops out with the next new one, and an update for nothing would
// only risk the running capture.
std::optional<std::vector<RunningApplication>> exclusionsToApply(
    const std::vector<RunningApplication>& listed, const std::vector<RunningApplication>& excluded,
    const std::function<bool(const RunningApplication&)>& rule);

class ExclusionFollower final : public std::enable_shared_from_this<ExclusionFollower> {
public:
    // Replaces the running stream's filter; `done` is called once, on any
    // thread, with whether the stream took it.
    using ApplyFilter = std::function<void(const ContentFilter& filter, std::function<void(bool applied)> done)>;

    // `filter` is the one the stream was made with. Listings are asked of
    // `capture` as the set-up asked, one at a time, `period` seconds after the
    // previous one ended; the follower's own work runs on `queue`.
    ExclusionFollower(CaptureSystem& capture, std::shared_ptr<Queue> queue, double period, ContentFilter filter,
                      ApplyFilter apply);

    // Once capture runs. The first listing comes one period later.
    void start();
    // From any thread. No listing or update begins afterwards, and an answer
    // still on its way changes nothing.
    void stop();

private:
    void scheduleLook();
    void look();
    void listed(std::optional<ShareableContent> content, std::optional<Error> error);
    void applied(ContentFilter filter, bool ok);

    CaptureSystem& capture_;
    const std::shared_ptr<Queue> queue_;
    const double period_;
    ContentFilter filter_;  // queue_ only: the filter the stream has now
    const ApplyFilter apply_;
    std::atomic<bool> stopped_{false};
};

}  // namespace pimorlo::platform::macos
