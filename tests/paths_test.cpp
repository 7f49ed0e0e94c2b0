// Reading the target of a symbolic link, however long.

#include "platform/paths.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unistd.h>

using namespace testsupport;

TEST(ReadLinkTarget, LongTargetsAreReadWhole)
{
    ScratchDir scratch;
    // Around each size the reading buffer could have, up to the longest
    // target Linux accepts (PATH_MAX - 1).
    for (size_t length : {1ul, 1022ul, 1023ul, 1024ul, 1025ul, 2047ul, 2048ul, 2049ul, 4095ul}) {
        std::string target = "/";
        while (target.size() < length)
            target += std::string(std::min<size_t>(200, length - target.size()), 'x') + "/";
        target.resize(length);
        const std::string link = scratch / ("link" + std::to_string(length));
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << length;
        EXPECT_EQ(readLinkTarget(link), target) << "target of " << length << " bytes";
    }
}

TEST(ReadLinkTarget, WhatIsNotALinkGivesEmpty)
{
    ScratchDir scratch;
    writeFile(scratch / "file", "x");
    EXPECT_EQ(readLinkTarget(scratch / "file"), "");
    EXPECT_EQ(readLinkTarget(scratch / "missing"), "");
    EXPECT_EQ(readLinkTarget(""), "");
}
