// Entry of every property page test program.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include "harness.h"

int main(int argc, char** argv)
{
    // Plain line ends on the output: test discovery reads the test list line by line.
    _setmode(_fileno(stdout), _O_BINARY);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
