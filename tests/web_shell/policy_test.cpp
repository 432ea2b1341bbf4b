#include "web_shell/policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace pimorlo::web_shell {
namespace {

using platform::NavigationActionPolicy;
using platform::PermissionDecision;

TEST(ParseDecimalInt32, FollowsTheDecimalRule) {
    struct Case {
        std::string text;
        std::optional<std::int32_t> value;
    };
    const Case cases[] = {
        {"", std::nullopt},          {"abc", std::nullopt},         {"12a", std::nullopt},
        {" 5", std::nullopt},        {"5 ", std::nullopt},          {"+", std::nullopt},
        {"-", std::nullopt},         {"+-1", std::nullopt},         {"--1", std::nullopt},
        {"0x10", std::nullopt},      {"1.0", std::nullopt},         {"\xd9\xa5", std::nullopt},  // Arabic-Indic 5
        {"007", 7},                  {"+7", 7},                     {"-5", -5},
        {"-0", 0},                   {"0", 0},                      {"4242", 4242},
        {"2147483647", 2147483647},  {"2147483648", std::nullopt},  {"99999999999", std::nullopt},
        {"-2147483648", INT32_MIN},  {"-2147483649", std::nullopt}, {"00000000002147483647", 2147483647},
    };
    for (const auto& c : cases) EXPECT_EQ(parseDecimalInt32(c.text), c.value) << "text \"" << c.text << "\"";
}

TEST(NavigationDecision, KeepsLocalHostsAndHandsOffForeignWebAddresses) {
    struct Case {
        std::string host;
        std::optional<std::string> scheme;
        NavigationActionPolicy policy;
        bool openExternally;
    };
    const auto allow = NavigationActionPolicy::allow;
    const auto cancel = NavigationActionPolicy::cancel;
    const Case cases[] = {
        {"127.0.0.1", "http", allow, false},
        {"localhost", "http", allow, false},
        {"LOCALHOST", "https", allow, false},
        {"LocalHost", "http", allow, false},
        {"::1", "http", allow, false},
        {"localhost", "ftp", allow, false},
        {"127.0.0.1", "file", allow, false},
        {"example.com", "https", cancel, true},
        {"example.com", "http", cancel, true},
        {"127.0.0.2", "http", cancel, true},
        {"127.1", "http", cancel, true},
        {"0.0.0.0", "http", cancel, true},
        {"localhost.", "http", cancel, true},
        {"::ffff:127.0.0.1", "http", cancel, true},
        {"", "about", allow, false},
        {"", "data", allow, false},
        {"", "blob", allow, false},
        {"", "file", allow, false},
        {"", "mailto", allow, false},
        {"example.com", "ftp", allow, false},
        {"example.com", std::nullopt, allow, false},
        // The scheme is compared as the parser reports it.
        {"example.com", "HTTPS", allow, false},
        {"", "http", cancel, true},
    };
    for (const auto& c : cases) {
        auto scheme = c.scheme ? std::optional<std::string_view>(*c.scheme) : std::nullopt;
        auto decision = navigationDecision(c.host, scheme);
        EXPECT_EQ(decision.policy, c.policy) << c.host << " " << c.scheme.value_or("(none)");
        EXPECT_EQ(decision.openExternally, c.openExternally) << c.host << " " << c.scheme.value_or("(none)");
    }
}

TEST(NewWindowDecision, LoadsLocalPagesInPlaceAndNeverMakesAWindow) {
    struct Case {
        std::string host;
        std::optional<std::string> scheme;
        NewWindowDecision decision;
    };
    const Case cases[] = {
        {"127.0.0.1", "http", NewWindowDecision::loadInPlace},
        {"localhost", "https", NewWindowDecision::loadInPlace},
        {"LOCALHOST", "http", NewWindowDecision::loadInPlace},
        {"localhost", "ftp", NewWindowDecision::loadInPlace},
        // "::1" is local for navigation only.
        {"::1", "http", NewWindowDecision::openExternally},
        {"example.com", "https", NewWindowDecision::openExternally},
        {"127.0.0.2", "http", NewWindowDecision::openExternally},
        {"localhost.", "http", NewWindowDecision::openExternally},
        {"0.0.0.0", "https", NewWindowDecision::openExternally},
        // Mail and phone links open the user's own applications.
        {"", "mailto", NewWindowDecision::openExternally},
        {"", "tel", NewWindowDecision::openExternally},
        {"example.com", "mailto", NewWindowDecision::openExternally},
        // No other scheme's handler is started from a page.
        {"", "about", NewWindowDecision::ignore},
        {"", "file", NewWindowDecision::ignore},
        {"example.com", "ftp", NewWindowDecision::ignore},
        {"example.com", "HTTP", NewWindowDecision::ignore},
        {"", "MAILTO", NewWindowDecision::ignore},
        {"", "sms", NewWindowDecision::ignore},
        {"", "x-custom", NewWindowDecision::ignore},
        {"", "javascript", NewWindowDecision::ignore},
        {"example.com", std::nullopt, NewWindowDecision::ignore},
    };
    for (const auto& c : cases) {
        auto scheme = c.scheme ? std::optional<std::string_view>(*c.scheme) : std::nullopt;
        EXPECT_EQ(newWindowDecision(c.host, scheme), c.decision) << c.host << " " << c.scheme.value_or("(none)");
    }
}

TEST(MediaCaptureDecision, GrantsLocalOriginsAndPromptsForEveryOther) {
    const std::pair<std::string, PermissionDecision> cases[] = {
        {"127.0.0.1", PermissionDecision::grant}, {"localhost", PermissionDecision::grant},
        {"LocalHost", PermissionDecision::grant}, {"::1", PermissionDecision::prompt},
        {"", PermissionDecision::prompt},         {"example.com", PermissionDecision::prompt},
        {"127.0.0.2", PermissionDecision::prompt}, {"localhost.", PermissionDecision::prompt},
    };
    for (const auto& [host, decision] : cases) EXPECT_EQ(mediaCaptureDecision(host), decision) << host;
}

TEST(IsLocalWebPage, IsAWebAddressThatNavigationKeeps) {
    struct Case {
        std::string host;
        std::optional<std::string> scheme;
        bool local;
    };
    const Case cases[] = {
        {"127.0.0.1", "http", true},   {"LOCALHOST", "https", true},  {"::1", "http", true},
        {"localhost", "file", false},  {"127.0.0.1", "ftp", false},   {"localhost", std::nullopt, false},
        {"", "about", false},          {"", "data", false},           {"example.com", "https", false},
        {"127.0.0.2", "http", false},  {"localhost", "HTTP", false},
    };
    for (const auto& c : cases) {
        auto scheme = c.scheme ? std::optional<std::string_view>(*c.scheme) : std::nullopt;
        EXPECT_EQ(isLocalWebPage(c.host, scheme), c.local) << c.host << " " << c.scheme.value_or("(none)");
    }
}

TEST(MayReloadAfterTermination, AllowsThreeWithinAnyMinute) {
    struct Case {
        std::vector<double> earlier;
        double now;
        bool allowed;
    };
    const Case cases[] = {
        {{}, 0.0, true},
        {{100.0}, 100.1, true},
        {{100.0, 100.5}, 101.0, true},
        // A page that ends its process at once: the fourth is refused.
        {{100.0, 100.5, 101.0}, 101.5, false},
        {{100.0, 100.5, 101.0}, 159.9, false},
        // A minute after the first, one is allowed again, and so on.
        {{100.0, 100.5, 101.0}, 160.0, true},
        {{100.5, 101.0, 160.0}, 160.4, false},
        {{100.5, 101.0, 160.0}, 160.5, true},
        // Old reloads do not count, however many there were.
        {{0.0, 1.0, 2.0, 3.0, 4.0}, 500.0, true},
        // Spread out, one every 30 s goes on for ever.
        {{0.0, 30.0}, 60.0, true},
    };
    for (const auto& c : cases) {
        std::string earlier;
        for (double at : c.earlier) earlier += std::to_string(at) + " ";
        EXPECT_EQ(mayReloadAfterTermination(c.earlier, c.now), c.allowed) << "[" << earlier << "] at " << c.now;
    }
}

}  // namespace
}  // namespace pimorlo::web_shell
