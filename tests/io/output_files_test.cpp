// Results written safely: a file replaced only by a complete one, a folder of results only by a run that
// succeeded and only when velmora wrote what it holds; the volumes' folders apart; inputs of regular files only.
#include "io/output_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "app_test.h"
#include "child.h"
#include "io/input_file.h"

namespace {

namespace fs = std::filesystem;
using velmora::ResultFolder;

// Every entry of a folder, hidden ones too, by name.
std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

// write run in a child whose files may not grow past 4 KB, as on a disk
// that fills: it ends with status 1 and the message of WriteFailed on its
// standard error, or 0 when it wrote.
vtest::ChildEnd on_a_full_disk(const std::function<void()>& write) {
    return vtest::in_child(
        [&] {
            try {
                write();
            } catch (const velmora::WriteFailed& e) {
                std::fprintf(stderr, "%s\n", e.what());
                return 1;
            }
            return 0;
        },
        4096);
}

TEST(OutputFiles, AFileIsReplacedOnlyByACompleteOne) {
    vtest::TempDir dir;
    const std::string path = dir.write("table.csv", "the earlier table\n");
    ::chmod(path.c_str(), 0640);
    velmora::write_file(path, [](std::FILE* f) { std::fputs("a,b\n1,2\n", f); });
    EXPECT_EQ(vtest::TempDir::read(path), "a,b\n1,2\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the mode of the file it replaced";
    // A disk that fills: the earlier file stays whole, the message names it and why, no temporary file is left.
    const auto end = on_a_full_disk(
        [&] { velmora::write_file(path, [](std::FILE* f) { std::fputs(std::string(20000, 'x').c_str(), f); }); });
    EXPECT_TRUE(end.exited && end.status == 1) << end.status;
    EXPECT_EQ(end.err, "can not write " + path + ": File too large\n");
    EXPECT_EQ(vtest::TempDir::read(path), "a,b\n1,2\n");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"table.csv"});
    // A failure while filling it leaves the earlier file too.
    EXPECT_EQ(vtest::error_of<std::runtime_error>(
                  [&] { velmora::write_file(path, [](std::FILE*) { throw std::runtime_error("no values"); }); }),
              "no values");
    EXPECT_EQ(vtest::TempDir::read(path), "a,b\n1,2\n");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"table.csv"});
}

// Files staged together (the watcher's products): nothing in place before the commit, a full disk while making
// them leaves every file as it was, a grown file keeps its beginning, and the staging folder goes when empty.
TEST(OutputFiles, StagedFilesGoInPlaceTogetherOrNotAtAll) {
    vtest::TempDir dir;
    const std::string a = dir.write("a.csv", "old a\n"), b = dir.write("b.csv", "head\nold tail\n");
    const velmora::WholeFile how{false, dir.file(".staging")};
    {
        velmora::StagedFiles staged(how);
        staged.add(a, "new a\n");
        staged.add_grown(b, 5, "new tail\n");
        staged.add(dir.file("c.csv"), "c\n");
        EXPECT_EQ(vtest::TempDir::read(a), "old a\n");
        EXPECT_FALSE(fs::exists(dir.file("c.csv")));
        EXPECT_EQ(names_in(dir.file(".staging")).size(), 3u);
        staged.commit();
    }
    EXPECT_EQ(vtest::TempDir::read(a), "new a\n");
    EXPECT_EQ(vtest::TempDir::read(b), "head\nnew tail\n");
    EXPECT_EQ(vtest::TempDir::read(dir.file("c.csv")), "c\n");
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a.csv", "b.csv", "c.csv"}));
    const auto end = on_a_full_disk([&] {
        velmora::StagedFiles staged(how);
        staged.add(a, "newer a\n");
        staged.add(b, std::string(20000, 'x'));
        staged.commit();
    });
    EXPECT_TRUE(end.exited && end.status == 1) << end.status;
    EXPECT_EQ(end.err, "can not write " + b + ": File too large\n");
    EXPECT_EQ(vtest::TempDir::read(a), "new a\n");
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a.csv", "b.csv", "c.csv"}));
    // A killed writer's temporary files are left-overs, and only they go.
    fs::create_directories(how.staging);
    velmora::AtomicFile left(a, how);
    EXPECT_EQ(fs::path(left.temp()).parent_path(), fs::path(how.staging));
    dir.write(".staging/.a.csv.velmora-notours", "");
    velmora::remove_left_overs(dir.file(".staging"));
    EXPECT_EQ(names_in(dir.file(".staging")), std::vector<std::string>{".a.csv.velmora-notours"});
}

