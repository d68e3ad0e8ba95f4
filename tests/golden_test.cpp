// Whole runs of the built tool against stored results. Each line of
// golden/AREA.txt (golden/README.md) is a name, how the run's folder is set up, and the command
// line run in it; golden/expected/NAME.txt holds the exit status, standard
// output and error, and every file of the folder afterwards. Every sector a
// run changed must also pass the reference checker. Rewrite the results with
// `corvane_tests --gtest_filter='Cases/Golden*' --update`, then read the diff.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "app/corvane_main.h"
#include "format/vcdiff_reader.h"
#include "platform/platform.h"
#include "image_maker.h"
#include "reference_coder.h"

namespace {

namespace fs = std::filesystem;
using fixture::bytes;

struct golden_case {
    std::string name;
    std::map<std::string, std::string> setup;  // key=value set-up tokens
    std::vector<std::string> args;
    std::string operator[](const std::string& key) const {
        const auto it = setup.find(key);
        return it == setup.end() ? "" : it->second;
    }
};

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string p; std::getline(in, p, sep);)
        if (!p.empty() && p != " ") parts.push_back(p);
    return parts;
}

// "%XX" in an argument or a set-up value stands for byte XX.
std::string unescape(std::string a) {
    for (std::size_t i = 0; (i = a.find('%', i)) != std::string::npos && i + 2 < a.size(); ++i)
        a.replace(i, 3, 1, static_cast<char>(std::stoi(a.substr(i + 1, 2), nullptr, 16)));
    return a;
}

// The area files golden/*.txt, in name order.
std::vector<fs::path> area_files() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(CORVANE_GOLDEN_DIR))
        if (entry.path().extension() == ".txt") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// A case line: "name | set-up tokens | arguments".
void load_area(const fs::path& file, std::vector<golden_case>& cases) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        std::string field[3];
        for (std::size_t i = 0, at = 0; i < 3 && at <= line.size(); ++i) {
            const auto bar = std::min(line.find('|', at), line.size());
            field[i] = line.substr(at, bar - at);
            at = bar + 1;
        }
        std::istringstream name(field[0]), setup(field[1]), args(field[2]);
        golden_case c;
        if (!(name >> c.name) || c.name[0] == '#') continue;
        for (std::string t; setup >> t;) {
            const auto eq = t.find('=');
            c.setup[t.substr(0, eq)] = eq == std::string::npos ? "" : unescape(t.substr(eq + 1));
        }
        for (std::string a; args >> a;) c.args.push_back(unescape(a));
        cases.push_back(std::move(c));
    }
}

std::vector<golden_case> load_cases() {
    std::vector<golden_case> cases;
    for (const fs::path& file : area_files()) load_area(file, cases);
    return cases;
}

// Files of the "odd" disc: names with control bytes, an empty file.
std::vector<fixture::iso_file> odd_files() {
    return {{"EXAMPLE.EXE;1", fixture::random_bytes(68, 1)},
            {"DATA/SCRIPT.DAT;1", fixture::random_bytes(5000, 2)},
            {"EMPTY.DAT;1", {}},
            {"CLEAR\x1b[2J\x07.TXT;1", fixture::random_bytes(10, 3)},
            {"NL\nFAKE;1", fixture::random_bytes(10, 4)},
            {"TILDE~1.TXT;1", fixture::random_bytes(10, 5)}};
}

// The sample files and one whose name is 100 control bytes: 300 bytes once
// each is written as %XX, past what a host name holds.
std::vector<fixture::iso_file> long_name_files() {
    auto files = fixture::sample_files();
    files.push_back({std::string(100, '\x1F') + ";1", fixture::random_bytes(10, 13)});
    return files;
}

// The sample files and a movie of 12000 sectors after them.
std::vector<fixture::iso_file> movie_files() {
    auto files = fixture::sample_files();
    files.push_back({"MOVIE.STR;1", fixture::random_bytes(12000 * USER_DATA_SIZE, 12)});
    return files;
}

// A file 66 directories down, one past the deepest a walk enters, and one in the root.
std::vector<fixture::iso_file> deep_files() {
    std::string path;
    for (int i = 0; i < 66; ++i) path += "D/";
    return {{"TOP.TXT;1", fixture::random_bytes(10, 1)}, {path + "DEEP.TXT;1", fixture::random_bytes(10, 2)}};
}

// Many files: the root in two sectors, SUB in six.
std::vector<fixture::iso_file> many_files() {
    std::vector<fixture::iso_file> files;
    char name[32];
    for (unsigned i = 1; i <= 190; ++i) {
        std::snprintf(name, sizeof name, i <= 40 ? "FILE_%03u.DAT;1" : "SUB/NESTED_FILE_%03u.DAT;1",
                      i <= 40 ? i : i - 40);
        files.push_back({name, fixture::random_bytes(100, i)});
    }
    return files;
}

// The sample files with data no directory names after three of them: an El
// Torito boot catalog, a boot image of four sectors (the catalog names the
// first), a hidden file.
std::vector<fixture::iso_file> boot_files() {
    auto files = fixture::sample_files();
    files.insert(files.begin() + 3, {"HIDDEN.DAT;1", fixture::random_bytes(2048, 9)});
    files.insert(files.begin() + 2, {"BOOT.IMG;1", fixture::random_bytes(8192, 8)});
    files.insert(files.begin() + 1, {"BOOT.CAT;1", bytes(2048)});
    return files;
}

// The sample files and two empty ones pointing at the first spare sector.
std::vector<fixture::iso_file> empty_files() {
    auto files = fixture::sample_files();
    files.push_back({"EMPTY_1.DAT;1", {}});
    files.push_back({"EMPTY_2.DAT;1", {}});
    return files;
}

