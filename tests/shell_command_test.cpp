// Words built by smart_quote and argv2cmdline go through /bin/sh -c (via
// call_system, as the launcher runs them): whatever bytes go in must come
// out of the shell unchanged, one word for one.

#include "provisioning/shell_command.h"
#include "support/bundle_layout.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

std::string printable(const std::string& bytes)
{
    std::string shown;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789abcdef";
            shown += "\\x";
            shown += hex[c >> 4];
            shown += hex[c & 15];
        }
    }
    return shown;
}

class ShellQuoting : public ::testing::Test {
protected:
    ScratchDir scratch;

    // What the shell hands to printf for the quoted word.
    std::string throughShell(const std::string& word)
    {
        const std::string out = scratch / "out";
        removeTree(out);
        const int status = call_system("printf", "printf %s " + smart_quote(word) + " > " + smart_quote(out));
        EXPECT_EQ(status, 0) << "for " << printable(word) << " quoted as " << printable(smart_quote(word));
        return pathExists(out) ? readFile(out) : std::string("<no output file>");
    }

    void expectRoundTrip(const std::string& word)
    {
        EXPECT_EQ(printable(throughShell(word)), printable(word))
            << "quoted as " << printable(smart_quote(word));
    }
};

bool bareByDesign(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
        || std::string("/._+,:@%=-").find(static_cast<char>(c)) != std::string::npos;
}

} // namespace

TEST_F(ShellQuoting, EverySingleByteReachesTheProgramUnchanged)
{
    for (int byte = 1; byte <= 255; ++byte) {
        const std::string word(1, static_cast<char>(byte));
        SCOPED_TRACE("byte " + std::to_string(byte));
        expectRoundTrip(word);
    }
}

TEST_F(ShellQuoting, OnlyPlainWordsStayBare)
{
    for (int byte = 1; byte <= 255; ++byte) {
        const std::string word = "a" + std::string(1, static_cast<char>(byte)) + "b";
        const bool bare = smart_quote(word) == word;
        EXPECT_EQ(bare, bareByDesign(static_cast<unsigned char>(byte))) << "byte " << byte;
    }
    EXPECT_EQ(smart_quote("/Applications/Setup-1.2_x86+64,a:b@c%d=e"), "/Applications/Setup-1.2_x86+64,a:b@c%d=e");
    EXPECT_EQ(smart_quote(""), "\"\"");
}

TEST_F(ShellQuoting, AllBytesInOneWordReachTheProgramUnchanged)
{
    std::string everything;
    for (int byte = 1; byte <= 255; ++byte)
        everything += static_cast<char>(byte);
    expectRoundTrip(everything);

    std::string backwards(everything.rbegin(), everything.rend());
    expectRoundTrip(backwards);
}

TEST_F(ShellQuoting, AdversarialWordsReachTheProgramUnchanged)
{
    const std::vector<std::string> words = {
        "",
        " ",
        "a b",
        "a\tb",
        "\"",
        "\"\"",
        "'",
        "'\"'\"'",
        "it's",
        "say \"hi\"",
        "$HOME",
        "${HOME}",
        "$(id)",
        "$((1+2))",
        "`id`",
        "\\",
        "\\\\",
        "a\\",
        "\\\"",
        "\\$HOME",
        "\\`",
        "line1\nline2",
        "\n",
        "trailing newline\n",
        "*",
        "?",
        "[a-z]",
        "~",
        "~root",
        "-n",
        "-e",
        "--",
        "=",
        "a=b",
        "#comment",
        "a#b",
        "a;b",
        "a&b",
        "a|b",
        "a>b",
        "<a",
        "(a)",
        "{a,b}",
        "!",
        "$",
        "$$",
        "$1",
        "$@",
        "$'\\n'",
        "%s%d%n",
        "\xc3\xa9t\xc3\xa9 \xe2\x82\xac",
        "\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8a",
        "\x7f",
        "end with a quote\"",
        "end with a backslash\\",
    };
    for (const auto& word : words) {
        SCOPED_TRACE(printable(word));
        expectRoundTrip(word);
    }
}

TEST_F(ShellQuoting, RandomWordsReachTheProgramUnchanged)
{
    std::mt19937 generator(20240607u);
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> byte(1, 255);
    // Mostly the bytes the shell cares about, so that they meet each other.
    const std::string special = " \t\n\"'$`\\*?[]~#;&|<>(){}!=%-";
    std::uniform_int_distribution<size_t> pickSpecial(0, special.size() - 1);
    std::bernoulli_distribution useSpecial(0.5);
    for (int round = 0; round < 200; ++round) {
        std::string word;
        for (int i = length(generator); i > 0; --i)
            word += useSpecial(generator) ? special[pickSpecial(generator)] : static_cast<char>(byte(generator));
        SCOPED_TRACE("round " + std::to_string(round) + ": " + printable(word));
        expectRoundTrip(word);
    }
}

TEST_F(ShellQuoting, ArgumentsComeBackOneForOneIncludingEmptyOnes)
{
    const std::vector<std::string> arguments = {
        "", "plain", "two words", "", "tab\there", "new\nline", "$HOME", "'single'", "\"double\"", "`id`",
        "\\", "*", "~", "-n", "#x", "a;b", "",
    };
    std::vector<const char*> argv = {"launcher"};
    for (const auto& argument : arguments)
        argv.push_back(argument.c_str());

    const std::string out = scratch / "args";
    // A first fixed word, so that losing every argument still prints something to compare.
    const std::string line = "printf '%s\\0' first " + argv2cmdline(static_cast<int>(argv.size()), argv.data())
        + "> " + smart_quote(out);
    ASSERT_EQ(call_system("printf", line), 0) << printable(line);

    std::vector<std::string> expected = {"first"};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    const std::vector<std::string> received = splitNulTerminated(readFile(out));
    ASSERT_EQ(received.size(), expected.size()) << printable(line);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(printable(received[i]), printable(expected[i])) << "argument " << i;
}

TEST_F(ShellQuoting, ArgumentLineLeavesOutTheProgramName)
{
    const char* argv[] = {"launcher", "a", "b c"};
    EXPECT_EQ(argv2cmdline(1, argv), "");
    EXPECT_EQ(argv2cmdline(0, argv), "");
    EXPECT_EQ(argv2cmdline(3, argv), "a \"b c\" ");
}

TEST_F(ShellQuoting, CallSystemReturnsTheRawWaitStatus)
{
    EXPECT_EQ(call_system("sh", "exit 3"), 768);
    EXPECT_EQ(call_system("true", "true"), 0);
    EXPECT_EQ(call_system("whatever", "no-such-program-for-the-launcher-tests"), 32512);
    // The program name plays no part in what runs.
    EXPECT_EQ(call_system("no-such-program-for-the-launcher-tests", "exit 0"), 0);
}
