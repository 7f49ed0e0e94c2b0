#pragma once

#include <string>

// A private directory for one run, created under the user's temporary
// directory ($TMPDIR, then /tmp) from the template "zxXXXXXX" and removed,
// with everything in it, when the object goes away. An empty path means no
// directory could be made; whyNot() then names the directories tried and
// their reasons in one line. The object itself reports nothing.
class TempDir {
public:
    explicit TempDir(std::string name);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string getDir() const;
    const std::string& whyNot() const;

private:
    std::string path_;
    std::string whyNot_;
};