bytes image_of(const std::string& kind) {
    const auto parts = split(kind, '+');
    bytes img;
    // The files of a kind are made only for the kind asked for (a movie's are 24 MB).
    struct disc_kind {
        std::vector<fixture::iso_file> (*files)();
        std::uint32_t root;
        std::size_t spare = 4;
        fixture::iso_extras extras{};
    };
    const fixture::iso_extras boot{false, {"BOOT.CAT;1", "BOOT.IMG;1", "HIDDEN.DAT;1"}, "BOOT.CAT;1", "BOOT.IMG;1"};
    const fixture::iso_extras boot_named{false, {"HIDDEN.DAT;1"}, "BOOT.CAT;1", "BOOT.IMG;1"};
    const std::map<std::string, disc_kind> discs = {
        {"sample", {fixture::sample_files, 22}}, {"root18", {fixture::sample_files, 18}},
        {"root30", {fixture::sample_files, 30}}, {"odd", {odd_files, 22}},
        {"many", {many_files, 22}}, {"roomy", {fixture::sample_files, 22, 160}},
        {"joliet", {fixture::sample_files, 23, 160, {true, {}, {}, {}}}},
        {"boot", {boot_files, 23, 160, boot}}, {"empties", {empty_files, 22, 160}},
        {"bootnamed", {boot_files, 23, 160, boot_named}},
        {"jempties", {empty_files, 23, 160, {true, {}, {}, {}}}},
        {"movie", {movie_files, 22}}, {"deep", {deep_files, 22}},
        {"longname", {long_name_files, 22}}};
    if (const auto d = discs.find(parts[0]); d != discs.end())
        img = fixture::make_iso(d->second.files(), d->second.spare, d->second.root, d->second.extras).image.image();
    if (parts[0] == "mode1") {  // the sample disc, every sector Mode 1
        fixture::disc d = fixture::make_iso(fixture::sample_files()).image;
        img = (d.encode_mode1(), d.image());
    }
    if (parts[0].starts_with("blank:")) {
        fixture::disc d(std::stoul(parts[0].substr(6)));
        img = (d.encode(), d.image());
    }
    // Changes after encoding: a sector turned Form 2, Mode 1, never written
    // (all zero), a byte flipped or set (in every sector); a partial sector at the end; the
    // image moved to disc sector N (headers at index + N + 150); a sector
    // encoded anew by the reference coder as type T (Form 2: its submode set
    // in both copies), or its P and Q taken over its header as it stands.
    std::size_t base = 0;
    const auto raw = [&](std::size_t s) { return std::span(img).subspan(s * SECTOR_SIZE).first<SECTOR_SIZE>(); };
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const auto kv = split(parts[i], ':');
        const std::size_t n = std::stoul(kv.at(1));
        if (kv[0] == "base")
            for (std::size_t s = 0; s < img.size() / SECTOR_SIZE; ++s)
                reference::encode_L2(raw(s), MODE_2, unsigned(s + (base = n) + ADDRESS_BIAS));
        for (std::size_t s = n; kv[0] == "encode" && s < n + (kv.size() > 3 ? std::stoul(kv[3]) : 1); ++s) {
            if (std::stoi(kv.at(2)) == MODE_2_FORM_2)
                img[s * SECTOR_SIZE + SUBMODE_BYTE] = img[s * SECTOR_SIZE + SUBMODE_COPY_BYTE] |= SUBMODE_FORM2;
            reference::encode_L2(raw(s), std::stoi(kv[2]), unsigned(s + base + ADDRESS_BIAS));
        }
        if (kv[0] == "hdrparity") reference::encode_L2_PQ(raw(n), false, false);
        if (kv[0] == "form2") img[n * SECTOR_SIZE + SUBMODE_BYTE] |= SUBMODE_FORM2;
        if (kv[0] == "mode1") img[n * SECTOR_SIZE + MODE_BYTE] = 1;
        if (kv[0] == "unwritten") std::fill_n(img.begin() + std::ptrdiff_t(n * SECTOR_SIZE), SECTOR_SIZE, 0);
        if (kv[0] == "flip") img[n] ^= 0xFF;
        if (kv[0] == "every") for (std::size_t s = n; s < img.size(); s += SECTOR_SIZE) img[s] ^= 0xFF;
        if (kv[0] == "poke") img[n] = static_cast<std::uint8_t>(std::stoul(kv.at(2)));
        if (kv[0] == "tail") img.resize(img.size() + n, 0x5A);
        if (kv[0] == "audio") {  // samples, no sync pattern
            const bytes noise = fixture::random_bytes(SECTOR_SIZE, 7);
            std::copy(noise.begin(), noise.end(), img.begin() + std::ptrdiff_t(n * SECTOR_SIZE));
        }
        if (kv[0] == "address") img[n * SECTOR_SIZE + HEADER] ^= 0x01;  // a track cut from a longer disc
    }
    return img;
}

// Sectors of a Form 2 or interleaved file as they leave an image:
// xa:cdxa:FORMS (RIFF-CDXA) or xa:raw2336:FORMS, a sector per letter of
// FORMS (1: a Form 1 data sector, 2: a Form 2 audio one, x: one whose two
// subheader copies differ), random bytes elsewhere (in sync and header too,
// which the tool must not trust); :N adds N bytes past the sectors.
bytes xa_input(const std::vector<std::string>& f) {
    const bool cdxa = f.at(1) == "cdxa";
    // FORMS*N: the letters N times over.
    std::string forms;
    const auto times = f.at(2).find('*');
    for (std::size_t i = 0; i < (times == std::string::npos ? 1 : std::stoul(f[2].substr(times + 1))); ++i)
        forms += f[2].substr(0, times);
    bytes out;
    if (cdxa) {
        const auto le32 = [&](std::size_t v) { for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (8 * i))); };
        const std::size_t data = forms.size() * SECTOR_SIZE;
        const std::string riff = "RIFF", cdxa_tag = "CDXAfmt ", data_tag = "data";
        out.insert(out.end(), riff.begin(), riff.end());
        le32(data + 36);
        out.insert(out.end(), cdxa_tag.begin(), cdxa_tag.end());
        le32(16);
        const std::uint8_t field[16] = {0, 0, 0, 0, 0x0D, 0x55, 'X', 'A', 1};
        out.insert(out.end(), field, field + 16);
        out.insert(out.end(), data_tag.begin(), data_tag.end());
        le32(data);
    }
    for (std::size_t i = 0; i < forms.size(); ++i) {
        bytes sector = fixture::random_bytes(SECTOR_SIZE, static_cast<std::uint32_t>(100 + i));
        const std::uint8_t sub[3][4] = {{0, 0, 0x08, 0}, {1, 1, 0x64, 0}, {1, 1, 0x64, 1}};
        const std::size_t k = forms[i] == '1' ? 0 : 1;
        std::copy_n(sub[k], SUBHEADER_COPY, sector.begin() + SUBHEADER);
        std::copy_n(sub[forms[i] == 'x' ? 2 : k], SUBHEADER_COPY, sector.begin() + SUBHEADER + SUBHEADER_COPY);
        out.insert(out.end(), sector.begin() + (cdxa ? 0 : SUBHEADER), sector.end());
    }
    out.resize(out.size() + (f.size() > 3 ? std::stoul(f[3]) : 0), 0x5A);
    return out;
}

