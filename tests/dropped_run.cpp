// The tool as it runs when started with a console of its own (from a file
// manager, or with files dropped on it): the golden rows of a drop run it.
#include <cstdio>

#include "app/corvane_main.h"

int main(int argc, char** argv) {
    if (!prepare_process()) return 255;
    return corvane_main(argc, argv, stdout, stderr, true);
}
