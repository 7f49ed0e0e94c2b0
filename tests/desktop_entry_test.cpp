// The desktop entry in every bundle launcher-bundle makes: valid for
// desktop-file-validate, and its Exec line, expanded as a desktop expands it,
// starts the launcher of the bundle wherever the bundle was moved to.

#include "support/bundle_layout.h"
#include "support/bundle_tool.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace testsupport;

namespace {

class DesktopEntry : public BundleToolTest {};

// The value of a key, its string escapes (\s \n \t \r \\) undone.
std::string entryValue(const std::string& text, const std::string& key)
{
    for (const std::string& line : splitLines(text)) {
        if (!line.starts_with(key + "="))
            continue;
        std::string value;
        for (std::size_t i = key.size() + 1; i < line.size(); ++i) {
            if (line[i] != '\\' || i + 1 == line.size()) {
                value += line[i];
                continue;
            }
            const char escaped = line[++i];
            value += escaped == 's' ? ' ' : escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped == 'r' ? '\r' : escaped;
        }
        return value;
    }
    ADD_FAILURE() << "no " << key << " in\n" << text;
    return {};
}

// The Exec value as a desktop runs it: split at blanks outside double
// quotes, a backslash inside them taking the next ", `, $ or \ literally;
// the field code %k becomes the entry's own path and %% a %.
std::vector<std::string> expandExec(const std::string& exec, const std::string& entryPath)
{
    std::vector<std::string> argv;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size() && std::string("\"`$\\").find(exec[i + 1]) != std::string::npos)
            word += exec[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == '%' && i + 1 < exec.size())
            word += exec[++i] == 'k' ? entryPath : exec[i] == '%' ? "%" : "";
        else if (c == ' ' && !quoted) {
            if (inWord)
                argv.push_back(word);
            word.clear();
            inWord = false;
            continue;
        } else
            word += c;
        inWord = true;
    }
    if (inWord)
        argv.push_back(word);
    EXPECT_FALSE(quoted) << "unbalanced quotes in " << exec;
    return argv;
}

} // namespace

TEST_F(DesktopEntry, IsValidAndStartsTheLauncherOfTheMovedBundle)
{
    writeFile(inputs + "/logo.svg", "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" "
                                    "height=\"8\"><rect width=\"8\" height=\"8\"/></svg>\n");
    struct Case {
        std::string name;
        std::vector<std::string> options;
        std::string resources; // below the bundle
        std::string icon;      // the entry's Icon value, empty: none
    };
    const std::vector<Case> cases = {
        {"Acme Setup.app", {"--icon", inputs + "/logo.svg"}, "/Contents/Resources", "acme-setup"},
        {"acme $etup", {}, "", ""},
    };
    const std::string elsewhere = scratch.makeDir("moved elsewhere");
    for (const Case& layout : cases) {
        SCOPED_TRACE(layout.name);
        std::vector<std::string> arguments = layout.options;
        arguments.insert(arguments.end(), {"--payload", payload, "--agent", inputs + "/agent.zip", out + "/" + layout.name});
        const ProcessResult made = tool(arguments);
        ASSERT_EQ(made.exitCode, 0) << made.err;
        const std::string entry = out + "/" + layout.name + "/launcher.desktop";
        const ProcessResult validated = run({"desktop-file-validate", entry});
        EXPECT_EQ(validated.exitCode, 0) << validated.out << validated.err;
        EXPECT_EQ(validated.out + validated.err, "");
        EXPECT_EQ(permissionBits(entry), 0755) << "file managers start executable entries only";

        const std::string text = readFile(entry);
        EXPECT_EQ(entryValue(text, "Name"), layout.name.substr(0, layout.name.rfind(".app")));
        EXPECT_EQ(entryValue(text, "Terminal"), "false");
        EXPECT_EQ(text.find("Icon=") != std::string::npos, !layout.icon.empty()) << text;
        if (!layout.icon.empty()) {
            EXPECT_EQ(entryValue(text, "Icon"), layout.icon);
            EXPECT_EQ(readFile(out + "/" + layout.name + layout.resources + "/icon.svg"), readFile(inputs + "/logo.svg"));
        }

        // Moved, as a user moves the unpacked bundle, then double-clicked.
        const std::string moved = elsewhere + "/" + layout.name;
        ASSERT_EQ(std::rename((out + "/" + layout.name).c_str(), moved.c_str()), 0);
        const ProcessResult ran = sandbox.run(expandExec(entryValue(text, "Exec"), moved + "/launcher.desktop"));
        ASSERT_EQ(ran.exitCode, 0) << ran.err;
        EXPECT_EQ(sandbox.agentRecord().args,
                  (std::vector<std::string>{"-installbundle", moved + layout.resources + "/bundle.zip"}));
    }
}