// Contents of a set-up file: random:N, text:WORDS (underscores for spaces,
// semicolons for line ends, carets for carriage returns), iso:PATH (that file of the sample disc), image
// (a fresh sample image), image+CHANGES (one with those changes),
// image:KIND (an image of that kind), copy (a copy of image.bin), cue:N (a
// cue sheet of image.bin, REM lines making it N bytes long), iso-image
// (image.bin's user data: an ISO image of 2048-byte sectors).
bytes content_of(const std::string& kind, const bytes& image) {
    if (kind.starts_with("random:")) {
        const std::size_t n = std::stoul(kind.substr(7));
        return fixture::random_bytes(n, static_cast<std::uint32_t>(n));
    }
    if (kind.starts_with("text:")) {
        std::string t = kind.substr(5);
        std::replace(t.begin(), t.end(), '_', ' ');
        std::replace(t.begin(), t.end(), ';', '\n');
        std::replace(t.begin(), t.end(), '^', '\r');
        return bytes(t.begin(), t.end());
    }
    for (const auto& f : fixture::sample_files())
        if ("iso:" + f.path == kind) return f.data;
    if (kind.starts_with("image:")) return image_of(kind.substr(6));
    if (kind.starts_with("image")) return image_of("sample" + kind.substr(5));
    if (kind == "copy") return image;
    if (kind.starts_with("cue:")) {  // a cue sheet of image.bin, padded with REM lines to N bytes
        std::string sheet = "FILE \"image.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n";
        const std::size_t n = std::stoul(kind.substr(4));
        while (sheet.size() + 85 < n) sheet += "REM " + std::string(75, '-') + "\n";
        sheet += "REM " + std::string(n - sheet.size() - 5, '-') + "\n";
        return bytes(sheet.begin(), sheet.end());
    }
    if (kind == "iso-image") {  // the sample disc as an ISO image: the user data of each sector
        bytes iso;
        for (std::size_t at = 0; at + SECTOR_SIZE <= image.size(); at += SECTOR_SIZE)
            iso.insert(iso.end(), image.begin() + static_cast<std::ptrdiff_t>(at + USER_DATA),
                       image.begin() + static_cast<std::ptrdiff_t>(at + USER_DATA_END));
        return iso;
    }
    if (kind.starts_with("xa:")) return xa_input(split(kind, ':'));
    if (kind.starts_with("ppf1:")) {  // a PPF 1.0 file by hand: ppf1:OFFSET:TEXT[:LENGTH]
        const auto f = split(kind, ':');
        std::string ppf = std::string("PPF10") + '\0' + "made by hand";
        ppf.resize(56, ' ');
        const std::uint32_t at = static_cast<std::uint32_t>(std::stoul(f.at(1), nullptr, 0));
        for (int i = 0; i < 4; ++i) ppf += static_cast<char>(at >> (8 * i));
        ppf += static_cast<char>(f.size() > 3 ? std::stoul(f[3]) : f.at(2).size());
        ppf += f[2];
        return bytes(ppf.begin(), ppf.end());
    }
    if (kind.starts_with("ppf3:")) {  // PPF 3.0 with undo data, no block check: ppf3:OFFSET:NEW:OLD[:...] ("-": no bytes)
        const auto f = split(kind, ':');
        std::string ppf = std::string("PPF30") + '\2' + "made by hand";
        ppf.resize(56, ' ');
        ppf += std::string("\0\0\1\0", 4);  // a BIN image, no block check, undo data
        for (std::size_t i = 1; i + 2 < f.size(); i += 3) {
            const std::uint64_t at = std::stoull(f[i], nullptr, 0);
            for (int b = 0; b < 8; ++b) ppf += static_cast<char>(at >> (8 * b));
            const std::string fresh = f[i + 1] == "-" ? "" : f[i + 1], old = f[i + 2] == "-" ? "" : f[i + 2];
            ppf += static_cast<char>(fresh.size());
            ppf += fresh + old;
        }
        return bytes(ppf.begin(), ppf.end());
    }
    throw std::runtime_error("unknown content " + kind);
}

void set_up(const golden_case& c, const fs::path& dir) {
    const std::string kind = c.setup.contains("image") ? c["image"] : "sample";
    const bytes image = kind.starts_with("sparse:") ? bytes{} : image_of(kind);
    fixture::write_file(dir / "image.bin", image);
    if (kind.starts_with("sparse:"))  // all holes: nothing of it is on the disk
        fs::resize_file(dir / "image.bin", std::stoul(kind.substr(7)) * SECTOR_SIZE);
    for (const auto& [key, value] : c.setup) {
        if (key == "patch" || key == "orig" || key == "second" || key.find('.') != std::string::npos) {
            const std::string name = key.find('.') != std::string::npos ? key : key + ".bin";
            fs::create_directories((dir / name).parent_path());  // a file in a tree: its folders first
            if (value == "fifo") ::mkfifo((dir / name).c_str(), 0644);
            else fixture::write_file(dir / name, content_of(value, image));
        }
        if (key == "dir") fs::create_directories(dir / value);
        if (key == "link") fs::create_symlink(split(value, ':').at(1), dir / split(value, ':')[0]);
    }
    if (const auto names = split(c["rename"], ':'); !names.empty()) fs::rename(dir / names[0], dir / names.at(1));
    // xdelta3=OUT:OPTIONS:SOURCE:TARGET: Debian's xdelta3 encodes TARGET
    // against SOURCE into OUT, its options parted by commas.
    if (const auto f = split(c["xdelta3"], ':'); !f.empty()) {
        std::string command = "cd '" + dir.string() + "' && xdelta3 -e -f";
        for (const std::string& option : split(f.at(1), ',')) command += " " + option;
        command += " -s " + f.at(2) + " " + f.at(3) + " " + f.at(0) + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("xdelta3 failed: " + command);
    }
}

