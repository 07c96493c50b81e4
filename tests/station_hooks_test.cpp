// Command hooks: a script that records its input and environment for every
// call, hooks that fail, hang (killed at their limit, with what they started)
// or cannot be found, a queue that overflows, and decoding that does not wait
// for a slow hook. No check depends on how long something took.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "station/station.h"
#include "station_test_support.h"
#include "test_support.h"

namespace quorvel {
namespace {

using json = nlohmann::ordered_json;
using testing::Lines;
using testing::RunCommand;
using testing::ScratchDir;

const std::string kDecode = QUORVEL_DECODE_PATH;
using Clock = std::chrono::steady_clock;

// True while the process exists and has not ended (a killed orphan may stay a
// zombie where nobody reaps it).
bool Running(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const auto close = text.rfind(") ");
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' && text[close + 2] != 'X';
}

class StationHooks : public ::testing::Test {
protected:
    StationHooks() : dir_("station-hooks") {
        EXPECT_EQ(testing::StationTraffic().WriteWav(dir_.Path("traffic.wav")), "");
        dir_.Write("names.csv", "protocol,address,subaddress,name\npocsag,1234567,,Wache Nord\nfms,63123456,,HLF 1\n");
    }
    std::string Decode(const std::string& args) const {
        return kDecode + " " + args + " " + dir_.Path("traffic.wav");
    }
    ScratchDir dir_;
};

TEST_F(StationHooks, EachCallsJsonOnStandardInputAndItsFieldsInTheEnvironment) {
    // One file per run (hooks run side by side): the input, then the variables.
    const std::string script = dir_.Write(
        "record.sh",
        "#!/bin/sh\nf=\"" + dir_.Path("run") + "-$$\"\ncat > \"$f.tmp\"\n"
        "printf '%s\\n' \"$QUORVEL_PROTOCOL\" \"$QUORVEL_ADDRESS\" \"$QUORVEL_FUNCTION\" \"$QUORVEL_MESSAGE\" "
        "\"$QUORVEL_NAME\" \"$QUORVEL_TIME\" >> \"$f.tmp\"\nmv \"$f.tmp\" \"$f.txt\"\necho recorded\n");
    ::chmod(script.c_str(), 0755);
    const auto r = RunCommand("QUORVEL_NAME=stale " + Decode("--format json --aliases " + dir_.Path("names.csv") +
                                                             " --only pocsag:1234567 --only fms --stats --exec " + script));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<json> written;
    for (const std::string& line : Lines(r.out))
        if (!line.empty() && line[0] == '{') written.push_back(json::parse(line));
    ASSERT_EQ(written.size(), 10u) << r.out;  // 4 POCSAG calls, 3 FMS telegrams, 3 transmission summaries
    std::vector<json> calls;
    for (const json& o : written)
        if (!o.contains("event")) calls.push_back(o);
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(r.out.find("recorded"), std::string::npos) << "a hook's output stays off the decoded output";
    EXPECT_NE(r.err.find("recorded"), std::string::npos);

    std::set<std::string> expected, seen;
    for (const json& c : calls) {
        const bool pocsag = c["protocol"] == "pocsag";
        std::string fields = c.dump() + "\n" + c["protocol"].get<std::string>() + "\n";
        fields += pocsag ? "1234567\n" + std::to_string(c["function"].get<int>()) + "\n" + c["message"].get<std::string>()
                         : "63123456\n" + c["status"].get<std::string>() + "\n";
        fields += "\n" + c["name"].get<std::string>() + "\n" + c["time"].get<std::string>() + "\n";
        expected.insert(fields);
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path(""))) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("run-", 0) == 0 && entry.path().extension() == ".txt") seen.insert(dir_.Read(name));
    }
    EXPECT_EQ(seen, expected);
    ASSERT_NE(r.err.find("calls: "), std::string::npos) << r.err;
    const std::string stats = r.err.substr(r.err.find("calls: "));
    EXPECT_NE(stats.find("hooks run: 7\nhooks failed: 0\nhooks dropped: 0\n"), std::string::npos) << stats;
}

