#include <cstdio>

#include "corvaner_run.h"

int main(int argc, char** argv) {
    prepare_process();
    return corvane_main(argc, argv, stdout);
}
