#pragma once

// Wrapping a bundle into one self-extracting file (tools/run_file_format.h),
// made with Debian's makeself. Run as `sh FILE.run [args]` or
// `./FILE.run [args]`, the file unpacks the bundle into a private temporary
// directory (mode 0700, below $TMPDIR), runs its launcher with the arguments
// exactly as given, from the directory it was started in, exits with the
// launcher's status and removes what it unpacked, also when interrupted
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT: then with status 15).

#include <ostream>
#include <string>

struct RunFileRequest {
    std::string bundle;   // a bundle made from a kit, without problems
    std::string output;   // the file to make
    bool replace = false; // an existing file made by this tool may be replaced
};

// Empty when the file was made (and what it holds reported on out);
// otherwise why not, as one line. A refusal or a failure leaves nothing.
std::string makeRunFile(const RunFileRequest& request, std::ostream& out);
