// End-to-end: the real program in a child process, in a fresh folder for
// every case, with real links, FIFOs, file-size and memory limits, a real
// full device and real signals. Every case checks the status, the exact
// stderr, that stdout stays empty, and the whole folder afterwards: exactly
// as before, or changed only in <vms>.
//
//   cli_test [gtest flags] [--launcher=CMD] [path/to/quib]
//
// With a .exe path the program is a Windows build run by the launcher
// (wine); its stderr lines end in CR LF, and the POSIX-only cases are off.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "container.hpp"

namespace fs = std::filesystem;

namespace {

std::string program = QUIB_EXE;
std::string launcher;  // empty: run the program directly
bool windowsBuild = false;
bool posix = true;  // the POSIX-only cases run

const std::string banner = "QUIB " QUIB_CONTACT "\n";
const std::string usage =
    "QUIB <image> <vms>\n<image> should be a jpeg\n<vms> is the file name to produce\n" + banner;
const std::string baseHeader(quib::headerNonDynamic.begin(), quib::headerNonDynamic.end());

// Large enough for the buffer on 2 MiB huge pages, and one byte short of
// two of them: a mapping rounded down, or short by a page, is too small.
constexpr std::size_t largeSize = (std::size_t{4} << 20U) - 1;

std::string failed(const std::string& message) {
    return banner + message + "\n";
}
std::string success(const std::string& vms) {
    return failed("QUIB is not aware of any problems with your file transformation.\n[" + vms +
                  "] is now ready.");
}

// A picture's worth of bytes with every value in it, zeros included.
std::string pattern(std::size_t size) {
    static std::map<std::size_t, std::string> made;  // every case writes the same inputs
    std::string& bytes = made[size];
    for (std::size_t i = bytes.size(); i < size; ++i) {
        bytes.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    }
    return bytes;
}

// The whole container, from the layout written out: header, size bytes,
// mime text padded with zeros to 48 bytes, the data.
std::string container(const std::string& sizeBytes, std::string mime, const std::string& data) {
    mime.resize(quib::mimeHeaderSize, '\0');
    return baseHeader + sizeBytes + mime + data;
}

// The inputs of the cases, wrapped.
const std::string catVms =
    container(std::string("\xC8\0\0\0", 4), "image/jpeg ; cat.jpg", pattern(200));
const std::string picVms =
    container(std::string("\x01\0\x01\0", 4), "image/jpeg ; pic.jpg", pattern(65537));
const std::string largeVms =
    container(std::string("\xFF\xFF\x3F\0", 4), "image/jpeg ; large.jp", pattern(largeSize));

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

void put(const fs::path& path, const std::string& bytes, fs::perms mode = fs::perms::none) {
    std::ofstream(path, std::ios::binary) << bytes;
    if (mode != fs::perms::none) {
        fs::permissions(path, mode);
    }
}

std::string platformLines(std::string text) {
    for (std::size_t at = 0; windowsBuild && (at = text.find('\n', at)) != std::string::npos;
         at += 2) {
        text.insert(at, 1, '\r');
    }
    return text;
}

mode_t newFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// How an entry looks in a snapshot: its kind, its mode (POSIX only: the
// Windows builds keep no Unix modes), a regular file's size and a hash of
// its bytes, short enough for a readable diff. Sparse inputs are too large
// to read for every case; they are only ever read.
std::string entry(const std::string& bytes, mode_t mode) {
    return (posix ? std::to_string(mode & 07777) + " " : std::string()) +
           std::to_string(bytes.size()) + " bytes #" +
           std::to_string(std::hash<std::string>{}(bytes) % 1000000);
}

struct Options {
    rlim_t fileSize = RLIM_INFINITY;
    rlim_t addressSpace = RLIM_INFINITY;
    std::vector<std::string> environment;
    bool asNobody = false;         // as root, run as nobody: permissions apply
    bool closeStandard = false;    // start with stdin and stderr closed
    std::size_t fifoRead = 0;      // a reader on pipe.vms takes this much, or all
    bool terminateMidway = false;  // SIGTERM once the hidden file holds 1 MiB
};

// One setting changed from the defaults, for the case tables.
template <typename Field, typename Value>
Options with(Field Options::*field, Value value) {
    Options options;
    options.*field = static_cast<Field>(value);
    return options;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::string fifo{};  // what the reader on pipe.vms got
};

struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string wrote{};  // <vms> afterwards if the run succeeds; what a FIFO got
    Options options{};
    bool runs = true;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = (fs::temp_directory_path() / "quib-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root = name;
        fs::permissions(root,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }
    void TearDown() override {
        clearWork();
        fs::remove_all(root);
    }

    void clearWork() const {
        std::error_code ignored;  // no folder yet
        fs::permissions(root / "work" / "ro", fs::perms::owner_all, ignored);
        fs::remove_all(root / "work");
    }

    // The same folder for every case: inputs, an earlier result, links, a
    // FIFO, a read-only file and a directory that refuses new files.
    void populate() {
        const fs::path work = root / "work";
        clearWork();
        fs::create_directories(work / "adir");
        fs::create_directory(work / "ro");
        put(work / "cat.jpg", pattern(200));
        put(work / "写真.jpg", pattern(200));
        put(work / "café.jpg", pattern(200));
        put(work / "pic.jpg", pattern(65537));
        put(work / "large.jpg", pattern(largeSize));
        put(work / "empty.jpg", "");
        put(work / "old.vms", "an earlier result", fs::perms(0640));
        fs::create_directory(work / "open");  // anyone may add files here
        fs::permissions(work / "open", fs::perms::all);
        put(work / "open" / "readonly.vms", "not to be replaced", fs::perms(0444));
        put(work / "ro" / "out.vms", "written in place", fs::perms(0666));
        fs::permissions(work / "ro", fs::perms(0555));
        for (const auto& [name, size] :
             {std::pair{"big.jpg", (1ULL << 32U) + 200}, std::pair{"huge.jpg", 1ULL << 30U},
              std::pair{"long.jpg", 256ULL << 20U}}) {
            put(work / name, "");
            fs::resize_file(work / name, size);  // sparse: nothing is stored
        }
        fs::create_hard_link(work / "cat.jpg", work / "hard.jpg");
        fs::create_hard_link(work / "写真.jpg", work / "写真2.jpg");
        fs::create_symlink("cat.jpg", work / "soft.jpg");
        fs::create_symlink("old.vms", work / "link.vms");
        fs::create_symlink("nowhere.vms", work / "dangling.vms");
        ASSERT_EQ(mkfifo((work / "pipe.vms").c_str(), 0644), 0);
    }

    // Every entry below the work folder, to prove what a run changed.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> entries;
        for (const auto& item : fs::recursive_directory_iterator(root / "work")) {
            struct stat status {};
            lstat(item.path().c_str(), &status);
            const std::string name = item.path().lexically_relative(root / "work").string();
            const std::string mode = std::to_string(status.st_mode & 07777);
            entries[name] = S_ISLNK(status.st_mode)    ? "-> " + fs::read_symlink(item).string()
                            : S_ISDIR(status.st_mode)  ? "dir " + mode
                            : S_ISFIFO(status.st_mode) ? "fifo"
                            : status.st_size > (64 << 20)
                                ? std::to_string(status.st_size) + " sparse bytes"
                                : entry(slurp(item.path()), status.st_mode);
        }
        return entries;
    }

