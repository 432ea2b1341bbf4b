// Conversions between Foundation's values and the seam's plain ones, shared by
// the macOS backend's files.
#pragma once

#import <Foundation/Foundation.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace pimorlo::platform::macos {

inline std::optional<std::string> optionalString(NSString* text) {
    if (text == nil) return std::nullopt;
    const char* utf8 = text.UTF8String;
    if (utf8 == nullptr) return std::nullopt;
    return std::string(utf8);
}

inline NSString* makeString(std::string_view text) {
    return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

inline Error errorFrom(NSError* error) {
    return Error{static_cast<long>(error.code), optionalString(error.localizedDescription).value_or("")};
}

inline std::optional<Error> optionalError(NSError* error) {
    if (error == nil) return std::nullopt;
    return errorFrom(error);
}

// Keeps a platform object alive for as long as the seam's record that carries
// it, and hands the same object back when the record returns to the backend.
struct NativeObject {
    id object;
};

inline std::shared_ptr<const void> retainNative(id object) {
    if (object == nil) return nullptr;
    return std::make_shared<const NativeObject>(NativeObject{object});
}

inline id nativeObject(const std::shared_ptr<const void>& native) {
    if (!native) return nil;
    return static_cast<const NativeObject*>(native.get())->object;
}

}  // namespace pimorlo::platform::macos
