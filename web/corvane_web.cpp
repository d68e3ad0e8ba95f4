// The page's way into the tool: one run of the command line, given as its
// arguments, printing to a file the page then reads and shows. The run is
// the command line's own (corvane_main), so the page says what the tool says.
#include <cstdio>
#include <string>
#include <vector>

#include "app/corvane_main.h"

// `args` holds the arguments after the program's name, each ended by a
// newline; the run's output and its failed calls go to `output_path`.
// Returns the run's exit status, or 255 when the output cannot be opened.
extern "C" int corvane_web_run(const char* args, const char* output_path) {
    std::vector<std::string> words = {"corvane"};
    std::string word;
    for (const char* c = args; *c != '\0'; ++c) {
        if (*c != '\n') {
            word += *c;
            continue;
        }
        words.push_back(word);
        word.clear();
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::FILE* out = std::fopen(output_path, "w");
    if (out == nullptr) return 255;
    const int status = corvane_main(static_cast<int>(words.size()), argv.data(), out, out);
    return std::fclose(out) == 0 ? status : 255;
}
