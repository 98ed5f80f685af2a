// End-to-end: the real program in a child process, a real directory, real
// links, real file-size and memory limits, a real full device. Every case
// checks the status, the exact stderr, and exactly what is left on disk.
//
//   cli_test [gtest flags] [--launcher=CMD] [--reference=QUIB] [path/to/quib]
//
// With a .exe path the program is a Windows build run by the launcher
// (wine); its stderr lines end in CR LF, and the POSIX-only faults are off.
// A reference build, run directly, must write the same bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "container.hpp"

namespace fs = std::filesystem;

namespace {

std::string program = QUIB_EXE;
std::string launcher;   // empty: run the program directly
std::string reference;  // a native build to compare with, if any
bool windowsBuild = false;

const std::string banner = "QUIB " QUIB_CONTACT "\n";
const std::string usage =
    "QUIB <image> <vms>\n<image> should be a jpeg\n<vms> is the file name to produce\n" + banner;
const std::string tooLarge =
    "The image file data is to large for current memeory configuration, re-configure memory or "
    "ue a smaller image or better compression\n";
const std::string baseHeader(quib::headerNonDynamic.begin(), quib::headerNonDynamic.end());

std::string success(const std::string& vms) {
    return banner + "QUIB is not aware of any problems with your file transformation.\n[" + vms +
           "] is now ready.\n";
}

// A picture's worth of bytes with every value in it, zeros included.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return bytes;
}

// The whole container, from the layout written out: header, size bytes,
// mime text padded with zeros to 48 bytes, the data.
std::string container(const std::string& sizeBytes, std::string mime, const std::string& data) {
    mime.resize(quib::mimeHeaderSize, '\0');
    return baseHeader + sizeBytes + mime + data;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string platformLines(std::string text) {
    for (std::size_t at = 0; windowsBuild && (at = text.find('\n', at)) != std::string::npos;
         at += 2) {
        text.insert(at, 1, '\r');
    }
    return text;
}

struct Limits {
    rlim_t fileSize = RLIM_INFINITY;
    rlim_t addressSpace = RLIM_INFINITY;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = (fs::temp_directory_path() / "quib-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root = name;
        work = root / "work";
        fs::create_directory(work);
    }
    void TearDown() override { fs::remove_all(root); }

    Outcome quib(std::vector<std::string> args, Limits limits = {}) const {
        args.insert(args.begin(), program);
        if (!launcher.empty()) {
            args.insert(args.begin(), launcher);
        }
        return run(args, limits);
    }

    Outcome run(std::vector<std::string> command, Limits limits = {}) const {
        const pid_t child = fork();
        if (child == 0) {
            runChild(command, limits);
        }
        int wstatus = 0;
        waitpid(child, &wstatus, 0);
        return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus),
                slurp(root / "stdout"), slurp(root / "stderr")};
    }

    // Every entry of the work folder with its content, to prove that a run
    // changed nothing.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> entries;
        for (const auto& entry : fs::directory_iterator(work)) {
            entries[entry.path().filename().string()] =
                entry.is_symlink()     ? "-> " + fs::read_symlink(entry).string()
                : entry.is_directory() ? "<dir>"
                                       : slurp(entry);
        }
        return entries;
    }

    fs::path root;
    fs::path work;

