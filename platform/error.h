// A platform failure as a value: a numeric code and a text for people.
#pragma once

#include <string>

namespace pimorlo::platform {

struct Error {
    long code = 0;
    std::string localizedDescription;
};

}  // namespace pimorlo::platform
