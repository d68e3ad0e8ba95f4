#include <cstdio>

#include "corvaner_run.h"

int main(int argc, char** argv) {
    // Without valid standard descriptors a file opened by the run could
    // receive the tool's own output: nothing is opened then.
    if (!prepare_process()) return 255;
    return corvane_main(argc, argv, stdout);
}