    Outcome quib(std::vector<std::string> args, const Options& options = {}) {
        args.insert(args.begin(), program);
        if (!launcher.empty()) {
            args.insert(args.begin(), launcher);
        }
        std::string fromFifo;
        std::thread reader;
        if (options.fifoRead > 0) {
            reader = std::thread([&] { fromFifo = readFifo(options.fifoRead); });
        }
        Outcome outcome = finish(start(args, options), options);
        if (reader.joinable()) {
            reader.join();
        }
        outcome.fifo = fromFifo;
        return outcome;
    }

    pid_t start(std::vector<std::string>& command, const Options& options) const {
        const pid_t child = fork();
        if (child == 0) {
            runChild(command, options);
        }
        return child;
    }

    Outcome finish(pid_t child, const Options& options) const {
        int wstatus = 0;
        if (options.terminateMidway) {
            terminateWhenWriting(child);
        }
        waitpid(child, &wstatus, 0);
        const std::string capture = (root / std::to_string(child)).string();
        Outcome outcome{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus),
                        slurp(capture + ".out"), slurp(capture + ".err")};
        fs::remove(capture + ".out");
        fs::remove(capture + ".err");
        return outcome;
    }

    // A run that fails leaves the folder exactly as it was: no new file, no
    // hidden leftover, an earlier <vms> intact. One that succeeds changes only
    // <vms>, which keeps the permission bits of a file it replaces.
    void check(const Case& c) {
        std::string label;
        for (const std::string& arg : c.args) {
            label += arg + " ";
        }
        populate();
        auto expected = snapshot();
        struct stat before {};
        const bool replaces = c.args.size() > 1 &&
                              lstat((root / "work" / c.args[1]).c_str(), &before) == 0 &&
                              S_ISREG(before.st_mode);
        const Outcome run = quib(c.args, c.options);
        EXPECT_EQ(run.status, c.status) << label;
        EXPECT_EQ(run.err, platformLines(c.err)) << label;
        EXPECT_EQ(run.out, "") << label;
        if (c.options.fifoRead > 0) {
            EXPECT_TRUE(run.fifo == c.wrote) << label << ": wrong bytes through the FIFO";
        } else if (c.status == 0 && !c.wrote.empty()) {  // a device keeps nothing
            expected[c.args[1]] = entry(c.wrote, replaces ? before.st_mode : newFileMode());
        }
        EXPECT_EQ(snapshot(), expected) << label;
    }

    void checkAll(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            if (c.runs) {
                check(c);
            }
        }
    }

    fs::path root;