// Makes a file immutable (or not): not even root may open it for writing, as
// on a read-only disc or mount. False where the file system cannot.
bool set_immutable(const fs::path& file, bool on) {
    const unique_fd fd(::open(file.c_str(), O_RDONLY));
    int flags = 0;
    if (!fd.valid() || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// The run of a Windows build (CORVANE_GOLDEN_SYSTEM=windows) execs
// CORVANE_GOLDEN_TOOL; CORVANE_GOLDEN_HOLDER, a program of that system,
// holds files as other programs would and starts CORVANE_GOLDEN_EXE with no
// standard handles.
bool on_windows() {
    const char* system = std::getenv("CORVANE_GOLDEN_SYSTEM");
    return system != nullptr && std::string(system) == "windows";
}

// Starts the holder on `file` in `dir` ("lock" or "alone") and waits until
// it holds it. It lets go when `release` is closed.
pid_t start_holder(const fs::path& dir, const char* how, const std::string& file, int& release) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::chdir(dir.c_str());
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execl(std::getenv("CORVANE_GOLDEN_HOLDER"), "holder", how, file.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    char held = 0;
    (void)::read(out[0], &held, 1);
    ::close(out[0]);
    release = in[1];
    return pid;
}

struct outcome {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The file a cut=FILE:BYTES[:TARGET] row cuts short during its run.
std::string cut_target(const golden_case& c) {
    const auto f = split(c["cut"], ':');
    return f.size() > 2 ? f[2] : "image.bin";
}

outcome run_once(const golden_case& c, const fs::path& dir, const fs::path& logs);

// Runs the built tool in `dir`, with its descriptors set up as the case says.
// The tool prints its banner before anything else, so a Windows run that
// gave status 1 and printed nothing at all never started: wine, on a busy
// machine, now and then fails to start a program. Such a run is run again.
outcome run_binary(const golden_case& c, const fs::path& dir, const fs::path& logs) {
    const bool quiet_row = c.setup.contains("stdout") || c.setup.contains("stderr") || c.setup.contains("term") ||
                           c.setup.contains("cut");
    for (int attempt = 1;; ++attempt) {
        outcome o = run_once(c, dir, logs);
        if (!on_windows() || quiet_row || attempt == 3 || o.status != 1 || !o.out.empty() || !o.err.empty()) return o;
        std::fprintf(stderr, "wine started nothing (status 1, no output): run %d of 3\n", attempt + 1);
    }
}

outcome run_once(const golden_case& c, const fs::path& dir, const fs::path& logs) {
    std::vector<std::string> args{"corvane"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const bool windows = on_windows();
    int release = -1;
    const pid_t holder = !windows ? -1
                         : c.setup.contains("lock") ? start_holder(dir, "lock", c["lock"], release)
                         : c.setup.contains("hold") ? start_holder(dir, "alone", c["hold"], release)
                                                    : -1;
    const unique_fd lock(c.setup.contains("lock") && !windows ? ::open((dir / c["lock"]).c_str(), O_RDWR | O_CREAT, 0644) : -1);
    if (lock.valid()) ::flock(lock.get(), LOCK_EX);
    // lockf=FILE: a record lock of another program, as lockf takes it.
    const unique_fd record(c.setup.contains("lockf") ? ::open((dir / c["lockf"]).c_str(), O_RDWR) : -1);
    if (record.valid()) ::lockf(record.get(), F_LOCK, 0);
    const std::map<std::string, int> signals = {{"", SIGTERM}, {"HUP", SIGHUP}, {"XCPU", SIGXCPU}};
    const std::string out_mode = c["stdout"], fsize = c["fsize"];
    int pipe_fds[2] = {-1, -1};
    if (out_mode == "gone" && ::pipe(pipe_fds) == 0) ::close(pipe_fds[0]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::chdir(dir.c_str());
        const int out = ::open((logs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open((logs / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out_mode == "gone" ? pipe_fds[1] : out, 1);
        ::dup2(err, 2);
        if (out_mode == "full") ::dup2(::open("/dev/full", O_WRONLY), 1);
        if (out_mode == "closed") ::close(1);
        if (c.setup.contains("stderr")) ::close(2);
        ::close(0);
        const rlimit limit{std::stoul("0" + fsize), std::stoul("0" + fsize)};
        if (!fsize.empty()) ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGXFSZ, SIG_DFL);
        if (c.setup.contains("ignore")) ::signal(signals.at(c["ignore"]), SIG_IGN);  // nohup
#ifdef CORVANE_TEAR_LIBRARY
        if (c.setup.contains("tear") || c.setup.contains("interrupt")) {
            ::setenv("LD_PRELOAD", CORVANE_TEAR_LIBRARY, 1);
            ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        }
        // The first write of image.bin reaching byte BYTE stops there.
        if (c.setup.contains("tear")) ::setenv("CORVANE_TEAR", c["tear"].c_str(), 1);
        // interrupt=RUN:N: the Nth write of image.bin in that run raises SIGINT once done.
        if (c.setup.contains("interrupt")) ::setenv("CORVANE_INTERRUPT", split(c["interrupt"], ':').at(1).c_str(), 1);
#endif
        if (c.setup.contains("umask")) ::umask(static_cast<mode_t>(std::stoul(c["umask"], nullptr, 8)));
        // nodevnull: a system without /dev/null, as in a minimal container.
        if (c.setup.contains("nodevnull") &&
            (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0))
            ::_exit(126);
        const char* tool = std::getenv("CORVANE_GOLDEN_TOOL");
        if (windows && out_mode == "closed") {  // on Windows: started with no standard handles at all
            static std::string bare = "bare", exe = std::getenv("CORVANE_GOLDEN_EXE");
            argv[0] = exe.data();
            argv.insert(argv.begin(), {bare.data(), bare.data()});
            tool = std::getenv("CORVANE_GOLDEN_HOLDER");
        }
        // drop: the tool as a start with a console of its own runs it.
        ::execv(windows && tool ? tool : c.setup.contains("drop") ? CORVANE_DROPPED_BINARY : CORVANE_BINARY, argv.data());
        ::_exit(127);
    }
    if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
    int status = 0;
    // term=FILE:BYTES: SIGTERM once FILE (or the standard output) has grown
    // past BYTES; cut=FILE:BYTES[:TARGET]: then TARGET (image.bin) is cut to
    // half its length.
    const bool cut = c.setup.contains("cut");
    if (const auto term = split(c[cut ? "cut" : "term"], ':'); !term.empty()) {
        const fs::path file = term[0] == "stdout" ? logs / "out" : dir / term[0];
        while (::waitpid(pid, &status, WNOHANG) == 0 &&
               !(fs::exists(file) && fs::file_size(file) > std::stoul(term.at(1))))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (cut) fs::resize_file(dir / cut_target(c), fs::file_size(dir / cut_target(c)) / 2);
        else ::kill(pid, signals.at(c["signal"]));
    }
    ::waitpid(pid, &status, 0);
    if (holder > 0) {
        ::close(release);
        ::waitpid(holder, nullptr, 0);
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            slurp(logs / "out"), slurp(logs / "err")};
}

constexpr std::uint64_t FNV_BASIS = 14695981039346656037ULL, FNV_PRIME = 1099511628211ULL;  // FNV-1a

std::string hex(std::uint64_t h) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

std::string hash(const std::string& s) {
    std::uint64_t h = FNV_BASIS;
    for (const char x : s) h = (h ^ static_cast<std::uint8_t>(x)) * FNV_PRIME;
    return hex(h);
}

// A file of the run's folder: its length and its data parts, each widened to
// whole sectors. The holes of a sparse file (a large image of which a run
// writes a few sectors) read as zeros; they are neither read nor held.
struct file_data {
    std::uint64_t size = 0;
    std::map<std::uint64_t, bytes> parts;  // by offset

    // The sector at offset `at` (or the partial one at the end).
    std::span<const std::uint8_t> chunk(std::uint64_t at) const {
        static const bytes zeros(SECTOR_SIZE);
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(SECTOR_SIZE, size - at));
        const auto p = parts.upper_bound(at);
        if (p == parts.begin() || at >= std::prev(p)->first + std::prev(p)->second.size()) return {zeros.data(), n};
        return std::span(std::prev(p)->second).subspan(static_cast<std::size_t>(at - std::prev(p)->first), n);
    }
    bytes whole() const {
        bytes b(size);
        for (const auto& [at, data] : parts) std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    }
};

// The offsets of the sectors either file holds data in.
std::set<std::uint64_t> data_sectors(const file_data& a, const file_data& b) {
    std::set<std::uint64_t> at;
    for (const file_data* f : {&a, &b})
        for (const auto& [from, data] : f->parts)
            for (std::uint64_t s = from; s < from + data.size(); s += SECTOR_SIZE) at.insert(s);
    return at;
}

bool operator==(const file_data& a, const file_data& b) {
    if (a.size != b.size) return false;
    for (const std::uint64_t s : data_sectors(a, b))
        if (!std::ranges::equal(a.chunk(s), b.chunk(s))) return false;
    return true;
}

std::string hash(const file_data& f) {
    std::uint64_t h = FNV_BASIS, at = 0;
    const auto zeros = [&](std::uint64_t n) {  // each zero byte multiplies by the prime
        for (std::uint64_t p = FNV_PRIME; n != 0; n >>= 1, p *= p)
            if (n & 1) h *= p;
    };
    for (const auto& [from, data] : f.parts) {
        zeros(from - at);
        for (const auto x : data) h = (h ^ x) * FNV_PRIME;
        at = from + data.size();
    }
    zeros(f.size - at);
    return hex(h);
}

file_data read_data(const fs::path& path) {
    const unique_fd fd(::open(path.c_str(), O_RDONLY));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) throw std::runtime_error("cannot read " + path.string());
    file_data f{static_cast<std::uint64_t>(st.st_size), {}};
    for (off_t at = 0; (at = ::lseek(fd.get(), at, SEEK_DATA)) >= 0;) {
        const auto hole = static_cast<std::uint64_t>(::lseek(fd.get(), at, SEEK_HOLE));
        std::uint64_t from = static_cast<std::uint64_t>(at) / SECTOR_SIZE * SECTOR_SIZE;
        const std::uint64_t to = std::min(f.size, (hole + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE);
        auto part = f.parts.empty() ? f.parts.end() : std::prev(f.parts.end());
        if (part != f.parts.end() && part->first + part->second.size() >= from)
            from = part->first + part->second.size();  // joins the part before
        else
            part = f.parts.emplace(from, bytes{}).first;
        const std::size_t had = part->second.size(), n = static_cast<std::size_t>(to - from);
        part->second.resize(had + n);
        if (::pread(fd.get(), part->second.data() + had, n, static_cast<off_t>(from)) != static_cast<ssize_t>(n))
            throw std::runtime_error("cannot read " + path.string());
        at = static_cast<off_t>(to);
    }
    return f;
}

std::map<std::string, file_data> files_in(const fs::path& dir) {
    std::map<std::string, file_data> files;
    // Files in folders (an extracted tree) by their path; links are not followed.
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = e.path().lexically_relative(dir).string();
        if (e.is_symlink()) files[name + " -> " + fs::read_symlink(e).string()] = {};
        else if (e.is_regular_file()) files[name] = read_data(e.path());
    }
    return files;
}

// The report of a run: status, output (the build line and, with tail=N, all
// but the last N lines replaced by their count and hash) and the files.
// The version line keeps its numbers; who built it where and when goes.
std::string masked(std::string out) {
    const auto v = out.find(" (", out.find("Version "));
    if (v != std::string::npos) out.replace(v, out.find('\n', v) - v, " (build)");
    return out;
}

std::string report(const golden_case& c, const outcome& o, const std::map<std::string, file_data>& before,
                   const std::map<std::string, file_data>& after, const std::string& modes) {
    const bool timed = c.setup.contains("term") || c.setup.contains("cut");  // output and changes depend on timing
    std::string out = masked(timed ? "(depends on when the signal came)\n" : o.out);
    if (c.setup.contains("tail")) {
        const auto keep = std::stoul(c["tail"]);
        std::size_t cut = out.size();
        for (std::size_t n = 0; n <= keep && cut != 0; ++n) cut = out.rfind('\n', cut - 1);
        const std::string head = out.substr(0, cut + 1);
        out = "(" + std::to_string(std::count(head.begin(), head.end(), '\n')) + " lines, hash " +
              hash(head) + ")\n" + out.substr(cut + 1);
    }
    std::string r = "status " + std::to_string(o.status) + "\n--- stdout\n" + out +
                    "\n--- stderr\n" + o.err + "\n--- files\n";
    for (const auto& [name, data] : after)
        r += name + (before.contains(name) && before.at(name) == data
                         ? " unchanged\n"
                         : timed ? " changed\n" : " " + std::to_string(data.size) + " " + hash(data) + "\n");
    for (const auto& [name, data] : before)
        if (!after.contains(name)) r += name + " removed\n";
    return r + modes;
}

// With umask=: the permission bits of every file and folder, the set-up's
// files made 0600 before the run so that a file the run replaces shows
// whose bits it took.
std::string modes_in(const fs::path& dir) {
    std::string r = "--- modes\n";
    std::map<std::string, unsigned> modes;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (!e.is_symlink())
            modes[e.path().lexically_relative(dir).string() + (e.is_directory() ? "/" : "")] =
                static_cast<unsigned>(e.status().permissions() & fs::perms::mask);
    char line[16];
    for (const auto& [name, mode] : modes) {
        std::snprintf(line, sizeof line, " %04o\n", mode);
        r += name + line;
    }
    return r;
}

// Every sector a patch run changed must be a valid Mode 2 sector of the
// form its subheader gives: Form 1, or Form 2 with its EDC. A run may leave
// the EDC field of the Form 2 sectors it writes zero only in a file whose
// Form 2 sectors all carried none: then all it writes carry none, and none
// of those it replaced carried one.
// A check run (-c -w) may change only the EDC and parity of a sector, which
// must then be valid for its kind (at whatever address its header holds);
// `repaired`, where given, is the set of sectors it reported repaired. An
// image cut short during the run (`cut`) must stay as short: never filled back.
void expect_changed_sectors_valid(const file_data& before, const file_data& after, bool check_run,
                                  const std::set<std::size_t>* repaired, bool cut = false) {
    // A relocation (or a PPF file applied) may grow the image: each sector
    // valid for its kind at its address (a moved file's Form 1, a postgap's own kind).
    const bool grown = !check_run && after.size > before.size;
    if (!grown) {
        ASSERT_EQ(cut ? before.size / 2 : before.size, after.size) << "the image changed its length";
    }
    std::set<std::size_t> changed;
    const auto form2_edc = [](std::span<const std::uint8_t> s) {
        return (s[SUBMODE_BYTE] & SUBMODE_FORM2) != 0 && std::any_of(s.begin() + 2348, s.begin() + 2352, [](auto b) { return b != 0; });
    };
    std::size_t zero_edc = 0, with_edc = 0, replaced_with_edc = 0;
    // Sectors in a hole before and after are the same zeros; those the image grew by are all judged.
    auto judged = data_sectors(before, after);
    for (std::uint64_t s = before.size / SECTOR_SIZE * SECTOR_SIZE; s < after.size; s += SECTOR_SIZE) judged.insert(s);
    for (const std::uint64_t s : judged) {
        if (s + SECTOR_SIZE > after.size) continue;
        const std::span<const std::uint8_t, SECTOR_SIZE> sector(after.chunk(s).data(), SECTOR_SIZE);
        if (s + SECTOR_SIZE <= before.size && std::ranges::equal(before.chunk(s), sector)) continue;
        changed.insert(s / SECTOR_SIZE);
        if (grown) {
            // A Form 2 sector with a zero EDC field (none recorded) keeps it.
            const std::string fault = reference::check_sector(sector, unsigned(s / SECTOR_SIZE + ADDRESS_BIAS));
            const bool no_edc = (sector[SUBMODE_BYTE] & SUBMODE_FORM2) != 0 && !form2_edc(sector);
            EXPECT_EQ(no_edc && fault == "EDC" ? "" : fault, "") << "sector " << s / SECTOR_SIZE;
            continue;
        }
        if (!check_run) {
            const unsigned address = unsigned(s / SECTOR_SIZE + ADDRESS_BIAS);
            const std::string fault = reference::check_sector(sector, address);
            if ((sector[SUBMODE_BYTE] & SUBMODE_FORM2) != 0) {
                if (form2_edc(before.chunk(s))) ++replaced_with_edc;
                ++(form2_edc(sector) ? with_edc : zero_edc);
                if (fault == "EDC" && !form2_edc(sector)) continue;
            }
            EXPECT_EQ(sector[MODE_BYTE], 2) << "sector " << s / SECTOR_SIZE;
            EXPECT_EQ(fault, "") << "sector " << s / SECTOR_SIZE;
            continue;
        }
        EXPECT_EQ(reference::check_sector(sector, std::nullopt), "") << "sector " << s / SECTOR_SIZE;
        const std::size_t edc = reference::edc_place(sector);
        const auto old = before.chunk(s);
        for (std::size_t i = 0; i < SECTOR_SIZE; ++i)
            if (old[i] != sector[i] && (i < edc || (i >= edc + 4 && (edc == 2348 || i < P_PARITY)))) {
                ADD_FAILURE() << "sector " << s / SECTOR_SIZE << ": byte " << i << " changed";
                break;
            }
    }
    if (zero_edc != 0) {
        EXPECT_EQ(with_edc, 0u) << "Form 2 sectors written with and without their EDC";
        EXPECT_EQ(replaced_with_edc, 0u) << "Form 2 sectors that carried an EDC now carry none";
    }
    if (repaired) {
        EXPECT_EQ(changed, *repaired) << "the sectors changed are not those reported repaired";
    }
}

// The records of a PPF file (1.0, 2.0 or 3.0), read from its layout alone,
// apart from the tool's own reader: the image offset and the new bytes of
// each, in file order.
struct plain_record {
    std::uint64_t offset;
    bytes data;
};

std::vector<plain_record> plain_records(const bytes& f) {
    const std::string magic(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(5, f.size())));
    const bool v1 = magic == "PPF10", v3 = magic == "PPF30";
    if (!v1 && !v3 && magic != "PPF20") return {};
    const std::size_t offset_size = v3 ? 8 : 4;
    const bool undo = v3 && f.size() > 58 && f[58] != 0;
    std::size_t at = v1 ? 56 : v3 ? 60 + (f.size() > 57 && f[57] != 0 ? 1024 : 0) : 1084;
    const std::string diz = "@BEGIN_FILE_ID.DIZ";
    std::vector<plain_record> records;
    while (at + offset_size < f.size() &&
           std::string(f.begin() + static_cast<std::ptrdiff_t>(at),
                       f.begin() + static_cast<std::ptrdiff_t>(std::min(f.size(), at + diz.size()))) != diz) {
        std::uint64_t offset = 0;
        for (std::size_t i = 0; i < offset_size; ++i) offset |= std::uint64_t{f[at + i]} << (8 * i);
        const std::size_t length = f[at + offset_size];
        const auto from = f.begin() + static_cast<std::ptrdiff_t>(std::min(f.size(), at + offset_size + 1));
        records.push_back({offset, bytes(from, from + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                                         length, static_cast<std::size_t>(f.end() - from))))});
        at += offset_size + 1 + length * (undo ? 2 : 1);
    }
    return records;
}

// A PPF 2.0 or 3.0 file the tool wrote lists its records in ascending
// order of their image offsets, each after the bytes of the one before.
void expect_records_ascending(const std::string& name, const bytes& f) {
    const std::string magic(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(5, f.size())));
    if (magic != "PPF20" && magic != "PPF30") return;
    std::uint64_t next = 0;
    for (const plain_record& r : plain_records(f)) {
        ASSERT_GE(r.offset, next) << name << ": the record at image offset " << r.offset << " is out of order";
        next = r.offset + r.data.size();
    }
}

