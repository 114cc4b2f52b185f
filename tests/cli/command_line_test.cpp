// The program as a user meets it: spawned as a real process, with standard output, standard
// error and the exit status compared byte for byte.
#include "banner.h"
#include "process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

using testsupport::run_process;
using testsupport::TempDir;

const std::string usage =
    "Usage:\n"
    "vantrel [-jsv] [-lblk_len] [-nsubbands] [-p] [-rrate] [-ooutputfile] inputfile\n"
    "            [-s] use the stereo mode for stereo signals\n"
    "            [-v] verbose mode\n"
    "            [-j] allow the use of joint coding for stereo signals\n"
    "            [-lblk_len] blk_len specifies the APCM block length, out of [4,8,12,16]\n"
    "            [-nsubbands] subbands specifies the number of subbands, out of [4,8]\n"
    "            [-p] a simple psycho acoustic model is used\n"
    "            [-rrate] specifies the bit rate in bps\n"
    "            [-ooutputfile] specifies the name of the bitstream output file\n"
    "            [-Fhz] resample the input to hz, out of [16000,32000,44100,48000]\n"
    "            [-m] use mSBC, the wideband speech codec of hands-free links (16000 Hz mono)\n"
    "            [-H] with -m, write each frame in a 60-byte H2 unit, as a voice link carries it\n"
    "            [-Tthreads] threads specifies the number of encoding threads, 0 for one per "
    "core\n"
    "            [-q] leave out the banner\n"
    "            [--help] [--version] print this usage or the version on standard output\n"
    "            inputfile specifies the audio input file, the major audio formats are "
    "supported\n";

const std::string refused = "get command line option: Invalid argument\n";

testsupport::ProcessResult vantrel(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::vantrel_binary());
    return run_process(args);
}

TEST(CommandLine, NoArgumentsAsksForTheInputName) {
    auto r = vantrel({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              banner + "\n" + testsupport::vantrel_binary() + ": Specify filename for input!\n");
}

TEST(CommandLine, HelpPrintsBannerAndUsageAndSucceeds) {
    auto r = vantrel({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, banner + usage);
}

TEST(CommandLine, RefusedOptionsPrintTheErrorLineThenUsage) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-x", "in.wav"}, std::vector<std::string>{"-v", "-l"}}) {
        auto r = vantrel(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, banner + refused + usage) << args[0];
    }
}

TEST(CommandLine, BlockLengthAboveSixteenIsRefusedBeforeTheInputIsOpened) {
    // The input does not exist: the block length is refused before anyone looks at it.
    auto r = vantrel({"-l20", "/nonexistent/input.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + "\nblk_len: 20 exceeds the maximum number: 16\n");

    auto separate = vantrel({"-l", "17"});
    EXPECT_EQ(separate.status, 1);
    EXPECT_EQ(separate.err, banner + "\nblk_len: 17 exceeds the maximum number: 16\n");
}

TEST(CommandLine, ANegativeThreadCountIsRefusedBeforeTheInputIsOpened) {
    auto r = vantrel({"-T", "-2", "/nonexistent/input.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + "\nthreads: -2 is negative (0 gives one per core)\n");
}

TEST(CommandLine, BlockLengthSixPassesTheEarlyCheck) {
    auto r = vantrel({"-l6"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              banner + "\n" + testsupport::vantrel_binary() + ": Specify filename for input!\n");
}

TEST(CommandLine, OutputInAMissingDirectoryFailsBeforeTheInputNameIsLookedAt) {
    auto r = vantrel({"-o", "/nonexistent-dir/out.sbc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + "\nError opening outputfile\n");
}

TEST(CommandLine, OutputFileIsCreatedAtOnce) {
    TempDir dir;
    auto out = dir / "out.sbc";
    auto r = vantrel({"-o" + out.string()});
    EXPECT_EQ(r.status, 1); // no input name
    EXPECT_TRUE(std::filesystem::exists(out));
    EXPECT_EQ(std::filesystem::file_size(out), 0u);
}

TEST(CommandLine, LongOutputNamesAreNotTruncated) {
    TempDir dir;
    const std::string name(200, 'n');
    auto out = dir / name;
    auto r = vantrel({"-o", out.string(), "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::filesystem::exists(out));
    EXPECT_FALSE(std::filesystem::exists(dir / name.substr(0, 59)));
}

TEST(CommandLine, DashesEndTheOptionsAndTheNextArgumentIsTheInput) {
    // "-v" after the end of the options is the input name, not verbose mode.
    for (const char* end : {"--", "-"}) {
        auto r = vantrel({end, "-v"});
        EXPECT_EQ(r.status, 1) << end;
        EXPECT_EQ(r.err.find("Specify filename"), std::string::npos) << end;
        EXPECT_NE(r.err.find("-v"), std::string::npos) << end;
    }
}

TEST(CommandLine, OptionsAfterTheInputApplyUpToTheNextOperand) {
    // "-l20" is refused when it is scanned: after the input it is, after "--" or a second
    // operand it is not.
    struct Case {
        std::vector<std::string> args;
        bool scanned;
    };
    for (const Case& c :
         {Case{{"missing.wav", "-l20"}, true}, Case{{"missing.wav", "--", "-l20"}, false},
          Case{{"missing.wav", "other.wav", "-l20"}, false}}) {
        auto r = vantrel(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.find("blk_len: 20 exceeds") != std::string::npos, c.scanned) << r.err;
        EXPECT_EQ(r.err.find("missing.wav") != std::string::npos, !c.scanned) << r.err;
    }
}

} // namespace
