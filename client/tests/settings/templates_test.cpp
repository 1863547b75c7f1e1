#include "settings/templates.hpp"
#include "files/file_text.hpp"
#include "settings/options_session.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings/ini.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using List = std::vector<std::string>;

TEST(TemplateText, StoredEncodedWithCrlfAndGivenBackWithLf) {
    EXPECT_EQ(EncodeTemplateText("a b\nc"), "a+b%0d%0ac");
    EXPECT_EQ(DecodeTemplateText("a+b%0d%0ac"), "a b\nc");
    EXPECT_EQ(EncodeTemplateText("A~é"), "A%7e%c3%a9");
    EXPECT_EQ(DecodeTemplateText("x%00y"), "x") << "a decoded NUL ends the text";
}

TEST(TemplateText, LongTextsAreStoredWholeWithEveryEscapeIntact) {
    // 1023 characters that all need escaping: far beyond what a 1024-byte buffer holds encoded.
    const std::string text(1023, '/');
    const std::string stored = EncodeTemplateText(text);
    EXPECT_EQ(stored.size(), 3u * 1023);
    EXPECT_EQ(DecodeTemplateText(stored.c_str()), text);
    std::string multibyte;
    for (int i = 0; i < 2000; ++i)
        multibyte += "定";
    EXPECT_EQ(DecodeTemplateText(EncodeTemplateText(multibyte).c_str()), multibyte);
}

// An options dialog over settings in a temporary folder.
class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.Path("tarvotcpc.ini");
        WriteFile(path_,
                  "[TARVOTCPC]\nconsend=1\n[TEMPLATES]\nhello=Hello%0d%0a\nbye=Bye\n[HOSTS]\n"
                  "host0=a:1\n");
        ASSERT_TRUE(LoadSettings(s_, path_));
        original_ = ReadFile(path_);
    }
    void TearDown() override { FreeSettings(s_); }

    List StoredNames() { return TemplateNames(s_.templates); }

    TempDir dir_;
    std::string path_;
    std::string original_;
    SettingsHashes s_{};
};

TEST_F(OptionsTest, OpensWithTheStoredSwitchesAndTemplates) {
    OptionsSession session(s_, path_);
    EXPECT_TRUE(session.Switches()[Option::ConSend]);
    EXPECT_FALSE(session.Switches()[Option::HostSave]);
    EXPECT_EQ(session.Names(), (List{"hello", "bye"}));
    const auto draft = session.Draft(0);
    ASSERT_TRUE(draft);
    EXPECT_EQ(draft->name, "hello");
    EXPECT_EQ(draft->text, "Hello\n");
    EXPECT_FALSE(session.Draft(2));
    EXPECT_FALSE(session.Draft(-1));
}

TEST_F(OptionsTest, AddAppendsOrReplacesInPlace) {
    OptionsSession session(s_, path_);
    TemplateEditResult r = session.Add("new", "line1\nline2");
    EXPECT_TRUE(r.accepted);
    EXPECT_TRUE(r.newRow);
    EXPECT_EQ(r.row, 2);
    r = session.Add("hello", "Hi");
    EXPECT_TRUE(r.accepted);
    EXPECT_FALSE(r.newRow) << "one row per template";
    EXPECT_EQ(r.row, 0);
    EXPECT_EQ(session.Names(), (List{"hello", "bye", "new"}));
    EXPECT_EQ(session.Draft(0)->text, "Hi");
}

TEST_F(OptionsTest, NamesAreCheckedTrimmedAndCut) {
    OptionsSession session(s_, path_);
    EXPECT_EQ(session.Add("", "x").warning, kMissingTemplateNameText);
    EXPECT_EQ(session.Add("   ", "x").warning, kMissingTemplateNameText);
    for (const char *bad : {"a=b", ";note", "[x]", "two\nlines"})
        EXPECT_EQ(session.Add(bad, "x").warning, kUnusableTemplateNameText) << bad;
    EXPECT_EQ(session.TemplateCount(), 2);

    EXPECT_TRUE(session.Add("  padded  ", "x").accepted);
    EXPECT_EQ(session.Names().back(), "padded");

    std::string longName;
    for (int i = 0; i < 30; ++i)
        longName += "名"; // 90 bytes
    ASSERT_TRUE(session.Add(longName, "x").accepted);
    EXPECT_EQ(session.Names().back(), longName.substr(0, 63));
    ASSERT_TRUE(session.Add("a" + longName, "x").accepted);
    EXPECT_EQ(session.Names().back(), "a" + longName.substr(0, 60));
    EXPECT_EQ(session.Add(std::string(62, 'n') + " x", "x").row, 5) << "cut, then trimmed";
    EXPECT_EQ(session.Names().back(), std::string(62, 'n'));
}

