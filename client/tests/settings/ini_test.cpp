#include "settings/ini.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using Entries = std::vector<std::string>;

const std::string kFile = "; settings\n"
                          "[TARVOTCPC]\n"
                          "hostsave=1\n"
                          "\n"
                          "[hosts]\n"
                          "  host0=alpha:80  \n"
                          "; a comment\n"
                          "\n"
                          "host1=beta:25\n"
                          "\n"
                          "\n"
                          "[TEMPLATES]\n"
                          "greet=hello%0d%0a\n";

// --- Reading ----------------------------------------------------------------------------------

TEST(IniRead, EntriesAreTrimmedNonBlankNonCommentLines) {
    EXPECT_EQ(IniSectionEntries(kFile, "HOSTS"), (Entries{"host0=alpha:80", "host1=beta:25"}));
    EXPECT_EQ(IniSectionEntries(kFile, "tarvotcpc"), (Entries{"hostsave=1"}));
    EXPECT_EQ(IniSectionEntries(kFile, "TEMPLATES"), (Entries{"greet=hello%0d%0a"}));
    EXPECT_EQ(IniSectionEntries(kFile, "MISSING"), Entries{});
    EXPECT_EQ(IniSectionEntries("", "HOSTS"), Entries{});
}

TEST(IniRead, CrlfFilesReadTheSame) {
    std::string crlf;
    for (char c : kFile)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(IniSectionEntries(crlf, "HOSTS"), (Entries{"host0=alpha:80", "host1=beta:25"}));
    EXPECT_EQ(IniSectionEntries(crlf, "TEMPLATES"), (Entries{"greet=hello%0d%0a"}));
}

TEST(IniRead, OddFilesStillRead) {
    // A byte-order mark, headers with blanks and without "]", binary bytes, the first of two
    // sections of the same name, entries before any header.
    const std::string text = std::string("\xEF\xBB\xBF[ A ]\nx=1\nstray\n[B\n\x01\xff=\x80\n") +
                             std::string("k=v\0w\n", 6) + "[a]\nx=2\n";
    EXPECT_EQ(IniSectionEntries(text, "a"), (Entries{"x=1", "stray"}));
    EXPECT_EQ(IniSectionEntries(text, "B"), (Entries{"\x01\xff=\x80", std::string("k=v\0w", 5)}));
    EXPECT_EQ(IniSectionEntries("orphan=1\n[A]\n", "A"), Entries{});
}

// --- Replacing --------------------------------------------------------------------------------

TEST(IniReplace, OnlyTheSectionsLinesChange) {
    const std::string out = ReplaceIniSection(kFile, "HOSTS", {"host0=gamma:7"});
    EXPECT_EQ(out, "; settings\n"
                   "[TARVOTCPC]\n"
                   "hostsave=1\n"
                   "\n"
                   "[hosts]\n"
                   "host0=gamma:7\n"
                   "\n"
                   "\n"
                   "[TEMPLATES]\n"
                   "greet=hello%0d%0a\n");
}

TEST(IniReplace, KeepsTheFilesLineBreaks) {
    const std::string text = "[A]\r\nx=1\r\n[B]\r\ny=2";
    EXPECT_EQ(ReplaceIniSection(text, "a", {"x=3", "z=4"}), "[A]\r\nx=3\r\nz=4\r\n[B]\r\ny=2");
    EXPECT_EQ(ReplaceIniSection(text, "C", {"c=1"}), text + "\r\n[C]\r\nc=1\r\n");
    EXPECT_EQ(ReplaceIniSection("", "C", {"c=1"}), "[C]\nc=1\n");
}

TEST(IniReplace, SectionsAtTheEdges) {
    EXPECT_EQ(ReplaceIniSection("[A]", "A", {"x=1"}), "[A]\nx=1\n") << "header without a break";
    EXPECT_EQ(ReplaceIniSection("[A]\nx=1", "A", {}), "[A]\n") << "emptied, header kept";
    EXPECT_EQ(ReplaceIniSection("[A]\nx=1\n[A]\nx=2\n", "A", {"x=3"}), "[A]\nx=3\n[A]\nx=2\n")
        << "only the first of two";
    EXPECT_EQ(ReplaceIniSection("[B]\nb=1\n[A]\n", "A", {"a=1"}), "[B]\nb=1\n[A]\na=1\n");
}

