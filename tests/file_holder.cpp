// Holds a file while a golden run of the Windows build goes on, as another
// program would: "lock" takes the lock a writing run takes, "alone" opens
// the file with no sharing at all. Writes a line once it holds the file and
// lets go when its standard input ends.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    unique_fd locked;
    HANDLE alone = INVALID_HANDLE_VALUE;
    if (std::strcmp(argv[1], "lock") == 0) {
        locked = platform::open_read_write(argv[2]);
        if (!locked.valid() ||
            platform::lock_file(locked.get(), platform::lock_kind::exclusive) != platform::lock_result::taken)
            return 1;
    } else {
        alone = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (alone == INVALID_HANDLE_VALUE) return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
