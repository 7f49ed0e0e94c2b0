#include "tools/command_line.h"

const char* const usageText = R"(usage: launcher-bundle [options] --payload FILE OUTPUT
       launcher-bundle [--replace] --wrap BUNDLE FILE.run
       launcher-bundle --check BUNDLE|FILE.run
       launcher-bundle --sign-agent ZIP --secret-key KEY [--output SIGNATURE]

Makes an installer bundle around the launcher of this kit: OUTPUT named
Name.app becomes an application bundle (Name.app/Contents/MacOS/launcher,
the rest in Name.app/Contents/Resources), any other name a flat directory;
either way with a desktop entry, launcher.desktop, at its top. Every input
is checked first; a refused bundle leaves nothing behind.

  --payload FILE       the installation payload, shipped as bundle.zip
  --agent ZIP|DIR      the install agent: a zip archive with the script
                       install at its top level, or a directory holding
                       install, zipped as it is (links stay links); without
                       it the launcher downloads the agent
  --splash PICTURE     PNG or JPEG shown in the download window (splash.png)
  --public-key FILE    minisign public key: downloaded agents must carry a
                       valid signature (InstallAgent.pub)
  --icon PICTURE       PNG or SVG icon for the desktop entry (icon.png, icon.svg)
  --replace            replace an existing bundle (or .run file) at OUTPUT;
                       only one that this tool made is replaced
  --wrap BUNDLE        wrap the bundle into FILE.run, one self-extracting file
                       (makeself) that unpacks it into a private temporary
                       directory, runs its launcher with the file's arguments
                       and removes it again
  --check BUNDLE|FILE.run
                       report what a run of BUNDLE (or of the bundle inside
                       FILE.run) would do, and its problems
  --sign-agent ZIP     sign an install agent for downloads with minisign:
                       its trusted comment states the signing time, the
                       kit's release and platform, the archive's size and
                       name, which the launcher holds the agent to
  --secret-key KEY     the minisign secret key to sign with
  --output SIGNATURE   where the signature goes (default: ZIP.minisig)
  --help, --version

Exit status: 0 done (with --check: no problems), 1 refused (with --check:
problems found), 2 wrong command line.
)";

namespace {

// The words read so far.
struct ParsedWords {
    CommandLine line;
    std::vector<std::string> operands;
    bool check = false;
    bool wrap = false;
};

// Where an option's value goes; null for a word that takes none.
std::string* valueTarget(ParsedWords& parsed, const std::string& name)
{
    BundleRequest& make = parsed.line.make;
    if (name == "--payload")
        return &make.payload;
    if (name == "--agent")
        return &make.agent;
    if (name == "--splash")
        return &make.splash;
    if (name == "--public-key")
        return &make.publicKey;
    if (name == "--icon")
        return &make.icon;
    if (name == "--sign-agent")
        return &parsed.line.sign.agent;
    if (name == "--secret-key")
        return &parsed.line.sign.secretKey;
    if (name == "--output")
        return &parsed.line.sign.output;
    if (name == "--wrap") {
        parsed.wrap = true;
        return &parsed.line.wrap.bundle;
    }
    return nullptr;
}

// "--name value" or "--name=value"; advances index past what it used.
bool takeValue(const std::vector<std::string>& arguments, std::size_t& index, std::string& target,
               std::string& whyNot)
{
    const std::string& word = arguments[index];
    const std::string name = word.substr(0, word.find('='));
    if (word.size() > name.size())
        target = word.substr(name.size() + 1);
    else if (index + 1 < arguments.size())
        target = arguments[++index];
    if (target.empty())
        whyNot = name + " needs a value";
    return !target.empty();
}

// One word, and the value it takes; false with whyNot for a mistake.
bool takeWord(const std::vector<std::string>& arguments, std::size_t& index, ParsedWords& parsed,
              std::string& whyNot)
{
    const std::string& word = arguments[index];
    if (word == "--replace") {
        parsed.line.make.replace = parsed.line.wrap.replace = true;
        return true;
    }
    if (word == "--check")
        return parsed.check = true;
    if (std::string* target = valueTarget(parsed, word.substr(0, word.find('='))))
        return takeValue(arguments, index, *target, whyNot);
    if (word == "--") {
        parsed.operands.insert(parsed.operands.end(), arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                               arguments.end());
        index = arguments.size();
        return true;
    }
    if (word.size() > 1 && word[0] == '-') {
        whyNot = "unknown option " + word;
        return false;
    }
    parsed.operands.push_back(word);
    return true;
}

bool hasMakeOptions(const BundleRequest& make)
{
    return !make.payload.empty() || !make.agent.empty() || !make.splash.empty() || !make.publicKey.empty()
        || !make.icon.empty();
}

// --sign-agent with its key (and perhaps --output), nothing else.
std::optional<CommandLine> signingLine(ParsedWords& parsed, std::string& whyNot)
{
    CommandLine& line = parsed.line;
    if (line.sign.agent.empty())
        whyNot = "--secret-key and --output go with --sign-agent";
    else if (line.sign.secretKey.empty())
        whyNot = "--sign-agent needs --secret-key";
    else if (parsed.check || parsed.wrap || hasMakeOptions(line.make) || line.make.replace || !parsed.operands.empty())
        whyNot = "--sign-agent takes --secret-key and --output, and nothing else";
    else {
        line.action = CommandLine::Action::Sign;
        return line;
    }
    return std::nullopt;
}

// What the words ask for, once all are read.
std::optional<CommandLine> chosenAction(ParsedWords& parsed, std::string& whyNot)
{
    CommandLine& line = parsed.line;
    if (!line.sign.agent.empty() || !line.sign.secretKey.empty() || !line.sign.output.empty())
        return signingLine(parsed, whyNot);
    if (parsed.check) {
        if (parsed.wrap || hasMakeOptions(line.make) || line.make.replace || parsed.operands.size() != 1) {
            whyNot = "--check takes one bundle or .run file and no other option";
            return std::nullopt;
        }
        line.action = CommandLine::Action::Check;
        line.checkPath = parsed.operands.front();
        return line;
    }
    if (parsed.wrap) {
        if (hasMakeOptions(line.make) || parsed.operands.size() != 1) {
            whyNot = "--wrap takes one output file and no other option but --replace";
            return std::nullopt;
        }
        line.action = CommandLine::Action::Wrap;
        line.wrap.output = parsed.operands.front();
        return line;
    }
    if (parsed.operands.size() != 1) {
        whyNot = parsed.operands.empty() ? "no output bundle given" : "one output bundle only";
        return std::nullopt;
    }
    if (line.make.payload.empty()) {
        whyNot = "--payload is required";
        return std::nullopt;
    }
    line.make.output = parsed.operands.front();
    return line;
}

} // namespace

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments, std::string& whyNot)
{
    ParsedWords parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word == "--help" || word == "-h")
            return CommandLine{CommandLine::Action::Help, {}, {}, {}, {}};
        if (word == "--version")
            return CommandLine{CommandLine::Action::Version, {}, {}, {}, {}};
        if (!takeWord(arguments, i, parsed, whyNot))
            return std::nullopt;
    }
    return chosenAction(parsed, whyNot);
}
