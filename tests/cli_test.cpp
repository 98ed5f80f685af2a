// End-to-end: each table is the runs of the real program and what each must end with (see
// cli_harness.hpp for what a row says, cli_harness.cpp for how it runs). No case aims the program
// outside its own folder: as root, a faulty build would replace /dev/null for everyone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

#include <algorithm>
#include <csignal>

#include "cli_harness.hpp"

namespace cli {
namespace {

TEST_F(Cli, RefusalsChangeNothing) {
    const std::string name35 = std::string(31, 'n') + ".jpg";
    const std::string wide35 = "写真" + std::string(25, 'n') + ".jpg";  // 35 bytes of UTF-8
    const std::string toLong = "Input file name to long, rename file and try again.\n";
    // clang-format off
    std::vector<Case> cases = {
        run({"cat.jpg"}).fails(usage),
        run({"cat.jpg", "new.vms", "more"}).fails(usage),
        run("n" + name35, "new.vms").fails(toLong),
        run(name35, "new.vms").fails(noSource(name35)),
        run("n" + wide35, "new.vms").fails(toLong),
        run(wide35, "new.vms").fails(noSource(wide35)),
        run("adir", "new.vms").fails(noSource("adir")),
        run("cat.jpg", "nodir/new.vms").refused(),
        run("cat.jpg", "adir").refused(),
        run("cat.jpg", "").refused(),
        run("cat.jpg", "new.vms/").refused(),
        run("cat.jpg", "fds/60").refused().when(posix),
        run("cat.jpg", "open/readonly.vms").refused().with(nobody),
        run("cat.jpg", "hard.jpg").sameFile(),
        run("cat.jpg", "soft.jpg").sameFile(),
        run("soft.jpg", "cat.jpg").sameFile(),
        run("cat.jpg", "adir/../cat.jpg").sameFile(),
        run("写真.jpg", "写真2.jpg").sameFile(),
        run("cat.jpg", "fd0.vms").sameFile().with(redirected(0, "cat.jpg")).when(posix),
        // Refused as a plain open refuses them, before anything is written:
        // a loop of links, an append-only file, a descriptor that was closed
        // at the start, a descriptor link where /proc is not mounted.
        run("cat.jpg", "loop.vms").refused().when(posix),
        run("cat.jpg", "chain/l41").refused().when(posix),
        run("cat.jpg", "sealed.vms").refused().when(asRoot),
        run("cat.jpg", "sticky/other.vms").refused().with(nobody).when(asRoot && sysctlOn("protected_regular")),
        run("cat.jpg", "fd1.vms").refused().with(&Options::closed, std::vector{1}).when(posix),
        run("cat.jpg", "fd1.vms").refused().with(&Options::noProc, true).when(withoutProc),
    };
    if (windowsBuild) {
        std::string drivePath = "Z:" + (root / "work" / "cat.jpg").string();
        std::replace(drivePath.begin(), drivePath.end(), '/', '\\');
        const Options wide = with(&Options::wide, true);
        const bool spawns = !spawner.empty();
        cases.insert(cases.end(), {
            run("cat.jpg", "CAT.JPG").sameFile(),
            run("cat.jpg", ".\\cat.jpg").sameFile(),
            run("cat.jpg", drivePath).sameFile(),
            // Too long for Windows to look up: that it is not the input cannot
            // be known, so it is not written at all.
            run("cat.jpg", repeat(".\\", 130) + "cat.jpg").refused(),
            // A read-only file by its short name and through a linked folder.
            run("cat.jpg", "long folder name\\A_LO~SLL.VMS").refused(),
            run("cat.jpg", "lnk\\a long existing name.vms").refused(),
            // Names that UTF-8 cannot hold (an unpaired surrogate) arrive as
            // another file's name: that file is neither read nor replaced; each
            // argument is told by its place, though both arrive as one text.
            run("%D800.jpg", "new.vms").fails(noSource("\uFFFD.jpg")).with(wide).when(spawns),
            run("cat.jpg", "%DC00.jpg").fails(noDestination("\uFFFD.jpg")).with(wide).when(spawns),
            run("\uFFFD.jpg", "%D800.jpg").fails(noDestination("\uFFFD.jpg")).with(wide).when(spawns),
            // Held open by another program that shares only reading: a plain open
            // for writing fails, and so does the run, leaving nothing beside it.
            run("cat.jpg", "e.vms").refused().with(&Options::hold, "r:e.vms").when(spawns),
            // Root's file, in nobody's own folder: nobody may not write it.
            run("cat.jpg", "mine/root.vms").refused().with(nobody).when(!nobodyPrefix.empty()),
        });
    }
    // clang-format on
    checkAll(cases);
}

// Every run that gets as far as the output, cut short at each step in turn by real faults: an
// earlier file must survive each one, whether it was to be replaced or written in place.
TEST_F(Cli, FailuresLeaveTheFolderAsItWas) {
    const std::string noData = failed("Failed to write image data to destination file.");
    const std::string noSize = failed("Failed to write size field to destination file.");
    const std::string noMime = failed("Failed to write mime header to destination file.");
    // The shim works on the dynamically linked build that ctest names; a
    // static one (the release build, named on the command line) ignores it.
    const bool shim = posix && program == QUIB_EXE;
    const bool memoryLimit = posix && !QUIB_SANITIZED;  // sanitizers reserve terabytes
    const auto limited = [](rlim_t size) { return with(&Options::fileSize, size); };
    // clang-format off
    std::vector<Case> cases = {
        run("empty.jpg", "old.vms").fails(noRead),
        run("big.jpg", "old.vms").fails(tooLarge),
        // (qemu-user reserves a 32-bit guest's whole address space at start.)
        run("huge.jpg", "old.vms").fails(tooLarge).with(&Options::addressSpace, 256U << 20U)
            .when(memoryLimit && !(thirtyTwoBit() && skippedUnderEmulation("huge.jpg old.vms, an address-space limit"))),
        // Where both would fail, a new file still reports its header first.
        run("empty.jpg", "old.vms").fails(noHeader("old.vms")).with(limited(600)).when(posix).extras(inPlace, "a file-size limit of 600"),
        run("cat.jpg", "old.vms").fails(noSize).with(limited(654)).when(posix).extras(inPlace, "a file-size limit of 654"),
        run("cat.jpg", "old.vms").fails(noMime).with(limited(680)).when(posix).extras(inPlace, "a file-size limit of 680"),
        run("cat.jpg", "old.vms").fails(noData).with(limited(804)).when(posix).extras(inPlace, "a file-size limit of 804"),
        run("cat.jpg", "full").fails(noHeader("full")).when(asRoot),
        run("cat.jpg", "old.vms").fails(noClose("old.vms")).with(preloaded("QUIB_FAIL_CLOSE=old.vms")).when(shim).extras(inPlace, "a failed close"),
        run("cat.jpg", "old.vms").fails(noClose("old.vms")).with(preloaded("QUIB_FAIL_RENAME=old.vms")).when(shim).extras(inPlace, "a failed rename"),
        // A signal as the final close and rename begin waits for them: the
        // new file is in place, and nothing is left beside it.
        run("cat.jpg", "old.vms").dies(SIGTERM).writes(catVms).with(&Options::stop, closingHidden("old.vms", sending(SIGTERM)))
            .when(posix).extras(inPlace, "a signal in the final rename"),
        // A file written in place is cut short by a failed write, as with
        // any program that writes in place; the failure is still reported.
        run("cat.jpg", "append/old.vms").fails(noHeader("append/old.vms")).writes(baseHeader.substr(0, 600)).with(limited(600)).when(asRoot),
        // A file written in place is not touched until the input is whole.
        run("empty.jpg", "ro/out.vms").fails(noRead).with(nobody),
        run("big.jpg", "ro/out.vms").fails(tooLarge).with(nobody),
        run("empty.jpg", "append/old.vms").fails(noRead).when(appendOnly),
        run("empty.jpg", "append/new.vms").fails(noRead).when(appendOnly).extras(unseenAppend),
        run("empty.jpg", "bound.vms").fails(noRead).when(asRoot),
        // A file that cannot be renamed over is overwritten only once the
        // room for the new bytes is held: too little keeps it whole.
        run("mid.jpg", "small/old.vms").fails(noClose("small/old.vms")).when(asRoot).extras(inPlace, "a disk too full to copy"),
    };
    // clang-format on
    // Every signal that ends the program removes the hidden file first; each arrives as the program
    // stands at its write of the image data. (qemu-user adds a line of its own to stderr when its
    // program dies of SIGQUIT, as of any signal that dumps core.)
    const bool signals = posix && withExtras(inPlace, "long.jpg old.vms, ten signals mid-write");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                             SIGPROF, SIGXCPU}) {
        Case row = run("long.jpg", "old.vms").dies(signal).with(atDataWrite(sending(signal)));
        cases.push_back(signal == SIGQUIT ? row.when(signals).unlessEmulated("SIGQUIT")
                                          : row.when(signals));
    }
    // An unnamed new file goes with the process, even killed outright; a named one is removed by
    // the handlers (the shim takes unnamed files away, as a file system without them does).
    const bool unnamed = signals && unnamedFiles();
    const Options killing = atDataWrite(sending(SIGKILL));
    // Ctrl+C (under Wine a SIGINT) during the read and the write ends the run as Windows ends it
    // (the low byte of STATUS_CONTROL_C_EXIT), the folder as it was; as nobody too, in root's open
    // folder, over nobody's file (of the usual mode: a narrower one is written in place) and beside
    // it. Not under qemu: too little address space for the 1 GiB buffer, and Wine's loader crashes
    // there on SIGINT.
    const Options ctrlC = with(&Options::signal, SIGINT);
    const bool asNobody = windowsBuild && !nobodyPrefix.empty();
    // What the name leads to is looked at again just before the file is put
    // in place: a twin in another case that the name would now lead to, or
    // another file moved to the name, fails the run, and neither is lost.
    const auto twinMade = [](const fs::path& work) {
        put(work / "E.vms", "a twin made meanwhile");
    };
    const auto movedThere = [](const fs::path& work) {
        put(work / "other", "moved there meanwhile");
        fs::rename(work / "other", work / "e.vms");
    };
    // clang-format off
    cases.insert(cases.end(), {
        run("long.jpg", "old.vms").dies(SIGKILL).with(killing).when(unnamed),
        run("long.jpg", "new.vms").dies(SIGKILL).with(killing).when(unnamed),
        run("long.jpg", "old.vms").dies(SIGTERM).with(atDataWrite(sending(SIGTERM), preloaded("QUIB_NO_TMPFILE=1"))).when(shim && signals),
        run("huge.jpg", "e.vms").says(banner, 0x3A).with(ctrlC).when(windowsBuild).unlessEmulated("Ctrl+C"),
        run("huge.jpg", "e.vms").says(banner, 0x3A).with(ctrlC.with(&Options::signalAt, 1)).when(windowsBuild).unlessEmulated("Ctrl+C"),
        run("huge.jpg", "open/yours.vms").says(banner, 0x3A).with(ctrlC.with(&Options::asNobody, true)).when(asNobody).unlessEmulated("Ctrl+C"),
        run("huge.jpg", "open/new.vms").says(banner, 0x3A).with(ctrlC.with(&Options::asNobody, true)).when(asNobody).unlessEmulated("Ctrl+C"),
        run("long.jpg", "e.vms").fails(noClose("e.vms")).with(&Options::whileStopped, twinMade).when(windowsBuild),
        run("long.jpg", "e.vms").fails(noClose("e.vms")).with(&Options::whileStopped, movedThere).when(windowsBuild),
        // Killed outright, the program cleans nothing up: the hidden file is
        // marked for deletion from its start, and goes with the program.
        run("huge.jpg", "e.vms").dies(SIGKILL).with(&Options::signal, SIGKILL).when(windowsBuild).unlessEmulated("killed"),
        run("empty.jpg", repeat(".\\", 130) + "old.vms").refused().when(windowsBuild),
        run("cat.jpg", "LPT1").refused().when(windowsBuild),
        run("cat.jpg", "lpt1.vms").refused().when(windowsBuild),
        run("cat.jpg", "PRN").refused().when(windowsBuild),
        run("cat.jpg", "COM9").refused().when(windowsBuild),
    });
    checkAll(cases);
    // A FIFO is written in place. Its reader quitting early must fail the
    // write, not kill the program; with stdin and stderr closed at the
    // start, no message may land in the output that took a descriptor.
    checkAll({
        run("large.jpg", "pipe.vms").fails(noData).writes(largeVms.substr(0, 704)).with(&Options::fifoRead, 704).when(posix),
        run("empty.jpg", "pipe.vms").fails("").writes(baseHeader)
            .with(with(&Options::fifoRead, SIZE_MAX).with(&Options::closed, std::vector{0, 2})).when(posix),
    });
    // clang-format on
}

