// Several plugins in one run: each takes the previous one's output.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

// `in`'s samples times `factor`, delayed by `frames` with the input's length kept.
std::vector<float> scaled_later(const sound& in, float factor, int64_t frames) {
    std::vector<float> s(static_cast<size_t>(frames * in.channels), 0.0f);
    for (size_t i = 0; s.size() < in.samples.size(); ++i)
        s.push_back(in.samples[i] * factor);
    return s;
}

TEST(Chain, EachPluginTakesThePreviousOnesOutput) {
    const sound mono = numbered_sound(1, 900);
    const std::string amp = test_uri("amp");
    const std::string delay = test_uri("delay");
    const std::string constant = test_uri("constant");
    const std::string nan_from_first =
        "kelvo: warning: plugin 1 (" + constant +
        "): the plugin gives samples that are not finite (NaN or infinity); the next plugin "
        "gets 0 in their place\n";
    const struct {
        const char* what;
        std::vector<std::string> words;
        std::vector<float> expected;
        const char* err;
    } cases[] = {
        // 900 / 65536 times 8 is beyond full scale: nothing clips between plugins.
        {"gain then its inverse", {amp, "-c", "gain:8", amp, "-c", "gain:0.125"}, mono.samples,
         ""},
        {"-c before the first plugin", {"-c", "gain:8", amp, amp, "-c", "gain:0.125"},
         mono.samples, ""},
        {"two delays, compensated", {delay, "-c", "latency:100", delay, "-c", "latency:250"},
         mono.samples, ""},
        {"two delays, --with-latency",
         {"--with-latency", delay, "-c", "latency:100", delay, "-c", "latency:250"},
         scaled_later(mono, 1, 350), ""},
        {"a delay before a fixed-block plugin",
         {"-n", "64", delay, "-c", "latency:30", test_uri("fixed_block")}, mono.samples, ""},
        {"NaN into the next plugin", {constant, "-c", "value:nan", amp}, scaled_later(mono, 0, 0),
         nan_from_first.c_str()},
        {"NaN at the end", {amp, constant, "-c", "value:nan"}, scaled_later(mono, 0, 0),
         "kelvo: warning: NaN detected in audio output\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const processed p = process(mono, c.words);
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ(c.err, p.r.err);
        EXPECT_EQ(c.expected, p.out.samples);
    }
}

TEST(Chain, ChannelsFlowByTheRulesOfOnePlugin) {
    // mono -> one channel to both outputs -> an instance per channel -> a stereo plugin.
    const sound mono = numbered_sound(1, 300);
    const processed p = process(mono, {test_uri("mono_to_stereo"), test_uri("amp"), "-c",
                                       "gain:2", test_uri("stereo"), "-c", "gain:0.25"});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("", p.r.err);
    ASSERT_EQ(2, p.out.channels);
    ASSERT_EQ(300, p.out.frames());
    for (int64_t f = 0; f < 300; f += 37) {
        EXPECT_EQ(mono.samples[f] * 0.5f, p.out.at(f, 0));
        EXPECT_EQ(mono.samples[f] * 0.25f, p.out.at(f, 1));
    }

}

TEST(Chain, MessagesOfOnePluginNameIt) {
    const sound three = numbered_sound(3, 10);
    const std::string amp = test_uri("amp");
    const std::string second = "plugin 2 (" + amp + "): ";
    const struct {
        std::vector<std::string> words;
        int status;
        std::string err;
    } cases[] = {
        {{amp, amp, "-c", "nope:1"}, 1, "kelvo: error: " + second + "port 'nope' not found\n"},
        {{amp, amp, "-c", "gain:9"}, 0,
         "kelvo: warning: " + second + "out of range value for port 'gain' (min: 0, max: 8)\n"},
        {{amp, test_uri("stereo")}, 1,
         "kelvo: error: plugin 1 (" + amp + ") gives 3 channels, and the number of input ports "
         "of plugin 2 (" + test_uri("stereo") + ") (2 to 2) does not match\n"},
        {{test_uri("stereo"), amp}, 1,
         "kelvo: error: plugin 1 (" + test_uri("stereo") + "): the number of channels of the "
         "input file (3) and the number of input ports of the plugin (2 to 2) do not match\n"},
        {{amp, "urn:none"}, 1, "kelvo: error: plugin 2 (urn:none): plugin 'urn:none' not found\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        const processed p = process(three, c.words);
        EXPECT_EQ(c.status, p.r.status);
        EXPECT_EQ(c.err, p.r.err);
        EXPECT_EQ(c.status == 0, p.written);
    }
}

TEST(Chain, TailAndTimingCoverTheWholeChain) {
    const sound mono = numbered_sound(1, 2000);
    const std::string decay = test_uri("decay");
    // A plugin at unit gain changes nothing: the chain's tail is the decay's own.
    const processed alone = process(mono, {"--tail", "1", decay});
    const processed chained =
        process(mono, {"--tail", "1", "--timing", test_uri("amp"), decay, "-c", "time:1000"});
    EXPECT_EQ(0, chained.r.status);
    EXPECT_GT(alone.out.frames(), mono.frames());
    EXPECT_EQ(alone.out.samples, chained.out.samples);
    // The numbers vary; the lines and what they name do not.
    std::istringstream lines{chained.r.out};
    const std::string heads[] = {"Total time     : ", "Processing time: ", "Plugin 1 time  : ",
                                 "Plugin 2 time  : "};
    const std::string tails[] = {" s", " s", " s (" + test_uri("amp") + ")", " s (" + decay + ")"};
    std::string line;
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(std::getline(lines, line)) << chained.r.out;
        EXPECT_TRUE(line.starts_with(heads[i]) && line.ends_with(tails[i])) << line;
    }
    EXPECT_FALSE(std::getline(lines, line)) << chained.r.out;
}

}  // namespace
}  // namespace kelvo::test
