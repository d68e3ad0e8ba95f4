#include <cstdio>

#include "app/corvane_main.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    // Without valid standard descriptors a file opened by the run could
    // receive the tool's own output: nothing is opened then.
    if (!prepare_process()) return 255;
    platform::utf8_arguments(argc, argv);
    const platform::console_session console;
    return corvane_main(argc, argv, stdout, stderr, platform::console_is_own());
}