TEST_F(Cli, SuccessesChangeOnlyTheOutput) {
    const auto cat = [](const std::string& mime) {
        return container(std::string("\xC8\0\0\0", 4), "image/jpeg ; " + mime, pattern(200));
    };
    const std::string longest = std::string(251, 'n') + ".vms";  // as long as a name may be
    const std::string oneVms =
        container(std::string("\x01\0\0\0", 4), "image/jpeg ; one.jpg", pattern(1));
    const bool shim = posix && program == QUIB_EXE;
    // (A write in place clears them, as any write by their owner does.)
    const bool suid = asRoot && withExtras(inPlace, "setuid and setgid files of nobody's");
    const Options ignoring = with(&Options::ignored, std::vector{SIGINT});
    const Options vanishing = with(&Options::stop, opening("out.vms", [this](const Call&) {
        fs::remove(root / "work" / "sticky" / "out.vms");
    }));
    int openFlags = -1;
    const Options recordingOpen =
        with(&Options::stop, opening("old.vms", [&openFlags](const Call& call) {
            openFlags = static_cast<int>(call.args[2]);
        }));
    // clang-format off
    std::vector<Case> cases = {
        run("cat.jpg", "new.vms").gives(catVms),
        run("one.jpg", "new.vms").gives(oneVms),
        run("pic.jpg", "old.vms").gives(picVms),
        run("large.jpg", "new.vms").gives(largeVms),
        // A link is written through: what it leads to is replaced or created.
        run("cat.jpg", "link.vms").into("old.vms").gives(catVms),
        run("cat.jpg", "adir/up.vms").into("old.vms").gives(catVms),
        run("cat.jpg", "dangling.vms").into("nowhere.vms").gives(catVms).when(posix),
        // nobody's link in a sticky folder, removed as the program opens it:
        // the open creates the typed name then, never the link's target.
        run("cat.jpg", "sticky/out.vms").gives(catVms).with(vanishing).when(asRoot),
        // Opened as fopen(vms, "wb") opens it, emptying nothing.
        run("cat.jpg", "old.vms").gives(catVms).with(recordingOpen).when(posix),
        run("cat.jpg", "chain/l40").into("old.vms").gives(catVms).when(posix),
        // Flags an owner may set, and setuid and setgid bits that a write by
        // their owner clears, are kept.
        run("cat.jpg", "flagged.vms").gives(catVms).when(asRoot),
        run("cat.jpg", "open/s4755.vms").gives(catVms).with(nobody).when(suid),
        run("cat.jpg", "open/s2755.vms").gives(catVms).with(nobody).when(suid),
        run("cat.jpg", "open/s6755.vms").gives(catVms).with(nobody).when(suid),
        run("cat.jpg", "small/old.vms").gives(catVms).when(asRoot),
        // Its ACL and attributes read where /proc is not mounted; a file the user cannot give back
        // to its owner, or whose rename is refused, written in place.
        run("cat.jpg", "old.vms").gives(catVms).with(&Options::noProc, true).when(withoutProc),
        run("cat.jpg", "open/shared.vms").gives(catVms).with(nobody).when(asRoot),
        run("cat.jpg", "old.vms").gives(catVms).with(preloaded("QUIB_REFUSE_RENAME=old.vms")).when(shim),
        // A value that grows while it is read is read again, never copied
        // from a buffer it did not fill.
        run("cat.jpg", "old.vms").gives(catVms).with(preloaded("QUIB_GROW_XATTR=user.note")).when(shim && asRoot),
        // A signal ignored by whoever started the program (nohup) stays
        // ignored: SIGINT mid-write is no interruption, named file or not.
        run("large.jpg", "old.vms").gives(largeVms).with(atDataWrite(sending(SIGINT), ignoring)).when(posix),
        run("large.jpg", "old.vms").gives(largeVms).when(shim)
            .with(atDataWrite(sending(SIGINT), preloaded("QUIB_NO_TMPFILE=1").with(&Options::ignored, std::vector{SIGINT}))),
        run("cat.jpg", longest).gives(catVms).when(posix),
        run("cat.jpg", longest.substr(7)).gives(catVms).when(posix),
        run("写真.jpg", "写真.vms").gives(cat("写真.j")),
        run("café.jpg", "café.vms").gives(cat("café.jp")),
        // stderr's own file is replaced like any other, and comes out clean.
        run("cat.jpg", "e.vms").gives(catVms).says("").with(redirected(2, "e.vms")).when(posix).extras(inPlace, "with stderr on e.vms"),
        // Written in place: devices, descriptors, files that cannot be renamed over.
        run("cat.jpg", "null").gives("").when(asRoot),
        run("cat.jpg", "NUL").gives("").when(windowsBuild),
        run("cat.jpg", "fd1.vms").into("stdout.vms").gives(catVms).with(redirected(1, "stdout.vms")).when(posix),
        run("cat.jpg", "fd0.vms").into("stdin.vms").gives(catVms).with(redirected(0, "stdin.vms")).when(posix),
        run("cat.jpg", "fds/3").into("three.vms").gives(catVms).with(redirected(3, "three.vms")).when(posix),
        run("cat.jpg", "ro/out.vms").gives(catVms).with(nobody),
        run("cat.jpg", "sticky/theirs.vms").gives(catVms).with(nobody).when(posix),
        run("cat.jpg", "bound.vms").gives(catVms).when(asRoot),
        run("cat.jpg", "append/old.vms").gives(catVms).when(appendOnly),
        run("cat.jpg", "append/new.vms").gives(catVms).when(appendOnly).extras(unseenAppend),
        run("cat.jpg", "acl/new.vms").gives(catVms).when(asRoot),
        // Nor does a file that had none get the folder's default ACL.
        run("cat.jpg", "acl/plain.vms").gives(catVms).when(asRoot),
        // A replaced file keeps its attributes, by any spelling (a short
        // folder part); a new one is not left hidden.
        run("cat.jpg", "hidden.vms").gives(catVms).when(windowsBuild),
        run("cat.jpg", "LONG~ZAT\\system.vms").into("long folder name/system.vms").gives(catVms).when(windowsBuild),
    };
    if (windowsBuild) {
        std::string folder = "Z:" + (root / "work").string() + "\\";
        std::replace(folder.begin(), folder.end(), '/', '\\');
        const std::string name255 = repeat("n", 255 - folder.size() - 4) + ".vms";
        const std::string name259 = repeat("n", 259 - folder.size() - 4) + ".vms";
        const std::string y = driveForWork();
        const std::string replaced244 = repeat("n", 244) + ".vms";
        cases.insert(cases.end(), {
            // The hidden sibling's name is cut to fit beside the longest paths.
            run("cat.jpg", folder + name255).into(name255).gives(catVms),
            run("cat.jpg", folder + name259).into(name259).gives(catVms),
            // A name that leads to the file itself keeps the file's own name. A file that another
            // entry answers to as well (a twin in another case, a folder, a file named as another's
            // short name, a link) is written in place, the other left alone. So is a file held open
            // by another program that shares writing but not deletion.
            run("cat.jpg", "LONG~0FK.VMS").into("long output name.vms").gives(catVms),
            run("cat.jpg", "REPORT.VMS").into("Report.vms").gives(catVms),
            run("cat.jpg", "A.vms").into("A.vms").gives(catVms),
            run("cat.jpg", "a.vms").into("a.vms").gives(catVms),
            run("cat.jpg", "b.vms").into("b.vms").gives(catVms),
            run("cat.jpg", "T.vms").into("t.vms").gives(catVms),
            run("cat.jpg", "alias\\LONG~0FK.VMS").into("alias/LONG~0FK.VMS").gives(catVms),
            run("cat.jpg", "e.vms").gives(catVms).with(&Options::hold, "rw:e.vms").when(!spawner.empty()),
            // A name of 248 to 255 characters, new or replaced, in a path short
            // enough (a drive for the folder): the hidden name is cut to 255 too.
            run("cat.jpg", y + longest).into(longest).gives(catVms).when(!y.empty()),
            run("cat.jpg", y + replaced244).into(replaced244).gives(catVms).when(!y.empty()),
        });
    }
    // clang-format on
    checkAll(cases);
    EXPECT_TRUE(!posix || (openFlags & (O_ACCMODE | O_CREAT | O_TRUNC)) == (O_WRONLY | O_CREAT))
        << "<vms> opened with flags " << openFlags;
}