TEST(OutputFiles, AnOutputThatIsAFolderAnInputOrNowhereIsRefused) {
    vtest::TempDir dir;
    const std::string in = dir.write("in.h5", "volume"), folder = dir.file("folder"), fifo = dir.file("fifo");
    fs::create_directories(folder);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(in, dir.file("link.h5"));
    fs::create_hard_link(in, dir.file("hard.h5"));
    const std::vector<std::string> inputs{dir.file("other.h5"), in};
    const auto problem = [&](const std::string& out) { return velmora::output_file_problem(out, inputs).value_or(""); };
    EXPECT_EQ(problem(dir.file("grid.nc")), "");
    EXPECT_EQ(problem(folder), folder + " is a folder, not a file");
    EXPECT_EQ(problem(fifo), fifo + " is not a regular file");
    for (const char* same : {"in.h5", "link.h5", "hard.h5"})
        EXPECT_EQ(problem(dir.file(same)), dir.file(same) + " is the input " + in + ": velmora does not write over what "
                                                                              "it reads") << same;
    EXPECT_EQ(problem(dir.file("nowhere/grid.nc")),
              "can not write " + dir.file("nowhere/grid.nc") + ": the folder " + dir.file("nowhere") + " does not exist");
    EXPECT_EQ(vtest::error_of<velmora::OutputRefused>([&] { velmora::AtomicFile f(folder); }),
              folder + " is a folder, not a file");
    // An input is a regular file, said without opening it (a FIFO would be waited on for ever).
    EXPECT_EQ(velmora::input_file_problem(fifo), "not a regular file (a FIFO)");
    EXPECT_EQ(velmora::input_file_problem(folder), "a folder, not a regular file");
    EXPECT_EQ(velmora::input_file_problem(dir.file("absent.nc")), "no such file");
    EXPECT_EQ(velmora::input_file_problem(dir.file("link.h5")), "");
}

TEST(ResultFolders, ARunReplacesOnlyItsOwnResultsAndOnlyWhenItSucceeded) {
    vtest::TempDir dir;
    const fs::path out = dir.path() / "r";
    {
        ResultFolder first(out.string());
        EXPECT_FALSE(fs::exists(out)) << "nothing is there before the commit";
        write(first.path("cells.csv"), "first\n");
        write(first.path("volumes/v/cells.csv"), "first v\n");
        first.commit();
    }
    EXPECT_EQ(names_in(out), (std::vector<std::string>{".velmora-results", "cells.csv", "volumes"}));
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"r"}) << "no work folder left beside";
    {
        // A run that does not commit (it failed) leaves the earlier results as they were.
        ResultFolder failed(out.string());
        write(failed.path("cells.csv"), "failed\n");
    }
    EXPECT_EQ(vtest::TempDir::read((out / "cells.csv").string()), "first\n");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"r"});
    {
        ResultFolder second(out.string());
        write(second.path("cells.csv"), "second\n");
        second.commit();
    }
    EXPECT_EQ(vtest::TempDir::read((out / "cells.csv").string()), "second\n");
    EXPECT_FALSE(fs::exists(out / "volumes")) << "nothing of the earlier run stands beside the new";
    // A file velmora did not write, even deep inside, makes the folder not velmora's to replace.
    write(out / "notes" / "mine.txt", "my notes\n");
    EXPECT_EQ(vtest::error_of<velmora::OutputRefused>([&] { ResultFolder third(out.string()); }),
              out.string() + " holds notes, which velmora did not write: velmora replaces only a folder of its own "
                             "results (move notes away, or choose another folder)");
    EXPECT_EQ(vtest::TempDir::read((out / "notes" / "mine.txt").string()), "my notes\n");
    const std::string file = dir.write("file.txt", "x");
    EXPECT_EQ(vtest::error_of<velmora::OutputRefused>([&] { ResultFolder f(file); }), file + " is not a folder");
    const vtest::InDirectory here(out.string());
    EXPECT_EQ(vtest::error_of<velmora::OutputRefused>([&] { ResultFolder f("."); }),
              ". is the current folder, which the results would replace as a whole: choose another folder");
}

