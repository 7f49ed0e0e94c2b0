#pragma once

#include <string>

// A private directory for one run, created under the user's temporary
// directory from the template "zxXXXXXX" and removed, with everything in it,
// when the object goes away. An empty path means no directory could be made.
class TempDir {
public:
    explicit TempDir(std::string name);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string getDir() const;

private:
    std::string path_;
};