TEST(IniReplace, WhatIsWrittenReadsBack) {
    const Entries entries = {"k=v", "name with spaces=a+b", "x=", "\xe3\x81\x82=%e3"};
    const std::string out = ReplaceIniSection(kFile, "TEMPLATES", entries);
    EXPECT_EQ(IniSectionEntries(out, "TEMPLATES"), entries);
    EXPECT_EQ(IniSectionEntries(out, "HOSTS"), IniSectionEntries(kFile, "HOSTS"));
}

TEST(IniReplace, StorableEntries) {
    EXPECT_TRUE(IsStorableIniEntry("a=b"));
    EXPECT_TRUE(IsStorableIniEntry("a b=c d"));
    EXPECT_FALSE(IsStorableIniEntry(""));
    EXPECT_FALSE(IsStorableIniEntry(" a=b"));
    EXPECT_FALSE(IsStorableIniEntry("a=b "));
    EXPECT_FALSE(IsStorableIniEntry("a=b\nc"));
    EXPECT_FALSE(IsStorableIniEntry(std::string("a=\0", 3)));
    EXPECT_FALSE(IsStorableIniEntry(";a=b"));
    EXPECT_FALSE(IsStorableIniEntry("[a]=b"));
}

// --- Files ------------------------------------------------------------------------------------

TEST(IniFile, CreatesFolderAndFileThenKeepsOtherBytes) {
    TempDir dir;
    const std::string path = dir.Path("deep/er/tarvotcpc.ini");
    ASSERT_TRUE(WriteIniSection(path, "HOSTS", {"host0=a:1"}));
    EXPECT_EQ(ReadFile(path), "[HOSTS]\nhost0=a:1\n");

    const std::string original = "; mine\r\n[TARVOTCPC]\r\nconsend=1\r\n\r\n[HOSTS]\r\nold=1\r\n";
    WriteFile(path, original);
    ASSERT_TRUE(WriteIniSection(path, "hosts", {"host0=b:2"}));
    EXPECT_EQ(ReadFile(path), "; mine\r\n[TARVOTCPC]\r\nconsend=1\r\n\r\n[HOSTS]\r\nhost0=b:2\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("deep/er")),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left behind";
}

// The file holds templates (often credentials), history and pins: a new one is the user's alone,
// whatever the umask; one the user made keeps its permissions and its place behind a link, also
// a link to a file not made yet.
TEST(IniFile, NewFilesArePrivateOldOnesKeepPermissionsAndLinks) {
    TempDir dir;
    const mode_t umaskBefore = umask(0);
    const std::string fresh = dir.Path("new/tarvotcpc.ini");
    EXPECT_TRUE(WriteIniSection(fresh, "A", {"x=1"}));
    umask(umaskBefore);
    struct stat info {};
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const std::string real = dir.Path("real.ini");
    WriteFile(real, "[A]\nx=1\n");
    chmod(real.c_str(), 0640);
    const std::string link = dir.Path("tarvotcpc.ini");
    ASSERT_EQ(symlink("real.ini", link.c_str()), 0);
    ASSERT_TRUE(WriteIniSection(link, "A", {"x=2"}));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "[A]\nx=2\n");
    ASSERT_EQ(stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    std::filesystem::create_directory(dir.Path("dotfiles"));
    const std::string dangling = dir.Path("elsewhere.ini");
    ASSERT_EQ(symlink("dotfiles/later.ini", dangling.c_str()), 0);
    ASSERT_TRUE(WriteIniSection(dangling, "A", {"x=3"}));
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
    EXPECT_EQ(ReadFile(dir.Path("dotfiles/later.ini")), "[A]\nx=3\n");
}

// One value the file cannot hold is refused alone: the section's other entries are written, and
// the file keeps its own entry of that name rather than losing it.
TEST(IniFile, AnUnstorableEntryIsRefusedAloneAndTheOldOneKept) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    WriteFile(path, "[A]\nx=1\nlog=/old\n[B]\ny=2\n");
    Entries refused;
    EXPECT_FALSE(WriteIniSection(path, "A", {"x=2", "log=/new ", "bad\n[B]", "z=3"}, &refused));
    EXPECT_EQ(refused, (Entries{"log=/new ", "bad\n[B]"}));
    EXPECT_EQ(ReadFile(path), "[A]\nx=2\nlog=/old\nz=3\n[B]\ny=2\n");

    EXPECT_FALSE(WriteIniSection(path, "A]", {"x=1"}));
    EXPECT_FALSE(WriteIniSection(path, "", {"x=1"}));
    EXPECT_EQ(ReadFile(path), "[A]\nx=2\nlog=/old\nz=3\n[B]\ny=2\n");
}