// A PPF file applied to `image` by the records plain_records reads: in
// turn, growing the image where one runs past it.
bytes applied_plainly(const bytes& ppf, bytes image) {
    for (const plain_record& r : plain_records(ppf)) {
        if (r.offset + r.data.size() > image.size()) image.resize(r.offset + r.data.size());
        std::copy(r.data.begin(), r.data.end(), image.begin() + static_cast<std::ptrdiff_t>(r.offset));
    }
    return image;
}

// applies=PPF:FROM:TO: the PPF file as the row left it, applied to FROM as
// it was set up by an applier that knows only the file layout, gives TO as
// the row left it.
void expect_applies(const golden_case& c, const std::map<std::string, file_data>& before,
                    const std::map<std::string, file_data>& after) {
    const auto f = split(c["applies"], ':');
    ASSERT_EQ(f.size(), 3U) << "applies=PPF:FROM:TO";
    ASSERT_TRUE(after.contains(f[0]) && before.contains(f[1]) && after.contains(f[2])) << c["applies"];
    EXPECT_TRUE(applied_plainly(after.at(f[0]).whole(), before.at(f[1]).whole()) == after.at(f[2]).whole())
        << f[0] << " applied to " << f[1] << " does not give " << f[2];
}

// decodes=XDELTA:FROM:TO: the xdelta file as the row left it, decoded by the
// tool's VCDIFF reader against FROM as it was set up, gives TO as the row left
// it, each window carrying the checksum of its target.
void expect_decodes(const golden_case& c, const std::map<std::string, file_data>& before,
                    const std::map<std::string, file_data>& after) {
    const auto f = split(c["decodes"], ':');
    ASSERT_EQ(f.size(), 3U) << "decodes=XDELTA:FROM:TO";
    ASSERT_TRUE(after.contains(f[0]) && before.contains(f[1]) && after.contains(f[2])) << c["decodes"];
    const bytes patch = after.at(f[0]).whole(), source = before.at(f[1]).whole();
    const auto path = fs::temp_directory_path() / ("corvane-golden-decode-" + c.name + ".xdelta");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(patch.data()),
                                                static_cast<std::streamsize>(patch.size()));
    const unique_fd fd = platform::open_read(path.string());
    vcdiff_reader r;
    std::string why = r.open(fd.get(), patch.size());
    bytes target;
    const vcdiff_input from_source = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at + out.size() > source.size()) return false;
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
        return true;
    };
    const vcdiff_input from_target = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at + out.size() > target.size()) return false;
        std::copy_n(target.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
        return true;
    };
    vcdiff_window w;
    while (why.empty() && !r.done()) {
        why = r.next(from_source, source.size(), from_target, w);
        EXPECT_TRUE(!why.empty() || w.checked) << f[0] << ": window " << w.index << " carries no checksum";
        target.insert(target.end(), w.target.begin(), w.target.end());
    }
    fs::remove(path);
    EXPECT_EQ(why, "") << f[0];
    EXPECT_TRUE(target == after.at(f[2]).whole()) << f[0] << " decoded against " << f[1] << " does not give " << f[2];
}

