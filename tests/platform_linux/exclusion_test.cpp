// The exclusion every Linux backend judges by: who a stream belongs to, from
// its properties and its client's, and which processes are the companion's.
#include "platform/linux/capture/exclusion.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>

#include "audio_tap/rules.h"

namespace pimorlo::platform::linux_backend {
namespace {

constexpr pid_t kOwnPid = 4242;

bool coreRule(const RunningApplication& application) { return audio_tap::isSelfOrCompanion(application, kOwnPid); }

// A process table: pid -> (parent, comm, argv[0], start time).
struct Processes {
    std::map<pid_t, ProcessRecord> table;
    ProcessLookup lookup() const {
        return [this](pid_t pid) -> std::optional<ProcessRecord> {
            auto it = table.find(pid);
            if (it == table.end()) return std::nullopt;
            return it->second;
        };
    }
};

TEST(ApplicationIdentity, ReadsAStreamsOwnValuesFirstAndItsClientsWhereItHasNone) {
    const Props client{{"application.name", "Player"}, {"application.process.id", "700"},
                       {"application.process.binary", "player"}};
    const Props stream{{"application.name", "Player tab"}, {"application.id", "org.example.Player"}};
    const ApplicationIdentity own = applicationIdentity(stream, client, client, 9);
    EXPECT_EQ(own.applicationName, "Player tab");
    EXPECT_EQ(own.bundleIdentifier, "org.example.Player");
    EXPECT_EQ(own.processID, 700);
    EXPECT_EQ(own.processBinary, "player");
    EXPECT_EQ(own.clientSerial, 9u);
    const ApplicationIdentity byClient = applicationIdentity(client, stream, client, 9);
    EXPECT_EQ(byClient.applicationName, "Player");
}

TEST(ApplicationIdentity, SandboxedClientHasItsPortalIdAndNoProcess) {
    struct Case {
        const char* what;
        Props client;
    };
    const Case cases[] = {
        {"pipewire.access", {{"pipewire.access", "flatpak"}, {"pipewire.access.portal.app_id", "org.example.App"}}},
        {"pipewire-pulse's mark", {{"pipewire.client.access", "flatpak"}, {"application.id", "org.example.App"}}},
        {"portal id alone", {{"pipewire.access.portal.app_id", "org.example.App"}}},
    };
    for (const Case& c : cases) {
        Props client = c.client;
        client["application.process.id"] = "2";  // the sandbox's, shared with every other
        const ApplicationIdentity identity = applicationIdentity(client, client, client, 1);
        EXPECT_TRUE(identity.sandboxed) << c.what;
        EXPECT_EQ(identity.processID, 0) << c.what;
        EXPECT_EQ(identity.bundleIdentifier, "org.example.App") << c.what;
    }
    // A stream cannot name itself sandboxed: only the server marks a client.
    const Props stream{{"pipewire.access", "flatpak"}, {"application.process.id", "700"}};
    EXPECT_FALSE(applicationIdentity(stream, {}, {}, 0).sandboxed);
}

TEST(ExclusionJudge, JudgesAStreamByItsOwnValuesAndByItsClients) {
    Processes processes;
    processes.table[700] = {1, "player", "player", 10};
    ExclusionRules rules{coreRule, {}, {}, processes.lookup()};
    const ExclusionJudge judge(rules);
    struct Case {
        const char* what;
        Props stream;
        Props client;
        bool excluded;
    };
    const Case cases[] = {
        {"ordinary", {{"application.name", "Music"}}, {{"application.process.id", "700"}}, false},
        {"companion by stream name", {{"application.name", "Pim Orlo Desktop"}}, {{"application.process.id", "700"}}, true},
        {"companion named on its client only", {{"application.name", "Music"}},
         {{"application.name", "PimOrlo"}, {"application.process.id", "700"}}, true},
        {"companion by bundle id", {{"application.id", "com.PimOrlo.Companion.helper"}}, {}, true},
        {"companion by binary", {}, {{"application.process.binary", "pimorlo-desktop"}, {"application.process.id", "700"}},
         true},
        {"hyphenated words are not the name", {{"application.name", "Pim-Orlo"}}, {}, false},
        {"the tap itself", {}, {{"application.process.id", "4242"}}, true},
    };
    for (const Case& c : cases) {
        const ApplicationIdentity own = applicationIdentity(c.stream, c.client, c.client, 1);
        const ApplicationIdentity client = applicationIdentity(c.client, c.stream, c.client, 1);
        EXPECT_EQ(judge.excludes(own, client), c.excluded) << c.what;
    }
}

TEST(ExclusionJudge, LeavesOutTheCompanionsProcessesWhateverTheyAreCalled) {
    Processes processes;
    processes.table[100] = {1, "bash", "pimorlo-desktop", 50};  // the companion, as argv[0] names it
    processes.table[101] = {100, "paplay", "paplay", 60};       // its child, an ordinary player
    processes.table[200] = {1, "electron", "electron", 70};     // listed at set-up
    processes.table[201] = {200, "chime", "chime", 80};
    processes.table[300] = {1, "music", "music", 90};           // an ordinary application
    processes.table[301] = {300, "decoder", "decoder", 95};
    processes.table[400] = {1, "helper", "helper", 99};         // below an excluded client
    processes.table[401] = {400, "sound", "sound", 120};
    ExclusionRules rules{coreRule, {ProcessKey{200, 70}}, {}, processes.lookup()};
    ExclusionJudge judge(rules);
    judge.setExcludedClientProcesses({400});
    auto excluded = [&](pid_t pid) {
        const Props props{{"application.process.id", std::to_string(pid)}};
        const ApplicationIdentity identity = applicationIdentity(props, {}, {}, 0);
        return judge.excludes(identity, identity);
    };
    EXPECT_TRUE(excluded(101)) << "a child of a process named for the companion";
    EXPECT_TRUE(excluded(201)) << "a child of a process listed at set-up";
    EXPECT_TRUE(excluded(401)) << "a child of a client the rule excludes";
    EXPECT_FALSE(excluded(301));
    EXPECT_FALSE(excluded(999)) << "a process already gone";
    // A process given the pid of one listed at set-up is another process.
    processes.table[200] = {1, "game", "game", 5000};
    EXPECT_FALSE(excluded(201));
}

TEST(ExclusionJudge, NeverWalksASandboxsProcessIds) {
    Processes processes;
    processes.table[2] = {1, "pimorlo", "pimorlo", 1};  // a host process that the sandbox's pid 2 names
    const ExclusionJudge judge(ExclusionRules{coreRule, {}, {}, processes.lookup()});
    const Props client{{"pipewire.access", "flatpak"}, {"application.process.id", "2"},
                       {"pipewire.access.portal.app_id", "org.example.Game"}};
    const ApplicationIdentity identity = applicationIdentity(client, client, client, 5);
    EXPECT_FALSE(judge.excludes(identity, identity));
    // Listed at set-up by the server's number for it, it is left out.
    const ExclusionJudge listed(ExclusionRules{coreRule, {}, {5}, processes.lookup()});
    EXPECT_TRUE(listed.excludes(identity, identity));
}

TEST(ExclusionJudge, ExcludesAClientOnlyByItsOwnValues) {
    const ExclusionJudge judge(ExclusionRules{coreRule, {}, {}, {}});
    const Props companion{{"application.name", "Pim Orlo Desktop"}, {"application.process.id", "100"}};
    const Props anonymous{{"application.name", "Pim Orlo Desktop"}};
    const Props sandboxed{{"application.name", "Pim Orlo"}, {"pipewire.access", "flatpak"},
                          {"application.process.id", "2"}};
    EXPECT_TRUE(judge.excludesClient(applicationIdentity(companion, companion, companion, 1)));
    EXPECT_FALSE(judge.excludesClient(applicationIdentity(anonymous, anonymous, anonymous, 1)))
        << "no process to leave out below it";
    EXPECT_FALSE(judge.excludesClient(applicationIdentity(sandboxed, sandboxed, sandboxed, 1)));
}

TEST(ReadProcessRecord, ReadsThisProcessAndNothingForOneThatIsGone) {
    const auto own = readProcessRecord(::getpid());
    ASSERT_TRUE(own);
    EXPECT_EQ(own->parent, ::getppid());
    EXPECT_FALSE(own->name.empty());
    EXPECT_GT(own->startTime, 0u);
    EXPECT_EQ(processKey(::getpid(), readProcessRecord), (ProcessKey{::getpid(), own->startTime}));
    EXPECT_FALSE(readProcessRecord(0));
    EXPECT_FALSE(readProcessRecord(1 << 29));
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
