#include "settings/settings.hpp"
#include "settings/options.hpp"

#include <gtest/gtest.h>

#include "hosts/destination.hpp"
#include "settings/ini.hpp"
#include "hosts/trust_store.hpp"
#include "support/temp_dir.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <unistd.h>

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Loaded settings that free themselves.
struct Loaded {
    SettingsHashes s{};
    explicit Loaded(const std::string &path) { EXPECT_TRUE(LoadSettings(s, path)); }
    ~Loaded() { FreeSettings(s); }
};

std::string Value(const Hash &hash, const char *key) {
    return VornGetHashPtrSafe(&hash, key, 0);
}

TEST(SettingsLoad, AnythingMissingGivesEmptyRecords) {
    TempDir dir;
    WriteFile(dir.Path("empty.ini"), "");
    WriteFile(dir.Path("other.ini"), "[ELSEWHERE]\nconsend=1\n");
    for (const std::string &path :
         {dir.Path("none.ini"), dir.Path("empty.ini"), dir.Path("other.ini"), dir.Path()}) {
        Loaded settings(path);
        EXPECT_EQ(VornCountHash(&settings.s.options), 0) << path;
        EXPECT_EQ(VornCountHash(&settings.s.hosts), 0) << path;
        EXPECT_EQ(VornCountHash(&settings.s.templates), 0) << path;
        EXPECT_EQ(ReadOption(settings.s, OptionKey(Option::ConSend)), 0);
    }
}

TEST(SettingsLoad, FirstStartThenSavingCreatesTheThreeSections) {
    TempDir dir;
    const std::string path = dir.Path("cfg/tarvotcpc.ini");
    {
        Loaded settings(path);
        ASSERT_TRUE(SetOption(settings.s, OptionKey(Option::HostSave), 1));
        ASSERT_TRUE(SetOption(settings.s, OptionKey(Option::ConSend), 0));
        ASSERT_TRUE(WriteOptionsSection(settings.s, path));
        ASSERT_TRUE(WriteTemplatesSection(settings.s, path));
        ASSERT_TRUE(WriteHostsSection(settings.s, path));
    }
    EXPECT_EQ(ReadFile(path), "[TARVOTCPC]\nhostsave=1\nconsend=0\n[TEMPLATES]\n[HOSTS]\n");
    Loaded again(path);
    EXPECT_EQ(ReadOption(again.s, OptionKey(Option::HostSave)), 1);
    EXPECT_EQ(VornCountHash(&again.s.options), 2);
}

TEST(SettingsLoad, ValuesThatAreNotDigitsReadAsZero) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    WriteFile(path, "[tarvotcpc]\r\nconsend=yes\r\nconreclear=1x\r\nconsenclear= 1\r\n");
    Loaded settings(path);
    EXPECT_EQ(ReadOption(settings.s, OptionKey(Option::ConSend)), 0);
    EXPECT_EQ(ReadOption(settings.s, OptionKey(Option::ConReClear)), 1);
    EXPECT_EQ(ReadOption(settings.s, OptionKey(Option::ConSenClear)), 0);
    EXPECT_EQ(ReadOption(settings.s, OptionKey(Option::HostSave)), 0);
}

TEST(SettingsRoundTrip, LargeSectionsAreNeverCut) {
    // Far beyond the 1024- and 65535-byte blocks a fixed buffer would give.
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    {
        Loaded settings(path);
        for (int i = 0; i < 400; ++i) {
            const std::string key = "t" + std::to_string(i);
            const std::string value = std::string(1000, static_cast<char>('a' + i % 26));
            VornSetHash(&settings.s.templates, key.c_str(), 0, value.c_str(), -1);
        }
        for (int i = 0; i < 60; ++i) {
            const std::string key = "host" + std::to_string(i);
            const std::string value = std::string(200, 'h') + ":" + std::to_string(i);
            VornSetHash(&settings.s.hosts, key.c_str(), 0, value.c_str(), -1);
        }
        ASSERT_TRUE(WriteTemplatesSection(settings.s, path));
        ASSERT_TRUE(WriteHostsSection(settings.s, path));
    }
    Loaded settings(path);
    ASSERT_EQ(VornCountHash(&settings.s.templates), 400);
    ASSERT_EQ(VornCountHash(&settings.s.hosts), 60);
    EXPECT_EQ(Value(settings.s.templates, "t399"), std::string(1000, 'a' + 399 % 26));
    EXPECT_EQ(Value(settings.s.hosts, "host59"), std::string(200, 'h') + ":59");
}