// A run stopped mid-way while its hidden name is taken over by another run, or its folder is moved
// away: it works on the folder it opened, and renames or removes only the file it wrote. An unnamed
// file has its name only at the commit: the name is taken just before it is linked there, and
// another is chosen.
TEST_F(Cli, StoppedRunsKeepToTheirOwnFile) {
    if (!posix) {
        GTEST_SKIP() << "stopping a program needs POSIX signals";
    }
    const bool unnamed = unnamedFiles();
    for (const bool moveFolder : {false, true}) {
        if (!moveFolder && !withExtras(inPlace, "a run whose hidden file another run takes")) {
            continue;
        }
        populate();
        const auto before = snapshot();
        std::string hiddenName;
        const auto meanwhile = [&](const Call& call) {
            if (moveFolder) {
                fs::rename(root / "work" / "sub", root / "work" / "moved");
                return;
            }
            const fs::path hidden =
                unnamed ? fs::path(stringAt(call.pid, call.args[3])) : hiddenIn(root / "work", 0);
            ASSERT_FALSE(hidden.empty());
            hiddenName = "sub/" + hidden.filename().string();
            EXPECT_EQ(quib({"cat.jpg", hiddenName}).status, 0);
        };
        const Stop linking{"the link of the unnamed file",
                           [](const Call& call) { return call.number == SYS_linkat; }, meanwhile};
        const Outcome run =
            quib({"long.jpg", "sub/out.vms"},
                 with(&Options::stop,
                      unnamed && !moveFolder ? linking : writeOfAtLeast(1U << 20U, meanwhile)));
        auto after = snapshot();
        const std::string out = moveFolder ? "moved/out.vms" : "sub/out.vms";
        if (moveFolder || unnamed) {
            EXPECT_EQ(run.err, success("sub/out.vms"));
            EXPECT_EQ(after[out], std::to_string((256U << 20U) + 704) + " sparse bytes");
            after.erase(out);
        }
        if (moveFolder) {
            EXPECT_EQ(after.erase("moved"), 1U);
            after["sub"] = before.at("sub");
        } else {
            EXPECT_TRUE(unnamed || run.err == noClose("sub/out.vms"));
            EXPECT_EQ(after[hiddenName],
                      plainCreate(root / "work" / "sub") + " " + contents(catVms));
            after.erase(hiddenName);
        }
        EXPECT_EQ(after, before) << (moveFolder ? "folder moved" : "name taken");
    }
}

