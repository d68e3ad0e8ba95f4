#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "build_info.h"
#include "byte_order.h"
#include "corvaner_run.h"
#include "reference_coder.h"

namespace support {

namespace {

std::string slurp_fd(int fd) {
    std::string s;
    char buf[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        s.append(buf, static_cast<std::size_t>(n));
    }
    return s;
}

std::string slurp_file(std::FILE* f) {
    std::fflush(f);
    return slurp_fd(::fileno(f));
}

}  // namespace

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char* p = nullptr;
    const int n = ::vasprintf(&p, fmt, ap);
    va_end(ap);
    if (n < 0) throw std::runtime_error("vasprintf");
    std::string s(p, static_cast<std::size_t>(n));
    std::free(p);
    return s;
}

result run_command(const std::vector<std::string>& args, std::uint64_t file_size_limit) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::vector<std::string> argv_s = args;
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(::fileno(out), 1);
        ::dup2(::fileno(err), 2);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        if (file_size_limit != 0) {
            const rlimit limit{file_size_limit, file_size_limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
        }
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s\n", argv[0]);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    r.out = slurp_file(out);
    r.err = slurp_file(err);
    std::fclose(out);
    std::fclose(err);
    return r;
}

result run_binary(const std::vector<std::string>& args, std::uint64_t file_size_limit) {
    std::vector<std::string> argv{CORVANE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, file_size_limit);
}

result run_inprocess(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::vector<std::string> argv_s{"corvane"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    result r;
    r.status = corvane_main(static_cast<int>(argv_s.size()), argv.data(), out, err);
    r.out = slurp_file(out);
    r.err = slurp_file(err);
    std::fclose(out);
    std::fclose(err);
    return r;
}

std::string banner() {
    return format("\ncorvane by Ferrule of Lanthorn\nVersion 1.1 build 160 (%s@%s) - %s.\n"
                  "If your .bin file breaks you get to keep both parts.\n\n",
                  CORVANE_BUILD_USER, CORVANE_BUILD_HOST, CORVANE_BUILD_DATE);
}

std::string usage() {
    return "corvane -[hvonx] patch-file bin-file\n"
           "    -h        :  This help list\n"
           "    -v file   :  Specify original patch-file to verify first\n"
           "    -o offset :  Specify start offset into .bin file\n"
           "    -n name   :  Retrieve offset from name's start offset in .bin file\n"
           "    -e        :  Compare two bin files (patch file is 2nd bin)\n"
           "    -l        :  List directory and stop.\n"
           "    -r        :  Recurse sub directories when listing, searching for file\n"
           "    -p file   :  Produce a PPF-V2.0 patch file\n"
           "    -d desc   :  Set description field for PPF patch\n"
           "    -x        :  Dummy mode, do not write. Use with -p to just create PPF\n"
           "\n"
           "Offset can be entered in hex (0xffeedd) or dec (123456)\n"
           "and it is the offset into the .bin file that you want the first\n"
           "byte of your patch file to be written\n\n"
           "Name has a version string attached, like 'example.exe;1'\n"
           "One of either -n or -o must be specified\n";
}

std::string files_block(const std::string& patch, const std::string& bin, const std::string& orig,
                        const std::string& ppf) {
    std::string s = "Patch File : " + patch + "\nPatch .bin : " + bin + "\n";
    if (!orig.empty()) s += "Original   : " + orig + "\n";
    if (!ppf.empty()) s += "PPF20 File : " + ppf + "\n";
    return s + "\n";
}

std::string patch_trace(std::uint32_t sector, std::size_t count) {
    return format("%6u | READSECTOR(2352) | READPATCH(%04zu) | EDC_ECC | WRITESECTOR(2352)\n",
                  sector, count);
}

std::string halt() { return "\nAn error occured whilst processing -- halt.\n"; }

std::string patch_traces(std::uint64_t offset, std::uint64_t size) {
    std::string s;
    std::uint64_t pos = offset % SECTOR_SIZE;
    for (std::uint64_t sector = offset / SECTOR_SIZE; size != 0; ++sector, pos = 0) {
        const std::uint64_t n = std::min<std::uint64_t>(size, 2048 - pos);
        s += patch_trace(static_cast<std::uint32_t>(sector), n);
        size -= n;
    }
    return s;
}

fixture::bytes expected_patch(fixture::bytes image, std::uint64_t offset,
                              const fixture::bytes& patch) {
    std::uint64_t sector = offset / SECTOR_SIZE;
    std::size_t pos = offset % SECTOR_SIZE;
    for (std::size_t done = 0; done < patch.size(); ++sector, pos = 0) {
        const auto raw = std::span(image).subspan(sector * SECTOR_SIZE).first<SECTOR_SIZE>();
        const std::size_t n = std::min(patch.size() - done, 2048 - pos);
        std::copy_n(patch.begin() + static_cast<std::ptrdiff_t>(done), n,
                    raw.begin() + static_cast<std::ptrdiff_t>(24 + pos));
        reference::encode_mode2_form1(raw, static_cast<unsigned>(sector + 150));
        done += n;
    }
    return image;
}

std::optional<fixture::bytes> apply_ppf(const fixture::bytes& ppf, fixture::bytes image) {
    constexpr std::size_t header = 1084;
    if (ppf.size() < header || !std::equal(ppf.begin(), ppf.begin() + 5, "PPF20") || ppf[5] != 1)
        return std::nullopt;
    std::size_t at = header;
    while (at < ppf.size()) {
        if (ppf.size() - at < 5) return std::nullopt;
        const std::uint32_t offset = load_le32(std::span(ppf).subspan(at).first<4>());
        const std::size_t count = ppf[at + 4];
        at += 5;
        if (ppf.size() - at < count || offset + count > image.size()) return std::nullopt;
        std::copy_n(ppf.begin() + static_cast<std::ptrdiff_t>(at), count, image.begin() + offset);
        at += count;
    }
    return image;
}

scratch::scratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
}

scratch::~scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string scratch::write(const std::string& name, std::span<const std::uint8_t> data) const {
    fixture::write_file(path(name), data);
    return path(name);
}

std::string scratch::write(const std::string& name, const std::string& text) const {
    return write(name, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

}  // namespace support