TEST(SettingsRoundTrip, RewritingOneSectionKeepsEveryOtherByte) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    const std::string head = "; hand-written\r\n[TARVOTCPC]\r\nhostsave=1\r\n\r\n";
    const std::string tail = "\r\n[Unrelated]\r\nkey = value \xff\r\n";
    WriteFile(path, head + "[HOSTS]\r\nhost0=old:1\r\n" + tail);
    Loaded settings(path);
    VornReAllocHash(&settings.s.hosts, 0);
    VornSetHash(&settings.s.hosts, "host0", 0, "new:2", -1);
    ASSERT_TRUE(WriteHostsSection(settings.s, path));
    EXPECT_EQ(ReadFile(path), head + "[HOSTS]\r\nhost0=new:2\r\n" + tail);
}

TEST(SettingsLoad, DamagedFilesLoadAndSurviveARewrite) {
    // Binary bytes, a NUL in an entry, a very long line, an entry without a name, a duplicate
    // section, invalid UTF-8: the file loads, and rewriting one section loses none of the others.
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    const std::string longLine = "big=" + std::string(300000, 'x');
    const std::string file = std::string("\x00\x01garbage\xff\xfe\n", 12) + "[TEMPLATES]\n" +
                             longLine + "\n=nameless\n" + std::string("cut=ab\0cd\n", 10) +
                             "\xc3(=\x80\x81\n[HOSTS]\nhost0=a:1\n[TEMPLATES]\nlate=1\n"
                             "[TARVOTCPC]\nconsend=1\n";
    WriteFile(path, file);
    Loaded settings(path);
    EXPECT_EQ(VornCountHash(&settings.s.templates), 3);
    EXPECT_EQ(Value(settings.s.templates, "big").size(), 300000u);
    EXPECT_EQ(Value(settings.s.templates, "cut"), "ab");
    EXPECT_EQ(Value(settings.s.templates, "\xc3("), "\x80\x81");
    EXPECT_EQ(VornGetHashIndex(&settings.s.templates, "late"), -1) << "the first section counts";
    EXPECT_EQ(ReadOption(settings.s, OptionKey(Option::ConSend)), 1);

    ASSERT_TRUE(WriteHostsSection(settings.s, path));
    const std::string after = ReadFile(path);
    EXPECT_EQ(after, file) << "the hosts written back are the hosts read";
    SetOption(settings.s, OptionKey(Option::HostSave), 1);
    ASSERT_TRUE(WriteOptionsSection(settings.s, path));
    EXPECT_EQ(IniSectionEntries(ReadFile(path), "TEMPLATES"), IniSectionEntries(file, "TEMPLATES"));
    EXPECT_EQ(IniSectionEntries(ReadFile(path), "HOSTS"), IniSectionEntries(file, "HOSTS"));
}

TEST(SettingsEntries, OneLinePerCellAsTheBlockWriterGivesThem) {
    OwnedHash hash;
    ASSERT_TRUE(hash.Live());
    std::vector<std::string> entries;
    ASSERT_TRUE(HashToEntries(*hash.get(), entries));
    EXPECT_TRUE(entries.empty());
    VornSetHash(hash.get(), "a", 0, "1", -1);
    VornSetHash(hash.get(), "b", 0, "", -1);
    VornSetHash(hash.get(), "c", 0, "x=y", -1);
    ASSERT_TRUE(HashToEntries(*hash.get(), entries));
    EXPECT_EQ(entries, (std::vector<std::string>{"a=1", "b=", "c=x=y"}));
}

} // namespace
} // namespace tarvotcpc