// What happens to <vms> and its folder while the program writes is seen at the commit: a chmod and
// an ACL removed meanwhile are kept; a folder made append-only keeps the hidden file, and the run
// says so; a named hidden file is what SIGKILL alone leaves. Each row's folder afterwards is the
// one before, with the target's new entry and any hidden file it expects.
TEST_F(Cli, ChangesMidRunAreSeenAtTheCommit) {
    if (!posix) {
        GTEST_SKIP() << "stopping a program needs ptrace";
    }
    const fs::path work = root / "work";
    const bool replaces = asRoot && withExtras(inPlace, "a chmod, an ACL, append-only, mid-run");
    std::map<std::string, std::string> expected;
    const auto stamped = [&](const std::string& name) {
        expected[name] = stamp(work / name) + " " + contents(largeVms);
    };
    const auto chmodded = [&](const Call&) {
        fs::permissions(work / "old.vms", fs::perms(0600));
        removexattr((work / "old.vms").c_str(), "system.posix_acl_access");
        removexattr((work / "old.vms").c_str(), "user.note");
        stamped("old.vms");
    };
    const auto sealed = [&](const Call&) {
        ASSERT_TRUE(setFlags(work / "sub", FS_APPEND_FL, true));
        stamped("sub/old.vms");
    };
    const Options killedNamed = atDataWrite(sending(SIGKILL), preloaded("QUIB_NO_TMPFILE=1"));
    // clang-format off
    const std::vector<Case> rows = {
        run("large.jpg", "old.vms").gives("").with(atDataWrite(chmodded)).when(replaces),
        run("large.jpg", "sub/old.vms").fails(noClose("sub/old.vms")).with(atDataWrite(sealed)).leavesHidden().when(replaces),
        // Where the file is named from the start (a build without unnamed
        // files, or the shim's), SIGKILL leaves it; so it was before.
        run("large.jpg", "new.vms").dies(SIGKILL).with(killedNamed).leavesHidden().when(program == QUIB_EXE || !unnamedFiles()),
    };
    // clang-format on
    for (const Case& c : rows) {
        if (!c.runs) {
            continue;
        }
        populate();
        put(work / "sub" / "old.vms", "an earlier result", fs::perms(0644));
        expected = snapshot();
        const Outcome run = quib(c.args, c.options);
        EXPECT_EQ(run.status, c.status) << c.vms();
        EXPECT_EQ(run.err, c.err) << c.vms();
        auto after = snapshot();
        const fs::path target(c.vms());
        const std::string hidden = "." + target.filename().string() + ".";
        std::size_t left = 0;
        for (auto entry = after.begin(); entry != after.end();) {
            const fs::path name(entry->first);
            const bool isHidden = name.parent_path() == target.parent_path() &&
                                  name.filename().string().rfind(hidden, 0) == 0;
            left += isHidden ? 1 : 0;
            entry = isHidden ? after.erase(entry) : std::next(entry);
        }
        EXPECT_EQ(left, c.hiddenLeft ? 1U : 0U) << c.vms() << ": hidden files left";
        setFlags(work / "sub", FS_APPEND_FL, false);
        EXPECT_EQ(after, expected) << c.vms();
    }
}