TEST(ResultFolders, InputsInsideAreReadBeforeAndKeptAfter) {
    vtest::TempDir dir;
    const fs::path out = dir.path() / "r";
    // A folder of the user's that holds only the run's input may take the results: the input stays among them.
    write(out / "in.nc", "volume");
    const std::vector<std::string> inputs{(out / "in.nc").string()};
    {
        ResultFolder run(out.string(), inputs);
        write(run.path("cells.csv"), "cells\n");
        run.commit();
    }
    EXPECT_EQ(names_in(out), (std::vector<std::string>{".velmora-results", "cells.csv", "in.nc"}));
    EXPECT_EQ(vtest::TempDir::read((out / "in.nc").string()), "volume");
    // It is not counted as velmora's: a run of another input does not replace it.
    EXPECT_NE(vtest::error_of<velmora::OutputRefused>([&] { ResultFolder f(out.string()); }).find("holds in.nc, "),
              std::string::npos);
    // A result of the same name takes its place.
    {
        ResultFolder run(out.string(), inputs);
        write(run.path("in.nc"), "result");
        run.commit();
    }
    EXPECT_EQ(vtest::TempDir::read((out / "in.nc").string()), "result");
}

TEST(ResultFolders, WhatAppearsMeanwhileKeepsTheNewResultsApartAndLeftoversGo) {
    vtest::TempDir dir;
    const fs::path out = dir.path() / "r";
    ResultFolder run(out.string());
    write(run.path("cells.csv"), "new\n");
    // A nested run that died left its work folder: it does not go with the results.
    write(run.path("volumes/.v.velmora-0123456789abcdef/cells.csv"), "half\n");
    write(out / "mine.txt", "mine\n");
    EXPECT_EQ(vtest::error_of<velmora::WriteFailed>([&] { run.commit(); }),
              out.string() + " holds mine.txt, which velmora did not write: velmora replaces only a folder of its own "
                             "results (move mine.txt away, or choose another folder); the new results are in " +
                  run.work());
    EXPECT_EQ(vtest::TempDir::read(run.path("cells.csv")), "new\n");
    fs::remove(out / "mine.txt");
    fs::remove(out);
    ResultFolder again(out.string());
    write(again.path("cells.csv"), "new\n");
    write(again.path("volumes/.v.velmora-0123456789abcdef/cells.csv"), "half\n");
    again.commit();
    EXPECT_EQ(names_in(out / "volumes"), std::vector<std::string>{});
    fs::remove_all(run.work());
}

TEST(ResultFolders, EveryVolumeHasAFolderOfItsOwn) {
    const auto names = [](std::vector<std::string> paths, std::set<std::string> reserved = {}) {
        return velmora::volume_folder_names(paths, reserved);
    };
    EXPECT_EQ(names({"a/v.nc", "b/v.nc", "c/v-2.nc"}), (std::vector<std::string>{"v", "v-3", "v-2"}));
    EXPECT_EQ(names({"a/v.nc", "b/v.nc", "v.h5"}), (std::vector<std::string>{"v", "v-2", "v-3"}));
    EXPECT_EQ(names({"cells.csv.nc", "x/cells.csv.h5"}, {"cells.csv", "failures.csv"}),
              (std::vector<std::string>{"cells.csv-2", "cells.csv-3"}));
    EXPECT_EQ(names({".nc", "a/.velmora-results.nc", "dir/"}),
              (std::vector<std::string>{"volume.nc", "volume.velmora-results", "dir"}));
}

}  // namespace