private:
    [[noreturn]] void runChild(std::vector<std::string>& command, Limits limits) const {
        const int out = open((root / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((root / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const rlimit fileSize{limits.fileSize, limits.fileSize};
        const rlimit addressSpace{limits.addressSpace, limits.addressSpace};
        std::vector<char*> argv;
        argv.reserve(command.size() + 1);
        for (std::string& word : command) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        // A write past the size limit must fail with EFBIG, not kill the
        // process, so that the program can report it.
        if (chdir(work.c_str()) == 0 && out >= 0 && err >= 0 && dup2(out, 1) == 1 &&
            dup2(err, 2) == 2 && signal(SIGXFSZ, SIG_IGN) != SIG_ERR &&
            setrlimit(RLIMIT_FSIZE, &fileSize) == 0 && setrlimit(RLIMIT_AS, &addressSpace) == 0) {
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
};

TEST_F(Cli, RefusalsChangeNothingOnDisk) {
    put(work / "cat.jpg", pattern(200));
    put(work / "old.vms", "an earlier result");
    fs::create_directory(work / "adir");
    fs::create_hard_link(work / "cat.jpg", work / "hard.jpg");
    fs::create_symlink("cat.jpg", work / "soft.jpg");
    const std::string name35 = std::string(31, 'n') + ".jpg";
    const std::string name36 = "n" + name35;
    const auto noSource = [](const std::string& path) {
        return banner + "Failed to open source file [" + path + "] for input.\n";
    };
    const auto noDestination = [](const std::string& path) {
        return banner + "Failed to open destinaton file [" + path + "] for output.\n";
    };
    const auto same = [](const std::string& path) {
        return banner + "Source and destination are the same file [" + path + "].\n";
    };
    // clang-format off
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, usage},
        {{"cat.jpg"}, usage},
        {{"cat.jpg", "new.vms", "more"}, usage},
        {{name36, "new.vms"}, "Input file name to long, rename file and try again.\n"},
        {{name35, "new.vms"}, noSource(name35)},
        {{"missing.jpg", "old.vms"}, noSource("missing.jpg")},
        {{"adir", "new.vms"}, noSource("adir")},
        {{"cat.jpg", "nodir/new.vms"}, noDestination("nodir/new.vms")},
        {{"cat.jpg", "adir"}, noDestination("adir")},
        {{"cat.jpg", "cat.jpg"}, same("cat.jpg")},
        {{"cat.jpg", "./cat.jpg"}, same("./cat.jpg")},
        {{"cat.jpg", "hard.jpg"}, same("hard.jpg")},
        {{"cat.jpg", "soft.jpg"}, same("soft.jpg")},
        {{"soft.jpg", "cat.jpg"}, same("cat.jpg")},
    };
    // clang-format on
    if (windowsBuild) {
        std::string drivePath = "Z:" + (work / "cat.jpg").string();
        std::replace(drivePath.begin(), drivePath.end(), '/', '\\');
        for (const std::string& spelling :
             {std::string("CAT.JPG"), std::string(".\\cat.jpg"), drivePath}) {
            cases.push_back({{"cat.jpg", spelling}, same(spelling)});
        }
    }
    const auto before = snapshot();
    for (const auto& [args, err] : cases) {
        const Outcome run = quib(args);
        const std::string label =
            args.empty() ? "(none)" : args.front() + " " + (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(run.status, 1) << label;
        EXPECT_EQ(run.err, platformLines(err)) << label;
        EXPECT_EQ(run.out, "") << label;
        EXPECT_EQ(snapshot(), before) << label;
    }
}

// Every run that gets as far as the output: the message, the status and
// exactly the bytes left on disk. Some rows cut the run short with a real
// file-size limit in each section in turn, a full device, a memory limit.
TEST_F(Cli, WhatEachRunLeavesBehind) {
    const std::string picture = pattern(200);
    const std::string large = pattern(65537);
    put(work / "cat.jpg", picture);
    put(work / "pic.bin", large);
    put(work / "old.vms", std::string(100000, 'x'));
    put(work / "notes.txt", "not a picture\n");
    put(work / "empty.jpg", "");
    const std::pair<const char*, std::uintmax_t> sparse[] = {
        {"big1.jpg", 1ULL << 31}, {"big2.jpg", (1ULL << 32) + 200}, {"big3.jpg", 1ULL << 30}};
    for (const auto& [name, size] : sparse) {
        put(work / name, "");
        fs::resize_file(work / name, size);  // sparse: nothing is stored
    }
    const std::string cat =
        container(std::string("\xC8\0\0\0", 4), "image/jpeg ; cat.jpg", picture);
    const bool posix = !windowsBuild;
    const bool memoryLimitWorks = posix && !QUIB_SANITIZED;  // sanitizers reserve terabytes
    // clang-format off
    const struct {
        bool runs;
        std::string image, vms;
        Limits limits;
        int status;
        std::string err, left;
    } cases[] = {
        {true, "cat.jpg", "cat.vms", {}, 0, success("cat.vms"), cat},
        {true, "pic.bin", "old.vms", {}, 0, success("old.vms"),
         container(std::string("\x01\0\x01\0", 4), "image/jpeg ; pic.bin", large)},
        {true, "notes.txt", "notes.vms", {}, 0, success("notes.vms"),
         container(std::string("\x0E\0\0\0", 4), "image/jpeg ; notes.tx", "not a picture\n")},
        {true, "empty.jpg", "empty.vms", {}, 1, banner + "Failed to read image file data.\n", baseHeader},
        {true, "big1.jpg", "big1.vms", {}, 1, banner + tooLarge, baseHeader},
        {true, "big2.jpg", "big2.vms", {}, 1, banner + tooLarge, baseHeader},
        {memoryLimitWorks, "big3.jpg", "big3.vms", {RLIM_INFINITY, 256ULL << 20}, 1, banner + tooLarge, baseHeader},
        {posix, "cat.jpg", "cat.vms", {300}, 1,
         banner + "Failed to write base header to destination file [cat.vms].\n", cat.substr(0, 300)},
        {posix, "cat.jpg", "cat.vms", {654}, 1,
         banner + "Failed to write size field to destination file.\n", cat.substr(0, 654)},
        {posix, "cat.jpg", "cat.vms", {680}, 1,
         banner + "Failed to write mime header to destination file.\n", cat.substr(0, 680)},
        {posix, "cat.jpg", "cat.vms", {804}, 1,
         banner + "Failed to write image data to destination file.\n", cat.substr(0, 804)},
        {posix, "cat.jpg", "/dev/full", {}, 1,
         banner + "Failed to write base header to destination file [/dev/full].\n", ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        if (!c.runs) {
            continue;
        }
        const std::string label =
            c.image + " " + c.vms + " limit " + std::to_string(c.limits.fileSize);
        const Outcome run = quib({c.image, c.vms}, c.limits);
        EXPECT_EQ(run.status, c.status) << label;
        EXPECT_EQ(run.err, platformLines(c.err)) << label;
        EXPECT_EQ(run.out, "") << label;
        EXPECT_TRUE(c.vms[0] == '/' || slurp(work / c.vms) == c.left) << label << ": wrong bytes";
    }
    EXPECT_EQ(slurp(work / "cat.jpg"), picture);
}

TEST_F(Cli, SameBytesAsTheReferenceBuild) {
    if (reference.empty()) {
        GTEST_SKIP() << "no --reference build named";
    }
    fs::create_directory(work / "sub");
    put(work / "sub" / "pic.jpg", pattern(65537));
    put(work / "tiny.jpg", "x");
    put(work / "empty.jpg", "");
    for (const std::string image : {"sub/pic.jpg", "tiny.jpg", "empty.jpg", "missing.jpg"}) {
        const Outcome mine = quib({image, "out.vms"});
        const std::string written = slurp(work / "out.vms");
        fs::remove(work / "out.vms");
        const Outcome theirs = run({reference, image, "out.vms"});
        EXPECT_EQ(mine.status, theirs.status) << image;
        EXPECT_EQ(mine.err, platformLines(theirs.err)) << image;
        EXPECT_TRUE(written == slurp(work / "out.vms")) << image << ": the files differ";
        fs::remove(work / "out.vms");
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--launcher=", 0) == 0) {
            launcher = arg.substr(11);
        } else if (arg.rfind("--reference=", 0) == 0) {
            reference = fs::absolute(arg.substr(12)).string();
        } else {
            program = fs::absolute(arg).string();
        }
    }
    windowsBuild = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
    return RUN_ALL_TESTS();
}