// One replacement of an existing 100 KiB file makes few system calls: counted on a static native
// build (a dynamic one adds its loader's, an emulator its own), where the new file is unnamed.
TEST_F(Cli, AReplacementMakesFewSystemCalls) {
    if (!posix || !launcher.empty() || QUIB_SANITIZED || !staticProgram() || !unnamedFiles()) {
        GTEST_SKIP() << "counted on a static native build, with unnamed files";
    }
    populate();
    put(root / "work" / "hundred.jpg", pattern(100U << 10U));
    put(root / "work" / "hundred.vms", pattern(100U << 10U), fs::perms(0644));
    const Outcome run = quib({"hundred.jpg", "hundred.vms"}, with(&Options::countCalls, true));
    EXPECT_EQ(run.status, 0);
    EXPECT_LE(run.calls, 80);
    std::cout << "system calls of one replacement: " << run.calls << "\n";
}

// Two runs on one <vms> at once: each renames a whole file of its own, so
// the last one wins whole, and neither leaves anything else behind.
TEST_F(Cli, ConcurrentRunsLeaveOneWholeFile) {
    if (!posix) {
        GTEST_SKIP() << "50 rounds of two Wine starts take minutes";
    }
    if (!withExtras(inPlace, "two runs on one <vms>")) {
        GTEST_SKIP() << "two runs that write one file in place mix their bytes";
    }
    populate();
    const auto before = snapshot();
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> first = commandFor({"cat.jpg", "out.vms"});
        std::vector<std::string> second = commandFor({"pic.jpg", "out.vms"});
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
}  // namespace cli