private:
    std::string readFifo(std::size_t limit) const {
        const int fd = open((root / "work" / "pipe.vms").c_str(), O_RDONLY);
        std::string got;
        char chunk[4096];
        ssize_t n = 0;
        while (got.size() < limit &&
               (n = read(fd, chunk, std::min(sizeof chunk, limit - got.size()))) > 0) {
            got.append(chunk, static_cast<std::size_t>(n));
        }
        close(fd);
        return got;
    }

    // Until the child ends by itself, which is then a failure to report.
    void terminateWhenWriting(pid_t child) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        siginfo_t ended{};
        while (std::chrono::steady_clock::now() < deadline &&
               waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               ended.si_pid == 0) {
            for (const auto& item : fs::directory_iterator(root / "work")) {
                std::error_code error;
                if (item.path().filename().string().rfind(".old.vms.", 0) == 0 &&
                    fs::file_size(item.path(), error) > (1U << 20U)) {
                    kill(child, SIGTERM);
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    [[noreturn]] void runChild(std::vector<std::string>& command, const Options& options) const {
        const std::string capture = (root / std::to_string(getpid())).string();
        const int out = open((capture + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((capture + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const rlimit fileSize{options.fileSize, options.fileSize};
        const rlimit addressSpace{options.addressSpace, options.addressSpace};
        const bool drop = options.asNobody && getuid() == 0 && !windowsBuild;
        std::error_code copied;
        if (drop) {
            // The program's own folder may be closed to nobody (a checkout
            // under /root, say); the test's root is open to all.
            const fs::path copy = root / "quib-for-nobody";
            fs::copy_file(command[0], copy, fs::copy_options::overwrite_existing, copied);
            command[0] = copy.string();
        }
        std::vector<char*> argv;
        argv.reserve(command.size() + 1);
        for (std::string& word : command) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        for (const std::string& variable : options.environment) {
            putenv(const_cast<char*>(variable.c_str()));
        }
        const bool dropped = !drop || (!copied && setgid(65534) == 0 && setuid(65534) == 0);
        // Signals as a shell would leave them: SIGXFSZ and SIGPIPE at their
        // default, which kills, unless the program itself sees to them.
        if (chdir((root / "work").c_str()) == 0 && out >= 0 && err >= 0 && dup2(out, 1) == 1 &&
            dup2(err, 2) == 2 && setrlimit(RLIMIT_FSIZE, &fileSize) == 0 &&
            setrlimit(RLIMIT_AS, &addressSpace) == 0 && dropped) {
            if (options.closeStandard) {
                close(0);
                close(2);
            }
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
};

TEST_F(Cli, RefusalsChangeNothing) {
    const std::string name35 = std::string(31, 'n') + ".jpg";
    const std::string wide35 = "写真" + std::string(25, 'n') + ".jpg";  // 35 bytes of UTF-8
    const auto noSource = [](const std::string& path) {
        return failed("Failed to open source file [" + path + "] for input.");
    };
    const auto noDestination = [](const std::string& path) {
        return failed("Failed to open destinaton file [" + path + "] for output.");
    };
    const auto same = [](const std::string& path) {
        return failed("Source and destination are the same file [" + path + "].");
    };
    const std::string toLong = "Input file name to long, rename file and try again.\n";
    // clang-format off
    std::vector<Case> cases = {
        {{"cat.jpg"}, 1, usage},
        {{"cat.jpg", "new.vms", "more"}, 1, usage},
        {{"n" + name35, "new.vms"}, 1, toLong},
        {{name35, "new.vms"}, 1, noSource(name35)},
        {{"n" + wide35, "new.vms"}, 1, toLong},
        {{wide35, "new.vms"}, 1, noSource(wide35)},
        {{"adir", "new.vms"}, 1, noSource("adir")},
        {{"cat.jpg", "nodir/new.vms"}, 1, noDestination("nodir/new.vms")},
        {{"cat.jpg", "adir"}, 1, noDestination("adir")},
        {{"cat.jpg", "open/readonly.vms"}, 1, noDestination("open/readonly.vms"), "",
         with(&Options::asNobody, true)},
        {{"cat.jpg", "hard.jpg"}, 1, same("hard.jpg")},
        {{"cat.jpg", "soft.jpg"}, 1, same("soft.jpg")},
        {{"soft.jpg", "cat.jpg"}, 1, same("cat.jpg")},
        {{"cat.jpg", "adir/../cat.jpg"}, 1, same("adir/../cat.jpg")},
        {{"写真.jpg", "写真2.jpg"}, 1, same("写真2.jpg")},
    };
    // clang-format on
    if (windowsBuild) {
        std::string drivePath = "Z:" + (root / "work" / "cat.jpg").string();
        std::replace(drivePath.begin(), drivePath.end(), '/', '\\');
        for (const std::string& spelling :
             {std::string("CAT.JPG"), std::string(".\\cat.jpg"), drivePath}) {
            cases.push_back({{"cat.jpg", spelling}, 1, same(spelling)});
        }
    }
    checkAll(cases);
}

// Every run that gets as far as the output, cut short at each step in turn
// by real faults: the earlier old.vms must survive each one.
TEST_F(Cli, FailuresLeaveTheFolderAsItWas) {
    const std::string tooLarge = failed(
        "The image file data is to large for current memeory configuration, re-configure memory "
        "or ue a smaller image or better compression");
    const std::string noData = failed("Failed to write image data to destination file.");
    const std::string noClose = failed("Failed to close destination file [old.vms].");
    const std::vector<std::string> preload = {"LD_PRELOAD=" QUIB_SHIM,
                                              "ASAN_OPTIONS=verify_asan_link_order=0"};
    auto failing = [&preload](const std::string& step) {
        Options options = with(&Options::environment, preload);
        options.environment.push_back(step + "=old.vms");
        return options;
    };
    // The shim works on the dynamically linked build that ctest names; a
    // static one (the release build, named on the command line) ignores it.
    const bool shim = posix && program == QUIB_EXE;
    const bool memoryLimit = posix && !QUIB_SANITIZED;  // sanitizers reserve terabytes
    const std::string noSize = failed("Failed to write size field to destination file.");
    const std::string noMime = failed("Failed to write mime header to destination file.");
    const std::string noHeader =
        failed("Failed to write base header to destination file [/dev/full].");
    // clang-format off
    checkAll({
        {{"empty.jpg", "old.vms"}, 1, failed("Failed to read image file data.")},
        {{"big.jpg", "old.vms"}, 1, tooLarge},
        {{"huge.jpg", "old.vms"}, 1, tooLarge, "", with(&Options::addressSpace, 256U << 20U),
         memoryLimit},
        {{"cat.jpg", "old.vms"}, 1, noSize, "", with(&Options::fileSize, 654), posix},
        {{"cat.jpg", "old.vms"}, 1, noMime, "", with(&Options::fileSize, 680), posix},
        {{"cat.jpg", "old.vms"}, 1, noData, "", with(&Options::fileSize, 804), posix},
        {{"cat.jpg", "/dev/full"}, 1, noHeader, "", {}, posix},
        {{"cat.jpg", "old.vms"}, 1, noClose, "", failing("QUIB_FAIL_CLOSE"), shim},
        {{"cat.jpg", "old.vms"}, 1, noClose, "", failing("QUIB_FAIL_RENAME"), shim},
        {{"long.jpg", "old.vms"}, 128 + SIGTERM, banner, "", with(&Options::terminateMidway, true),
         posix},
    });
    // clang-format on
    // A FIFO is written in place. Its reader quitting early must fail the
    // write, not kill the program; with stdin and stderr closed at the
    // start, no message may land in the output that took a descriptor.
    Options quitting = with(&Options::fifoRead, 704);
    Options closed = with(&Options::fifoRead, SIZE_MAX);
    closed.closeStandard = true;
    checkAll({
        {{"large.jpg", "pipe.vms"}, 1, noData, largeVms.substr(0, 704), quitting, posix},
        {{"empty.jpg", "pipe.vms"}, 1, "", baseHeader, closed, posix},
    });
}

TEST_F(Cli, SuccessesChangeOnlyTheOutput) {
    const auto cat = [](const std::string& mime) {
        return container(std::string("\xC8\0\0\0", 4), "image/jpeg ; " + mime, pattern(200));
    };
    const Options nobody = with(&Options::asNobody, true);
    // clang-format off
    checkAll({
        {{"cat.jpg", "new.vms"}, 0, success("new.vms"), catVms},
        {{"pic.jpg", "old.vms"}, 0, success("old.vms"), picVms},
        {{"large.jpg", "new.vms"}, 0, success("new.vms"), largeVms},
        {{"cat.jpg", "link.vms"}, 0, success("link.vms"), catVms},
        {{"cat.jpg", "dangling.vms"}, 0, success("dangling.vms"), catVms},
        {{"cat.jpg", "/dev/null"}, 0, success("/dev/null"), "", {}, posix},
        {{"cat.jpg", "NUL"}, 0, success("NUL"), "", {}, windowsBuild},
        {{"cat.jpg", "ro/out.vms"}, 0, success("ro/out.vms"), catVms, nobody},
        {{"写真.jpg", "写真.vms"}, 0, success("写真.vms"), cat("写真.j")},
        {{"café.jpg", "café.vms"}, 0, success("café.vms"), cat("café.jp")},
    });
    // clang-format on
}

// Two runs on one <vms> at once: each renames a whole file of its own, so
// the last one wins whole, and neither leaves anything else behind.
TEST_F(Cli, ConcurrentRunsLeaveOneWholeFile) {
    if (!posix) {
        GTEST_SKIP() << "50 rounds of two Wine starts take minutes";
    }
    populate();
    const auto before = snapshot();
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> first = {program, "cat.jpg", "out.vms"};
        std::vector<std::string> second = {program, "pic.jpg", "out.vms"};
        const pid_t one = start(first, {});
        const pid_t other = start(second, {});
        ASSERT_EQ(finish(one, {}).status, 0);
        ASSERT_EQ(finish(other, {}).status, 0);
        const std::string written = slurp(root / "work" / "out.vms");
        ASSERT_TRUE(written == catVms || written == picVms)
            << "round " << round << ": a mixed file";
        auto after = snapshot();
        after.erase("out.vms");
        ASSERT_EQ(after, before) << "round " << round;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--launcher=", 0) == 0) {
            launcher = arg.substr(11);
        } else {
            program = fs::absolute(arg).string();
        }
    }
    windowsBuild = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
    posix = !windowsBuild;
    return RUN_ALL_TESTS();
}
