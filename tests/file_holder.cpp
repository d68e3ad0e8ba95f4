// Another Windows program beside a golden run of the Windows build: "lock
// FILE" takes the lock a writing run takes and "alone FILE" opens FILE with
// no sharing at all, each writing a line once it holds the file and letting
// go when its standard input ends; "bare PROGRAM ARGS..." starts PROGRAM with
// no standard handles at all (ARGS are plain words, each quoted as it is)
// and ends with its exit status.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

int start_bare(int argc, char** argv) {
    std::string line;
    for (int i = 2; i < argc; ++i) line += std::string(i > 2 ? " \"" : "\"") + argv[i] + "\"";
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION run{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &run))
        return 126;
    WaitForSingleObject(run.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(run.hProcess, &status);
    return static_cast<int>(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "bare") == 0) return start_bare(argc, argv);
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
