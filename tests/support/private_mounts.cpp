#include "support/private_mounts.h"

#include "support/process.h"

#include <unistd.h>

namespace testsupport {

std::string PrivateMounts::unavailable()
{
    static const std::string reason = [] {
        if (geteuid() != 0)
            return std::string("needs root for a private mount namespace (unshare -m)");
        const ProcessResult tried = run({"unshare", "-m", "--propagation", "private", "true"});
        if (!tried.exited || tried.exitCode != 0)
            return "unshare -m does not work here (" + tried.describe() + "): " + tried.err;
        return std::string();
    }();
    return reason;
}

PrivateMounts& PrivateMounts::readOnly(const std::string& path)
{
    steps_.push_back("mount --bind " + shellWord(path) + " " + shellWord(path) + " && mount -o remount,bind,ro "
                     + shellWord(path));
    return *this;
}

PrivateMounts& PrivateMounts::writable(const std::string& path)
{
    steps_.push_back("mount --bind " + shellWord(path) + " " + shellWord(path) + " && mount -o remount,bind,rw "
                     + shellWord(path));
    return *this;
}

PrivateMounts& PrivateMounts::full(const std::string& path)
{
    // The root directory takes the one inode there is.
    steps_.push_back("mount -t tmpfs -o size=64k,nr_inodes=1 tmpfs " + shellWord(path));
    return *this;
}

PrivateMounts& PrivateMounts::systemLogAt(const std::string& socketPath, const std::string& keptDevDir)
{
    const std::string kept = shellWord(keptDevDir);
    steps_.push_back("mount --bind /dev " + kept + " && mount -t tmpfs -o mode=0755 tmpfs /dev");
    steps_.push_back("for n in null zero full random urandom tty; do if [ -e " + kept + "/$n ]; then : > /dev/$n && "
                     "mount --bind " + kept + "/$n /dev/$n; fi; done");
    steps_.push_back("ln -s /proc/self/fd /dev/fd && ln -s " + shellWord(socketPath) + " /dev/log");
    return *this;
}

std::vector<std::string> PrivateMounts::around(const std::vector<std::string>& argv) const
{
    std::string script = "set -e\n";
    for (const std::string& step : steps_)
        script += step + "\n";
    script += "exec \"$@\"\n";
    std::vector<std::string> command{"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh"};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::string shellWord(const std::string& text)
{
    std::string word = "'";
    for (const char c : text)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

} // namespace testsupport
