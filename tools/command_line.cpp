#include "tools/command_line.h"

const char* const usageText = R"(usage: launcher-bundle [options] --payload FILE OUTPUT
       launcher-bundle --check BUNDLE

Makes an installer bundle around the launcher of this kit: OUTPUT named
Name.app becomes an application bundle (Name.app/Contents/MacOS/launcher,
the rest in Name.app/Contents/Resources), any other name a flat directory.
Every input is checked first; a refused bundle leaves nothing behind.

  --payload FILE       the installation payload, shipped as bundle.zip
  --agent ZIP|DIR      the install agent: a zip archive with the script
                       install at its top level, or a directory holding
                       install, zipped as it is; without it the launcher
                       downloads the agent
  --splash PICTURE     PNG or JPEG shown in the download window (splash.png)
  --public-key FILE    minisign public key: downloaded agents must carry a
                       valid signature (InstallAgent.pub)
  --replace            replace an existing bundle at OUTPUT
  --check BUNDLE       report what a run of BUNDLE would do, and its problems
  --help, --version

Exit status: 0 done (with --check: no problems), 1 refused (with --check:
problems found), 2 wrong command line.
)";

namespace {

// "--name value" or "--name=value"; advances index past what it used.
std::optional<std::string> optionValue(const std::vector<std::string>& arguments, std::size_t& index,
                                       const std::string& name, std::string& whyNot)
{
    const std::string& word = arguments[index];
    if (word.starts_with(name + "="))
        return word.substr(name.size() + 1);
    if (index + 1 >= arguments.size() || arguments[index + 1].empty()) {
        whyNot = name + " needs a value";
        return std::nullopt;
    }
    return arguments[++index];
}

} // namespace

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments, std::string& whyNot)
{
    CommandLine line;
    std::vector<std::string> operands;
    bool check = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        const std::string name = word.substr(0, word.find('='));
        if (word == "--help" || word == "-h")
            return CommandLine{CommandLine::Action::Help, {}, {}};
        if (word == "--version")
            return CommandLine{CommandLine::Action::Version, {}, {}};
        if (word == "--replace") {
            line.make.replace = true;
            continue;
        }
        if (word == "--check") {
            check = true;
            continue;
        }
        std::string* target = name == "--payload" ? &line.make.payload
            : name == "--agent"                   ? &line.make.agent
            : name == "--splash"                  ? &line.make.splash
            : name == "--public-key"              ? &line.make.publicKey
                                                  : nullptr;
        if (target != nullptr) {
            const std::optional<std::string> value = optionValue(arguments, i, name, whyNot);
            if (!value)
                return std::nullopt;
            if (value->empty()) {
                whyNot = name + " needs a value";
                return std::nullopt;
            }
            *target = *value;
            continue;
        }
        if (word.size() > 1 && word[0] == '-' && word != "--") {
            whyNot = "unknown option " + word;
            return std::nullopt;
        }
        if (word == "--") {
            operands.insert(operands.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end());
            break;
        }
        operands.push_back(word);
    }

    if (check) {
        const bool makeOptions = !line.make.payload.empty() || !line.make.agent.empty() || !line.make.splash.empty()
            || !line.make.publicKey.empty() || line.make.replace;
        if (makeOptions || operands.size() != 1) {
            whyNot = "--check takes one bundle and no other option";
            return std::nullopt;
        }
        line.action = CommandLine::Action::Check;
        line.checkPath = operands.front();
        return line;
    }
    if (operands.size() != 1) {
        whyNot = operands.empty() ? "no output bundle given" : "one output bundle only";
        return std::nullopt;
    }
    if (line.make.payload.empty()) {
        whyNot = "--payload is required";
        return std::nullopt;
    }
    line.make.output = operands.front();
    return line;
}