TEST(IniFile, UnreadableFileIsNeverReplaced) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    std::filesystem::create_directory(path); // a folder where the file should be
    EXPECT_FALSE(WriteIniSection(path, "A", {"x=1"}));
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

int failingStep = -1;
bool FailAt(IniWriteStep step) {
    return static_cast<int>(step) != failingStep;
}

TEST(IniFile, AFailedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    const std::string original = "[A]\nx=1\n[B]\ny=2\n";
    for (IniWriteStep step : {IniWriteStep::CreateTemporary, IniWriteStep::Write,
                              IniWriteStep::Flush, IniWriteStep::Rename}) {
        WriteFile(path, original);
        failingStep = static_cast<int>(step);
        SetIniWriteFaultHook(FailAt);
        EXPECT_FALSE(WriteIniSection(path, "A", {"x=9"})) << failingStep;
        SetIniWriteFaultHook(nullptr);
        EXPECT_EQ(ReadFile(path), original) << failingStep;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                                std::filesystem::directory_iterator()),
                  1)
            << "temporary file removed after failing at step " << failingStep;
    }
    EXPECT_TRUE(WriteIniSection(path, "A", {"x=9"}));
}

TEST(IniFile, TemporariesOfWritersThatDiedAreRemovedThoseInUseAndTheUsersKept) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    WriteFile(path, "[A]\nx=1\n");
    // A writer killed midway leaves its temporary without a lock (locks end with the process).
    WriteFile(dir.Path(".tarvotcpc.ini.tmp-K1lled"), "[A]\nx=half");
    // Another writer is busy with its own.
    WriteFile(dir.Path(".tarvotcpc.ini.tmp-Busy01"), "");
    const int busy = open(dir.Path(".tarvotcpc.ini.tmp-Busy01").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    ASSERT_EQ(flock(busy, LOCK_EX | LOCK_NB), 0);
    // The user's own files, however alike in name.
    for (const char *own :
         {"tarvotcpc.ini.backup", "tarvotcpc.ini.Abc123", ".tarvotcpc.ini.tmp-toolong"})
        WriteFile(dir.Path(own), "mine");

    ASSERT_TRUE(WriteIniSection(path, "A", {"x=2"}));
    close(busy);

    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.Path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"tarvotcpc.ini", ".tarvotcpc.ini.tmp-Busy01",
                                            "tarvotcpc.ini.backup", "tarvotcpc.ini.Abc123",
                                            ".tarvotcpc.ini.tmp-toolong"}));
    EXPECT_EQ(ReadFile(path), "[A]\nx=2\n");
    EXPECT_EQ(ReadFile(dir.Path("tarvotcpc.ini.backup")), "mine");
}

TEST(IniFile, ReadWholeFileTellsMissingFromUnreadable) {
    TempDir dir;
    std::string text = "stale";
    bool missing = false;
    EXPECT_TRUE(ReadWholeFile(dir.Path("none.ini"), text, &missing));
    EXPECT_TRUE(missing);
    EXPECT_EQ(text, "");
    EXPECT_FALSE(ReadWholeFile(dir.Path(), text, &missing));
    WriteFile(dir.Path("x.ini"), std::string("a\0b", 3));
    EXPECT_TRUE(ReadWholeFile(dir.Path("x.ini"), text, &missing));
    EXPECT_EQ(text, std::string("a\0b", 3));
}

TEST(SettingsPath, BesideTheProgramOtherwiseTheConfigFolder) {
    TempDir dir;
    EXPECT_EQ(SettingsPathFor(dir.Path(), "/xdg", "/home/u"), "/xdg/tarvotcpc/tarvotcpc.ini");
    EXPECT_EQ(SettingsPathFor(dir.Path(), "relative", "/home/u"),
              "/home/u/.config/tarvotcpc/tarvotcpc.ini");
    EXPECT_EQ(SettingsPathFor(dir.Path(), "", "/home/u"),
              "/home/u/.config/tarvotcpc/tarvotcpc.ini");
    EXPECT_EQ(SettingsPathFor(dir.Path(), nullptr, nullptr), dir.Path("tarvotcpc.ini"));
    WriteFile(dir.Path("tarvotcpc.ini"), "");
    EXPECT_EQ(SettingsPathFor(dir.Path(), "/xdg", "/home/u"), dir.Path("tarvotcpc.ini"));
    EXPECT_FALSE(SettingsPath().empty());
}

} // namespace
} // namespace tarvotcpc