TEST_F(OptionsTest, EditChangesTextAndNameInPlace) {
    OptionsSession session(s_, path_);
    TemplateEditResult r = session.Edit(1, "farewell", "See you\n");
    EXPECT_TRUE(r.accepted);
    EXPECT_EQ(r.row, 1);
    EXPECT_FALSE(r.newRow);
    EXPECT_EQ(session.Names(), (List{"hello", "farewell"}));
    EXPECT_EQ(session.Draft(1)->text, "See you\n");
    EXPECT_TRUE(session.Edit(1, "farewell", "same name").accepted);
    EXPECT_FALSE(session.Edit(5, "x", "y").accepted) << "no such row";
}

TEST_F(OptionsTest, RenamingOntoAnotherTemplateIsRefused) {
    OptionsSession session(s_, path_);
    const TemplateEditResult r = session.Edit(1, "hello", "would replace hello");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.warning, kDuplicateTemplateNameText);
    EXPECT_EQ(session.Names(), (List{"hello", "bye"}));
    EXPECT_EQ(session.Draft(0)->text, "Hello\n");
    EXPECT_EQ(session.Draft(1)->text, "Bye");
}

TEST_F(OptionsTest, DeleteByRow) {
    OptionsSession session(s_, path_);
    EXPECT_FALSE(session.Delete(-1)) << "no selection";
    EXPECT_FALSE(session.Delete(2));
    EXPECT_TRUE(session.Delete(0));
    EXPECT_EQ(session.Names(), (List{"bye"}));
}

TEST_F(OptionsTest, CancelLeavesMemoryAndFileAsTheyWere) {
    {
        OptionsSession session(s_, path_);
        session.Add("x", "y");
        session.Edit(0, "renamed", "z");
        session.Delete(1);
    }
    EXPECT_EQ(StoredNames(), (List{"hello", "bye"}));
    EXPECT_EQ(ReadFile(path_), original_);
}

TEST_F(OptionsTest, OkStoresSwitchesAndTemplatesAndKeepsTheHosts) {
    OptionsSession session(s_, path_);
    session.Add("long", std::string(5000, '%'));
    session.Delete(0);
    OptionValues switches;
    switches[Option::HostSave] = true;
    switches[Option::ConSenClear] = true;
    EXPECT_TRUE(session.Ok(switches));

    EXPECT_EQ(StoredNames(), (List{"bye", "long"}));
    EXPECT_EQ(ReadOption(s_, OptionKey(Option::HostSave)), 1);
    EXPECT_EQ(ReadOption(s_, OptionKey(Option::ConSend)), 0);
    const std::string file = ReadFile(path_);
    EXPECT_EQ(IniSectionEntries(file, "TARVOTCPC"),
              (List{"consend=0",        "hostsave=1",         "conreclear=0",
                    "consenclear=1",    "sendencoding=view",  "sendlineending=crlf",
                    "sendescapes=0",    "logfolder=",         "keeplisten=0",
                    "proxy=",           "viewencoding=utf-8", "viewmode=text",
                    "viewlineends=0",   "viewtimes=0",        "viewsent=0",
                    "viewautodetect=0", "placeholders=0",     "repeatinterval=1000",
                    "repeatcount=10",   "viewprotocol=none",  "keylogfile="}));
    EXPECT_EQ(IniSectionEntries(file, "HOSTS"), (List{"host0=a:1"}));

    SettingsHashes reloaded{};
    ASSERT_TRUE(LoadSettings(reloaded, path_));
    EXPECT_EQ(TemplateNames(reloaded.templates), (List{"bye", "long"}));
    EXPECT_EQ(TemplateInsertionText(reloaded.templates, 1), std::string(5000, '%'));
    FreeSettings(reloaded);
}

