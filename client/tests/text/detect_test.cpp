// Encoding detection on real Japanese text in each of the page's encodings (made from UTF-8
// through iconv), on English and binary bytes that must raise no guess, and fed as a socket cuts
// it.
#include "text/detect.hpp"

#include <iconv.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tarvotcpc {
namespace {

// A few hundred bytes of an ordinary Japanese reply: kana, kanji, full-width and ASCII mixed.
const std::string kJapanese =
    "吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。何でも薄暗いじめじめした所"
    "でニャーニャー泣いていた事だけは記憶している。\r\n"
    "受信データ: 200 件、エラー 0 件。接続先のサーバーは正常に応答しました。\r\n"
    "明日の天気は晴れのち曇り、最高気温は２３度の予想です。\r\n";

std::string Convert(const std::string &utf8, const char *to) {
    const iconv_t cd = iconv_open(to, "UTF-8");
    EXPECT_NE(cd, iconv_t(-1)) << to;
    std::string out(utf8.size() * 4 + 16, '\0');
    char *in = const_cast<char *>(utf8.data());
    std::size_t inLeft = utf8.size();
    char *o = out.data();
    std::size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &o, &outLeft), std::size_t(-1)) << to;
    iconv(cd, nullptr, nullptr, &o, &outLeft); // ISO-2022-JP's return to ASCII
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// Fed in one piece and in small random pieces, the detector ends at the same guess.
Detection Detect(const std::string &bytes, std::mt19937 *rng = nullptr) {
    EncodingDetector detector;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t n = rng ? 1 + (*rng)() % 37 : bytes.size();
        detector.Feed(std::string_view(bytes).substr(at, n));
        at += n;
    }
    return detector.Guess();
}

TEST(EncodingDetector, FindsEachJapaneseEncodingWhateverTheCuts) {
    std::mt19937 rng(3);
    const std::pair<const char *, Encoding> encodings[] = {{"UTF-8", Encoding::Utf8},
                                                           {"SHIFT_JIS", Encoding::ShiftJis},
                                                           {"EUC-JP", Encoding::EucJp},
                                                           {"ISO-2022-JP", Encoding::Iso2022Jp}};
    for (const auto &[name, encoding] : encodings) {
        // After an ASCII head, as an HTTP reply's body follows its header.
        const std::string bytes =
            "HTTP/1.1 200 OK\r\nServer: test\r\n\r\n" + Convert(kJapanese, name);
        const Detection strong{encoding, DetectStrength::Strong};
        EXPECT_EQ(Detect(bytes), strong) << name;
        EXPECT_EQ(Detect(bytes, &rng), strong) << name;
    }
}

// A guess from a few bytes is weak and looked at again as the reply goes on; a strong one is
// final for the connection, and Reset starts the next connection afresh.
TEST(EncodingDetector, WeakGuessIsRetriedAsMoreTextComes) {
    const std::string sjis = Convert(kJapanese, "SHIFT_JIS");
    EncodingDetector detector;
    detector.Feed(sjis.substr(0, 6));
    EXPECT_NE(detector.Guess().strength, DetectStrength::Strong);
    EXPECT_FALSE(detector.Settled());
    detector.Feed(sjis.substr(6));
    EXPECT_EQ(detector.Guess(), (Detection{Encoding::ShiftJis, DetectStrength::Strong}));
    EXPECT_TRUE(detector.Settled());
    EXPECT_FALSE(detector.Feed(Convert(kJapanese, "EUC-JP")));
    detector.Reset();
    detector.Feed(Convert(kJapanese, "EUC-JP"));
    EXPECT_EQ(detector.Guess().encoding, Encoding::EucJp);
}

// English text, long or short, and bytes of no text at all: no guess, ever; Western text in
// Latin-1 at most a weak one (any bytes are Latin-1).
TEST(EncodingDetector, NoFalseAlarm) {
    std::mt19937 rng(4);
    std::string english;
    while (english.size() < 20000)
        english += "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nThe quick brown fox.\r\n";
    EXPECT_EQ(Detect(english), Detection{});
    EXPECT_EQ(Detect(english, &rng), Detection{});
    EXPECT_EQ(Detect("+OK\r\n"), Detection{});
    std::string binary(8000, '\0');
    for (char &c : binary)
        c = char(rng());
    EXPECT_EQ(Detect(binary).encoding, std::nullopt);
    const Detection latin = Detect("Caf\xe9 cr\xe8me br\xfbl\xe9\x65, na\xefve r\xe9sum\xe9 \xfc"
                                   "ber die Stra\xdf\x65 und \xe0 la fa\xe7on fran\xe7\x61ise.");
    EXPECT_EQ(latin, (Detection{Encoding::Latin1, DetectStrength::Weak}));
    EXPECT_EQ(EncodingForDetectedName("ascii"), std::nullopt);
    EXPECT_EQ(EncodingForDetectedName("GB18030"), std::nullopt);
    EXPECT_EQ(EncodingForDetectedName("shift_jis"), Encoding::ShiftJis);
}

} // namespace
} // namespace tarvotcpc
