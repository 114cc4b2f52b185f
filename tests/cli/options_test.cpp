// The option scanner, driven directly: clusters, attached and separate values, the ends of the
// option list and refusals.
#include "cli/common/options.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// An argument vector that lives as long as the test and the scanner reset for it.
struct Args {
    explicit Args(std::vector<std::string> words) : storage(std::move(words)) {
        for (auto& w : storage) pointers.push_back(w.data());
        pointers.push_back(nullptr);
        cli::scanner = cli::ScannerState{};
    }
    int argc() const { return static_cast<int>(storage.size()); }
    char* const* argv() { return pointers.data(); }
    int next() { return cli::scan(argc(), argv(), "jl:n:o:pr:svh"); }
    std::vector<std::string> storage;
    std::vector<char*> pointers;
};

TEST(OptionScanner, ClusteredFlagsComeOneCallEach) {
    Args a({"vantrel", "-jsv", "in.wav"});
    EXPECT_EQ(a.next(), 'j');
    EXPECT_EQ(cli::scanner.option_index, 1);
    EXPECT_EQ(a.next(), 's');
    EXPECT_EQ(a.next(), 'v');
    EXPECT_EQ(cli::scanner.option_index, 2);
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(cli::scanner.option_index, 2);
}

TEST(OptionScanner, ValueAttachedOrInTheNextArgument) {
    Args a({"vantrel", "-l8", "-l", "12", "-vn4", "in.wav"});
    ASSERT_EQ(a.next(), 'l');
    EXPECT_STREQ(cli::scanner.option_value, "8");
    ASSERT_EQ(a.next(), 'l');
    EXPECT_STREQ(cli::scanner.option_value, "12");
    ASSERT_EQ(a.next(), 'v');
    EXPECT_EQ(cli::scanner.option_value, nullptr);
    ASSERT_EQ(a.next(), 'n');
    EXPECT_STREQ(cli::scanner.option_value, "4");
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(cli::scanner.option_index, 5);
}

TEST(OptionScanner, ValueMayLookLikeAnOption) {
    Args a({"vantrel", "-o", "-v", "in.wav"});
    ASSERT_EQ(a.next(), 'o');
    EXPECT_STREQ(cli::scanner.option_value, "-v");
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(cli::scanner.option_index, 3);
}

TEST(OptionScanner, MissingValueIsRefusedAndReported) {
    Args a({"vantrel", "-v", "-l"});
    ASSERT_EQ(a.next(), 'v');
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "get command line option: Invalid argument\n");
    EXPECT_EQ(cli::scanner.option_value, nullptr);
}

TEST(OptionScanner, UnknownLetterAndColonAreRefused) {
    for (const char* word : {"-x", "-:"}) {
        Args a({"vantrel", word, "in.wav"});
        cli::scanner.report_errors = 0; // silent, but still refused
        testing::internal::CaptureStderr();
        EXPECT_EQ(a.next(), '?') << word;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << word;
    }
}

TEST(OptionScanner, DoubleDashAndLoneDashEndTheOptionsAndAreSkipped) {
    for (const char* end : {"--", "-"}) {
        Args a({"vantrel", "-j", end, "-v"});
        EXPECT_EQ(a.next(), 'j');
        EXPECT_EQ(a.next(), -1) << end;
        EXPECT_EQ(cli::scanner.option_index, 3) << end;
    }
}

TEST(OptionScanner, HelpAndVersionAreKnownLongOptionsAndOthersAreRefused) {
    Args a({"vantrel", "--help", "--version", "--frob", "--", "--help"});
    EXPECT_EQ(a.next(), cli::HELP_OPTION);
    EXPECT_EQ(a.next(), cli::VERSION_OPTION);
    testing::internal::CaptureStderr();
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "get command line option: Invalid argument\n");
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(cli::scanner.option_index, 5); // after "--", "--help" is an operand
}

TEST(OptionScanner, AnOperandEndsScanningAtOnce) {
    Args a({"vantrel", "in.wav", "-v"});
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(cli::scanner.option_index, 1);
}

TEST(OptionScanner, SwitchCharacterIsConfigurable) {
    Args a({"vantrel", "/j", "-v"});
    cli::scanner.switch_char = '/';
    EXPECT_EQ(a.next(), 'j');
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(cli::scanner.option_index, 2);
}

TEST(OptionNumber, ReadsLikeAtoiAndSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(cli::option_number("8"), 8);
    EXPECT_EQ(cli::option_number("  -12abc"), -12);
    EXPECT_EQ(cli::option_number("+7"), 7);
    EXPECT_EQ(cli::option_number("abc"), 0);
    EXPECT_EQ(cli::option_number(""), 0);
    EXPECT_EQ(cli::option_number("2147483647"), INT_MAX);
    EXPECT_EQ(cli::option_number("99999999999"), INT_MAX);
    EXPECT_EQ(cli::option_number("-2147483648"), INT_MIN);
    EXPECT_EQ(cli::option_number("-99999999999999999999999"), INT_MIN);
}

} // namespace
