#pragma once

// A program run in a mount namespace of its own (`unshare -m`, as root),
// where the test changes what the file systems look like to it alone: a
// read-only directory, one with no room left, the system log's socket.
// Nothing of it is seen outside, and it all goes when the program ends.
//
//     PrivateMounts mounts;
//     mounts.readOnly(sandbox.home);
//     const ProcessResult result = sandbox.run(mounts.around({bundle.executable}));

#include <string>
#include <vector>

namespace testsupport {

class PrivateMounts {
public:
    // Why this machine gives a test no mount namespace (not root, no unshare,
    // namespaces refused), in words for a skipped test; empty when it does.
    static std::string unavailable();

    // path (an existing directory) and everything below it read-only.
    PrivateMounts& readOnly(const std::string& path);
    // path, below one made read-only, writable again.
    PrivateMounts& writable(const std::string& path);
    // A new file system at path (an existing directory) on which nothing
    // more can be made: no inode is left.
    PrivateMounts& full(const std::string& path);
    // The system log's socket, /dev/log, is socketPath (a datagram socket
    // the test has bound). /dev becomes a directory of its own that keeps
    // null, zero, full, random, urandom and tty; keptDevDir, an empty
    // directory of the test's, holds the real /dev meanwhile.
    PrivateMounts& systemLogAt(const std::string& socketPath, const std::string& keptDevDir);

    // The command line that runs argv with these mounts (argv[0] found on PATH).
    std::vector<std::string> around(const std::vector<std::string>& argv) const;

private:
    std::vector<std::string> steps_; // shell commands, run in order before argv
};

// The text as one word for sh: in single quotes, any inside one escaped.
std::string shellWord(const std::string& text);

} // namespace testsupport