TEST(TemplateInsertion, DecodesTheChosenEntry) {
    OwnedHash templates;
    VornSetHash(templates.get(), "t", 0, "a+b%0d%0ac", -1);
    VornSetHash(templates.get(), "raw", 0, "100%", -1);
    EXPECT_EQ(TemplateInsertionText(*templates.get(), 0), "a b\nc");
    EXPECT_EQ(TemplateInsertionText(*templates.get(), 1), "100%");
    EXPECT_FALSE(TemplateInsertionText(*templates.get(), 2));
    EXPECT_FALSE(TemplateInsertionText(*templates.get(), -1)) << "no selection";
    OwnedHash none;
    EXPECT_TRUE(TemplateNames(*none.get()).empty());
}

TEST(FileLoading, BytesUpToTheFirstNul) {
    TempDir dir;
    WriteFile(dir.Path("text.txt"), "GET / HTTP/1.0\r\nHost: x\r\n\r\n");
    WriteFile(dir.Path("empty.txt"), "");
    WriteFile(dir.Path("nul.bin"), std::string("head\0tail", 9));
    WriteFile(dir.Path("big.txt"), std::string(300000, 'b') + "\n");
    EXPECT_EQ(LoadFileText(dir.Path("text.txt")), "GET / HTTP/1.0\nHost: x\n\n");
    EXPECT_EQ(LoadFileText(dir.Path("empty.txt")), "");
    EXPECT_EQ(LoadFileText(dir.Path("nul.bin")), "head");
    EXPECT_EQ(LoadFileText(dir.Path("big.txt"))->size(), 300001u);
    EXPECT_EQ(LoadFileText("/dev/zero"), "") << "stops at the first NUL of an endless device";
}

TEST(FileLoading, WhatCannotBeOpenedGivesNothing) {
    TempDir dir;
    EXPECT_FALSE(LoadFileText(dir.Path("missing.txt")));
    EXPECT_FALSE(LoadFileText(dir.Path()));
    EXPECT_STREQ(kFileOpenFailedText, "ファイルのオープンに失敗しました");
}

TEST(FileLoading, ProgressCountsTheBytesReadAgainstTheSize) {
    TempDir dir;
    // Blocks are read a quarter of a mebibyte at a time; a CRLF across two blocks stays one break.
    std::string bytes(256 * 1024 - 1, 'a');
    bytes += "\r\n" + std::string(400000, 'b');
    WriteFile(dir.Path("big.txt"), bytes);
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    const FileLoadResult result =
        LoadFileText(dir.Path("big.txt"), [&](uint64_t done, uint64_t size) {
            calls.emplace_back(done, size);
            return true;
        });
    ASSERT_EQ(result.status, FileLoadStatus::Loaded);
    EXPECT_EQ(result.text, std::string(256 * 1024 - 1, 'a') + "\n" + std::string(400000, 'b'));
    ASSERT_GE(calls.size(), 2u);
    for (std::size_t i = 1; i < calls.size(); ++i)
        EXPECT_GT(calls[i].first, calls[i - 1].first);
    EXPECT_EQ(calls.back(), std::make_pair(uint64_t{bytes.size()}, uint64_t{bytes.size()}));
}

TEST(FileLoading, StoppingOrFailingGivesNoText) {
    TempDir dir;
    WriteFile(dir.Path("big.txt"), std::string(1 << 20, 'x'));
    int calls = 0;
    FileLoadResult result =
        LoadFileText(dir.Path("big.txt"), [&](uint64_t, uint64_t) { return ++calls < 2; });
    EXPECT_EQ(result.status, FileLoadStatus::Stopped);
    EXPECT_EQ(calls, 2) << "no block is read after the stop";
    EXPECT_TRUE(result.text.empty());

    result = LoadFileText(dir.Path("missing.txt"), [](uint64_t, uint64_t) { return false; });
    EXPECT_EQ(result.status, FileLoadStatus::Failed);

    // A file that ends at its first NUL in the first block is loaded, not stopped, and a device
    // has no size to show progress against.
    std::vector<uint64_t> sizes;
    result = LoadFileText("/dev/zero", [&](uint64_t, uint64_t size) {
        sizes.push_back(size);
        return true;
    });
    EXPECT_EQ(result.status, FileLoadStatus::Loaded);
    EXPECT_EQ(result.text, "");
    EXPECT_EQ(sizes, std::vector<uint64_t>{0});
}

} // namespace
} // namespace tarvotcpc
