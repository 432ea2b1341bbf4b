// The macOS backend's queues are Dispatch queues; the capture backend hands
// the same queue to the stream as its sample-handler queue.
#pragma once

#import <Foundation/Foundation.h>

#include <string>

#include "platform/process.h"

namespace pimorlo::platform::macos {

class DispatchQueue final : public Queue {
public:
    DispatchQueue(dispatch_queue_t queue, std::string label);
    void async(Task task) override;
    void asyncAfter(double seconds, Task task) override;
    std::string label() const override { return label_; }

    dispatch_queue_t native() const { return queue_; }

private:
    dispatch_queue_t queue_;
    std::string label_;
};

}  // namespace pimorlo::platform::macos
