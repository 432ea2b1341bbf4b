#include "platform/macos/exclusion_follower.h"

#include <algorithm>
#include <utility>

namespace pimorlo::platform::macos {

std::optional<std::vector<RunningApplication>> exclusionsToApply(
    const std::vector<RunningApplication>& listed, const std::vector<RunningApplication>& excluded,
    const std::function<bool(const RunningApplication&)>& rule) {
    if (!rule) return std::nullopt;
    std::vector<RunningApplication> selected;
    bool gained = false;
    for (const RunningApplication& application : listed) {
        if (!rule(application)) continue;
        const bool known = std::any_of(excluded.begin(), excluded.end(), [&](const RunningApplication& old) {
            return old.processID == application.processID;
        });
        gained = gained || !known;
        selected.push_back(application);
    }
    if (!gained) return std::nullopt;
    return selected;
}

ExclusionFollower::ExclusionFollower(CaptureSystem& capture, std::shared_ptr<Queue> queue, double period,
                                     ContentFilter filter, ApplyFilter apply)
    : capture_(capture), queue_(std::move(queue)), period_(period), filter_(std::move(filter)),
      apply_(std::move(apply)) {}

void ExclusionFollower::start() { scheduleLook(); }

void ExclusionFollower::stop() { stopped_.store(true); }

void ExclusionFollower::scheduleLook() {
    if (stopped_.load()) return;
    std::weak_ptr<ExclusionFollower> weakSelf = weak_from_this();
    queue_->asyncAfter(period_, [weakSelf] {
        if (auto self = weakSelf.lock()) self->look();
    });
}

void ExclusionFollower::look() {
    if (stopped_.load()) return;
    std::weak_ptr<ExclusionFollower> weakSelf = weak_from_this();
    // The same request as the set-up's, so the same applications are listed.
    capture_.getShareableContent(
        /*excludingDesktopWindows=*/false, /*onScreenWindowsOnly=*/false,
        [weakSelf](std::optional<ShareableContent> content, std::optional<Error> error) {
            auto self = weakSelf.lock();
            if (!self) return;
            self->queue_->async([weakSelf, content = std::move(content), error = std::move(error)] {
                if (auto follower = weakSelf.lock()) follower->listed(content, error);
            });
        });
}

// A failed listing or update changes nothing and is not reported: the capture
// runs on with the filter it has, and the next look tries again.
void ExclusionFollower::listed(std::optional<ShareableContent> content, std::optional<Error> error) {
    if (stopped_.load()) return;
    if (error || !content) return scheduleLook();
    auto exclusions =
        exclusionsToApply(content->applications, filter_.excludingApplications, filter_.excludesApplication);
    if (!exclusions) return scheduleLook();

    ContentFilter next = filter_;
    next.excludingApplications = std::move(*exclusions);
    std::weak_ptr<ExclusionFollower> weakSelf = weak_from_this();
    apply_(next, [weakSelf, next](bool ok) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->queue_->async([weakSelf, next, ok] {
            if (auto follower = weakSelf.lock()) follower->applied(next, ok);
        });
    });
}

void ExclusionFollower::applied(ContentFilter filter, bool ok) {
    if (ok) filter_ = std::move(filter);
    scheduleLook();
}

}  // namespace pimorlo::platform::macos