namespace tarvotcpc {
namespace {

// The typed rows: an earlier file (switches only, plus a key of some other version) reads with
// the new rows at their defaults; stored values read back ignoring case, unknown values fall back
// to the default, and storing keeps every key the table does not know.
TEST(OptionRows, EarlierFilesReadTheSameAndNewRowsRoundTrip) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    WriteFile(path, "[TARVOTCPC]\nhostsave=1\nconsend=0\nfuture=kept\n");
    {
        Loaded settings(path);
        const OptionValues values = ReadOptions(settings.s);
        EXPECT_TRUE(values[Option::HostSave]);
        EXPECT_FALSE(values[Option::SendEscapes]);
        EXPECT_EQ(values.Text(Option::SendEncoding), kFollowViewEncoding);
        EXPECT_EQ(SendEncodingSetApart(values), std::nullopt);
        EXPECT_EQ(SendEncodingOf(values), SendEncoding::Utf8);
        EXPECT_EQ(SendLineEndingOf(values), LineEnding::Crlf);
        EXPECT_EQ(values.Text(Option::LogFolder), "");

        OptionValues changed = values;
        EXPECT_TRUE(changed.SetText(Option::SendEncoding, "EUC-JP"));
        EXPECT_EQ(changed.Text(Option::SendEncoding), "euc-jp");
        EXPECT_FALSE(changed.SetText(Option::SendEncoding, "ebcdic"));
        EXPECT_FALSE(changed.SetText(Option::LogFolder, "/tmp/a\nhostsave=0"));
        // Blanks at the ends would not survive the file's lines: trimmed.
        EXPECT_TRUE(changed.SetText(Option::LogFolder, " /var/log/ログ dir=x \t"));
        SetSendLineEnding(changed, LineEnding::None);
        changed[Option::SendEscapes] = true;
        EXPECT_TRUE(changed.SetText(Option::Proxy, "socks5h://al@p:1080"));
        ASSERT_TRUE(StoreOptions(settings.s, changed));
        ASSERT_TRUE(WriteOptionsSection(settings.s, path));
    }
    EXPECT_EQ(ReadFile(path),
              "[TARVOTCPC]\nhostsave=1\nconsend=0\nfuture=kept\nconreclear=0\n"
              "consenclear=0\nsendencoding=euc-jp\nsendlineending=none\n"
              "sendescapes=1\nlogfolder=/var/log/ログ dir=x\nkeeplisten=0\n"
              "proxy=socks5h://"
              "al@p:1080\nviewencoding=utf-8\nviewmode=text\nviewlineends=0\nviewtimes=0\n"
              "viewsent=0\nviewautodetect=0\nplaceholders=0\nrepeatinterval=1000\n"
              "repeatcount=10\nviewprotocol=none\nkeylogfile=\n");
    {
        Loaded settings(path);
        const OptionValues values = ReadOptions(settings.s);
        EXPECT_EQ(SendEncodingOf(values), SendEncoding::EucJp);
        EXPECT_EQ(SendLineEndingOf(values), LineEnding::None);
        EXPECT_TRUE(values[Option::SendEscapes]);
        EXPECT_EQ(values.Text(Option::LogFolder), "/var/log/ログ dir=x");
        EXPECT_EQ(values.Text(Option::Proxy), "socks5h://al@p:1080");
    }
    WriteFile(path, "[TARVOTCPC]\nsendencoding=Shift_JIS\nsendlineending=crlf2\n");
    Loaded settings(path);
    const OptionValues values = ReadOptions(settings.s);
    EXPECT_EQ(SendEncodingOf(values), SendEncoding::ShiftJis);
    EXPECT_EQ(SendLineEndingOf(values), LineEnding::Crlf);
}

// The receive page's rows: an earlier file reads as today's page (UTF-8 text, no marks, no times,
// received bytes only); what the user picks comes back after a save, and the send page that
// follows the view goes out in the view's encoding.
TEST(OptionRows, ViewRowsRoundTripAndTheSendEncodingFollowsTheView) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    WriteFile(path, "[TARVOTCPC]\nconreclear=1\nviewmode=HEX\nviewencoding=klingon\n");
    {
        Loaded settings(path);
        OptionValues values = ReadOptions(settings.s);
        EXPECT_TRUE(values[Option::ConReClear]);
        EXPECT_TRUE(ViewIsHex(values));                    // case folded
        EXPECT_EQ(ViewEncodingOf(values), Encoding::Utf8); // unknown: the default
        EXPECT_FALSE(values[Option::ViewLineEndMarks] || values[Option::ViewTimes] ||
                     values[Option::ViewSent]);
        for (Encoding encoding : kEncodings) {
            SetViewEncoding(values, encoding);
            EXPECT_EQ(ViewEncodingOf(values), encoding);
            EXPECT_EQ(static_cast<int>(SendEncodingOf(values)), static_cast<int>(encoding));
        }
        SetViewEncoding(values, Encoding::Iso2022Jp);
        values.SetText(Option::ViewMode, kViewModeText);
        values[Option::ViewLineEndMarks] = values[Option::ViewTimes] = values[Option::ViewSent] =
            true;
        ASSERT_TRUE(SaveOptions(settings.s, values, path));
        // A file that cannot be written is told; the record keeps the choice for the session.
        SetViewEncoding(values, Encoding::EucJp);
        WriteFile(dir.Path("file"), "");
        EXPECT_FALSE(SaveOptions(settings.s, values, dir.Path("file/tarvotcpc.ini")));
        EXPECT_EQ(ViewEncodingOf(ReadOptions(settings.s)), Encoding::EucJp);
    }
    Loaded settings(path);
    OptionValues values = ReadOptions(settings.s);
    EXPECT_EQ(ViewEncodingOf(values), Encoding::Iso2022Jp);
    EXPECT_FALSE(ViewIsHex(values));
    EXPECT_TRUE(values[Option::ViewLineEndMarks] && values[Option::ViewTimes] &&
                values[Option::ViewSent]);
    EXPECT_EQ(ViewEncodingChosen(values), Encoding::Iso2022Jp);
    // 自動判別 is a choice of its own, with no encoding of its own.
    ASSERT_TRUE(values.SetText(Option::ViewEncoding, "AUTO"));
    EXPECT_EQ(ViewEncodingChosen(values), std::nullopt);
    // Set apart, the send encoding no longer follows.
    ASSERT_TRUE(values.SetText(Option::SendEncoding, "latin-1"));
    EXPECT_EQ(SendEncodingOf(values), SendEncoding::Latin1);
}

} // namespace
} // namespace tarvotcpc