// Each make run (-m) of a row: the PPF file it wrote turns its original (as
// set up) into its modified image (as the row leaves it).
void expect_patches_make(const std::vector<std::string>& args, const std::map<std::string, file_data>& before,
                         const std::map<std::string, file_data>& after) {
    for (auto from = args.begin(); from != args.end();) {
        const auto to = std::find(from, args.end(), ";");
        const std::vector<std::string> run(from, to);
        from = to == args.end() ? to : to + 1;
        const auto option = std::find_if(run.begin(), run.end(), [](const auto& a) { return a == "-P" || a == "-p"; });
        if (std::find(run.begin(), run.end(), "-m") == run.end() || option == run.end() || run.size() < 3) continue;
        const std::string &ppf = *std::next(option), &original = run[run.size() - 2], &modified = run.back();
        if (!after.contains(ppf) || !before.contains(original) || !after.contains(modified) || original.ends_with(".cue") ||
            (before.contains(ppf) && before.at(ppf).whole() == after.at(ppf).whole()))
            continue;
        EXPECT_TRUE(applied_plainly(after.at(ppf).whole(), before.at(original).whole()) == after.at(modified).whole())
            << ppf << " does not turn " << original << " into " << modified;
    }
}

// The sectors a check run's report calls repaired.
std::set<std::size_t> reported_repaired(const std::string& out) {
    std::set<std::size_t> sectors;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("Sector ") && line.ends_with(" -- repaired")) sectors.insert(std::stoul(line.substr(7)));
    return sectors;
}