TEST_F(StationHooks, FailingHangingAndMissingHooksAreReportedWithTheirCall) {
    const std::string child = dir_.Path("child.pid");
    // The hanging hook starts a child of its own: the time limit ends both.
    const std::string hang = "sleep 30 & echo $! > " + child + "; wait";
    // (The hanging runs would take 30 s each: the reports below that they
    // were killed at 0.5 s show the limit; no clock is read here.)
    const auto r = RunCommand(Decode("--only fms --stats --exec-timeout 0.5 --exec 'exit 3' --exec '" + hang +
                                     "' --exec '\"$HOME/no-such-hook\"'"));
    ASSERT_EQ(r.status, 1) << "failed hooks are lost calls\n" << r.err;
    EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;  // the telegrams (levels and counts go to standard error)
    const struct {
        std::string pattern;
        int count;
    } reports[] = {
        {R"(quorvel-decode: hook 'exit 3' failed: exit status 3; for fms 63123456 status [23] at \d{4}-)", 3},
        {"quorvel-decode: hook '" + std::regex_replace(hang, std::regex(R"([.$])"), R"(\$&)") +
             R"(' failed: timed out after 0.5 s \(killed\); for fms 63123456 status [23])",
         3},
        {R"(quorvel-decode: hook '"\$HOME/no-such-hook"' failed: exit status 127 \(command not found\); for fms)", 3},
    };
    for (const auto& rep : reports) {
        int n = 0;
        for (const std::string& line : Lines(r.err)) n += std::regex_search(line, std::regex(rep.pattern)) ? 1 : 0;
        EXPECT_EQ(n, rep.count) << rep.pattern << "\n" << r.err;
    }
    EXPECT_NE(r.err.find("hooks run: 9\nhooks failed: 9\nhooks dropped: 0\nlost: 9\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("quorvel-decode: 9 call(s) or hook run(s) lost"), std::string::npos) << r.err;
    const std::string pid = dir_.Read("child.pid");
    ASSERT_FALSE(pid.empty());
    // Killed with its group when the run timed out; on a loaded machine the
    // signal may take a moment to land, so wait for it (no time is asserted).
    for (int i = 0; i < 200 && Running(std::stoi(pid)); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Running(std::stoi(pid))) << "the hook's own child outlived its time limit";
}

// The engine's loop with a station whose hook waits at a gate: decoding ends
// while no run has ended (it never waits for a hook), four run at once, the
// others wait in the queue, and every one runs when the gate opens.
TEST(StationHookRunner, DecodingDoesNotWaitForASlowHook) {
    const std::vector<std::int16_t> pcm = gen::Quantize(testing::StationTraffic().samples);
    ScratchDir dir("hook-gate");
    const std::string gate = dir.Path("go");
    const std::string started = dir.Path("started");
    // At most 60 s at the gate, so that a failing test cannot hang.
    const std::string hook = "echo x >> '" + started + "'; i=0; while [ ! -e '" + gate +
                             "' ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done";
    SystemClock clock;
    Engine engine(clock);
    engine.ctx.settings.PocsagEnabled.store(true);
    engine.ctx.settings.FmsEnabled.store(true);
    engine.ctx.settings.ZveiEnabled.store(true);
    station::StationOptions options;
    options.exec = {hook};
    options.execTimeout = 120.0;
    std::vector<std::string> errors;
    auto st = station::Create(options, engine.ctx.clock, false, errors);
    ASSERT_TRUE(st && errors.empty());
    st->Follow(&engine);
    const std::string text = testing::DecodeSamples(engine, pcm);
    EXPECT_NE(text.find("ZVEI: 54321"), std::string::npos);
    EXPECT_EQ(st->Hooks()->Runs(), 0u) << "decoding waited for a hook";

    auto startedRuns = [&started] { return Lines(testing::ReadFile(started)).size(); };
    // Waiting for the runs to start is the only use of a clock, and no check
    // depends on how long anything took.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (startedRuns() < 4 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(startedRuns(), 4u) << "four at once";
    dir.Write("go", "");
    st->Finish(false, stdout);
    EXPECT_EQ(st->Hooks()->Runs(), 13u);
    EXPECT_EQ(st->Hooks()->Failed(), 0u);
    EXPECT_EQ(startedRuns(), 13u);
}

TEST(StationHookRunner, AFullQueueIsReportedAndCounted) {
    station::Call call;
    call.protocol = "zvei";
    call.address = "12345";
    call.json = "{}";
    ::testing::internal::CaptureStderr();
    station::HookRunner runner({"sleep 0.2"}, 5.0, 1, 2);
    for (int i = 0; i < 10; ++i) runner.Submit(call);
    runner.Finish(5.0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_GE(runner.Dropped(), 7u) << "Submit never waits for a command";
    EXPECT_EQ(runner.Runs() + runner.Dropped(), 10u);
    EXPECT_EQ(runner.Failed(), 0u);
    EXPECT_NE(err.find("hook queue full (2 waiting): 1 hook run(s) dropped for zvei 12345"), std::string::npos) << err;
}

TEST(StationHookRunner, TheEndOfTheWaitKillsWhatRunsAndReportsWhatNeverStarted) {
    station::Call call;
    call.protocol = "pocsag";
    call.address = "0000008";
    call.json = "{}";
    ::testing::internal::CaptureStderr();
    station::HookRunner runner({"sleep 20"}, 30.0, 1, 10);
    runner.Submit(call);
    runner.Submit(call);
    runner.Finish(0.3);  // the run still going is killed (else 20 s), the other never starts
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(runner.Failed(), 1u);
    EXPECT_EQ(runner.Dropped(), 1u);
    EXPECT_NE(err.find("killed at the end of the input"), std::string::npos) << err;
    EXPECT_NE(err.find("1 hook run(s) not started before the end"), std::string::npos) << err;
}

}  // namespace
}  // namespace quorvel