namespace tarvotcpc {
namespace {

// Two instances of the program at work on one settings file at once, each adding templates,
// history entries and pins and changing an option of its own: every change of both is in the file
// afterwards, whoever wrote last.
TEST(SettingsFile, TwoInstancesWritingAtOnceLoseNothing) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    WriteFile(path, "[TARVOTCPC]\nhostsave=1\n");
    constexpr int kRounds = 10; // the two instances' destinations fill the history exactly
    std::string fingerprint = "AB";
    for (int i = 1; i < 32; ++i)
        fingerprint += ":AB";
    const Option own[2] = {Option::ConSend, Option::ViewTimes};

    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t children[2];
    for (int k = 0; k < 2; ++k) {
        children[k] = fork();
        ASSERT_GE(children[k], 0);
        if (children[k] != 0) continue;
        close(go[1]);
        char start;
        const bool started = read(go[0], &start, 1) == 0; // both at once, when the pipe closes
        SettingsHashes s{};
        bool ok = started && LoadSettings(s, path);
        for (int i = 0; i < kRounds; ++i) {
            const std::string name = "k" + std::to_string(k) + "-" + std::to_string(i);
            OptionValues values = ReadOptions(s);
            values[own[k]] = i % 2 == 1; // on at the end
            ok = StoreOptions(s, values) && WriteOptionsSection(s, path) && ok;
            ok = VornSetHash(&s.templates, name.c_str(), 0, "text", -1) &&
                 WriteTemplatesSection(s, path) && ok;
            ok = RememberDestination(s, {name, 1}, path) && ok;
            ok = SaveTrustPin(path, name + ":443", fingerprint) && ok;
        }
        FreeSettings(s);
        _exit(ok ? 0 : 1);
    }
    close(go[0]);
    close(go[1]);
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    Loaded after(path);
    const OptionValues values = ReadOptions(after.s);
    EXPECT_TRUE(values[Option::HostSave] && values[own[0]] && values[own[1]]);
    const std::vector<std::string> history = HostHistory(after.s);
    const TrustPins pins = LoadTrustPins(path);
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < kRounds; ++i) {
            const std::string name = "k" + std::to_string(k) + "-" + std::to_string(i);
            EXPECT_GE(VornGetHashIndex(&after.s.templates, name.c_str()), 0) << name;
            EXPECT_NE(std::find(history.begin(), history.end(), name + ":1"), history.end())
                << name;
            EXPECT_TRUE(pins.contains(name + ":443")) << name;
        }
    }
}

} // namespace
} // namespace tarvotcpc