struct scratch_dir {
    fs::path path;
    bool mounted = false;
    scratch_dir() {
        std::string t = (fs::temp_directory_path() / "corvane-golden-XXXXXX").string();
        path = ::mkdtemp(t.data());
    }
    // A small file system of its own, to be filled up.
    bool mount_tmpfs(const std::string& kib) {
        mounted = ::mount("none", path.c_str(), "tmpfs", 0, ("size=" + kib + "k").c_str()) == 0;
        return mounted;
    }
    ~scratch_dir() {
        if (mounted) ::umount(path.c_str());
        fs::remove_all(path);
    }
};

void PrintTo(const golden_case& c, std::ostream* os) { *os << c.name; }

class Golden : public ::testing::TestWithParam<golden_case> {};

TEST_P(Golden, RunGivesStoredResult) {
    const golden_case& c = GetParam();
    const bool windows = on_windows();
    if (windows ? c.setup.contains("posix-only") : c.setup.contains("windows-only"))
        GTEST_SKIP() << (windows ? "needs POSIX: " + c["posix-only"] : "Windows only");
    // A write torn or a signal planted by the preloaded library: only where
    // it is built, and never under wine, whose writes it does not see.
#ifdef CORVANE_TEAR_LIBRARY
    const bool preloads = !windows;
#else
    const bool preloads = false;
#endif
    if ((c.setup.contains("tear") || c.setup.contains("interrupt")) && !preloads)
        GTEST_SKIP() << "needs the preloaded write that fails (a native build's)";
#ifdef CORVANE_GOLDEN_PORTABLE
    if (c.setup.contains("linux-only")) GTEST_SKIP() << "needs Linux: " + c["linux-only"];
#endif
    if (c.setup.contains("xdelta3") && std::system("xdelta3 -V >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs Debian's xdelta3";
    // lzma: the row's xdelta file is LZMA-compressed: the tool under test
    // reads it where it was built with liblzma (a Windows build: where the
    // runner is told so).
#ifdef CORVANE_TESTS_LZMA
    const bool reads_lzma = !windows || std::getenv("CORVANE_GOLDEN_LZMA") != nullptr;
#else
    const bool reads_lzma = false;
#endif
    if (c.setup.contains("lzma") && !reads_lzma) GTEST_SKIP() << "the tool under test reads no LZMA";
    scratch_dir dir, logs;
    const bool root_only = c.setup.contains("tmpfs") || c.setup.contains("nodevnull");
    if (root_only && (::geteuid() != 0 || (c.setup.contains("tmpfs") && !dir.mount_tmpfs(c["tmpfs"]))))
        GTEST_SKIP() << "mounting a file system needs root";
    set_up(c, dir.path);
    if (c.setup.contains("umask"))
        for (const auto& e : fs::recursive_directory_iterator(dir.path))
            if (!e.is_symlink()) fs::permissions(e.path(), e.is_directory() ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    const bool read_only = c.setup.contains("readonly");
    const fs::path frozen = dir.path / (read_only ? "image.bin" : c["immutable"]);
    // On Windows, the read-only attribute: no write permission, as wine keeps it.
    std::error_code no_write;
    const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (read_only && windows) fs::permissions(frozen, write, fs::perm_options::remove, no_write);
    if ((read_only || c.setup.contains("immutable")) && (windows ? bool(no_write) : !set_immutable(frozen, true)))
        GTEST_SKIP() << "this file system cannot make a file read-only for root";
    const auto before = files_in(dir.path);
    // Runs before the last ";" of the command line are steps: their status
    // and output come first in the report.
    std::string steps;
    golden_case last = c;
    // interrupt=RUN:N meets that run of the row alone.
    int run_number = 1;
    const auto interrupt_run = [&](golden_case& run) {
        if (c.setup.contains("interrupt") && split(c["interrupt"], ':').at(0) != std::to_string(run_number++))
            run.setup.erase("interrupt");
    };
    for (auto end = std::find(last.args.begin(), last.args.end(), ";"); end != last.args.end();
         end = std::find(last.args.begin(), last.args.end(), ";")) {
        golden_case step = last;
        step.args.assign(last.args.begin(), end);
        last.args.erase(last.args.begin(), end + 1);
        interrupt_run(step);
        const outcome o = run_binary(step, dir.path, logs.path);
        // A signal or cut meets the first run alone: its output depends on timing.
        const bool timed = step.setup.contains("term") || step.setup.contains("cut");
        steps += "--- step status " + std::to_string(o.status) + "\n" +
                 masked(timed ? "(depends on when the signal came)\n" : o.out) + o.err;
        for (const char* key : {"term", "cut", "tear"}) last.setup.erase(key);
    }
    interrupt_run(last);
    const outcome o = run_binary(last, dir.path, logs.path);
    if (read_only || c.setup.contains("immutable")) set_immutable(frozen, false);
    const auto after = files_in(dir.path);
    const std::string got = steps + report(last, o, before, after, c.setup.contains("umask") ? modes_in(dir.path) : "");
    const fs::path expected = fs::path(CORVANE_GOLDEN_DIR) / "expected" / (c.name + ".txt");
    const auto& argv = ::testing::internal::GetArgvs();
    if (std::find(argv.begin(), argv.end(), "--update") != argv.end()) {
        std::ofstream(expected, std::ios::binary) << got;
    } else {
        EXPECT_EQ(got, slurp(expected));
    }
    if (c.setup.contains("same")) {  // another spelling of that row's command line
        EXPECT_EQ(got, slurp(expected.parent_path() / (c["same"] + ".txt")));
    }
    // The images of a cue sheet count the disc's sectors, not their own. The
    // first run of a row with steps gives its kind.
    const auto first_run_end = std::find(c.args.begin(), c.args.end(), ";");
    const bool check_run = std::find(c.args.begin(), first_run_end, "-c") != first_run_end;
    const auto repaired = reported_repaired(steps + o.out);
    for (const auto& [name, data] : after)
        if (name.ends_with(".bin") && before.contains(name))
            expect_changed_sectors_valid(before.at(name), data, check_run,
                                         check_run && name == "image.bin" && !c.args.back().ends_with(".cue")
                                             ? &repaired : nullptr,
                                         c.setup.contains("cut") && name == cut_target(c));
    for (const auto& [name, data] : after)
        if (name.ends_with(".ppf") && !(before.contains(name) && before.at(name) == data))
            expect_records_ascending(name, data.whole());
    if (c.setup.contains("applies")) expect_applies(c, before, after);
    if (c.setup.contains("decodes")) expect_decodes(c, before, after);
    expect_patches_make(c.args, before, after);
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(load_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

}  // namespace
