#include "text/detect.hpp"

#include <iconv.h>
#include <uchardet.h>

#include <algorithm>
#include <cerrno>

namespace tarvotcpc {

namespace {

bool SameName(std::string_view a, std::string_view b) {
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return upper(x) == upper(y); });
}

// Bytes that only a non-ASCII encoding explains: above ASCII, or (ISO-2022-JP, which stays below)
// the bytes of its two-byte sets, between ESC $ @ or ESC $ B and the next escape.
std::size_t Evidence(std::string_view sample, Encoding encoding) {
    std::size_t evidence = 0;
    if (encoding != Encoding::Iso2022Jp) {
        for (const char c : sample)
            evidence += static_cast<unsigned char>(c) >= 0x80;
        return evidence;
    }
    bool twoByte = false;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        if (sample[i] == '\x1b' && i + 2 < sample.size()) {
            twoByte = sample[i + 1] == '$' && (sample[i + 2] == 'B' || sample[i + 2] == '@');
            i += 2;
        } else if (twoByte && sample[i] > 0x20 && sample[i] < 0x7F) {
            ++evidence;
        }
    }
    return evidence;
}

// Bytes of the sample that do not decode in the encoding; a character cut by the sample's end is
// not one of them.
std::size_t InvalidBytes(std::string_view sample, Encoding encoding) {
    const iconv_t cd = iconv_open("UTF-32LE", EncodingName(encoding));
    if (cd == iconv_t(-1)) return sample.size();
    std::size_t invalid = 0;
    char *in = const_cast<char *>(sample.data());
    std::size_t inLeft = sample.size();
    char buffer[4096];
    while (inLeft > 0) {
        char *out = buffer;
        std::size_t outLeft = sizeof buffer;
        if (iconv(cd, &in, &inLeft, &out, &outLeft) != std::size_t(-1)) break;
        if (errno == E2BIG) continue;
        if (errno != EILSEQ) break; // EINVAL: the end cuts a character
        ++invalid;
        ++in;
        --inLeft;
    }
    iconv_close(cd);
    return invalid;
}

} // namespace

std::optional<Encoding> EncodingForDetectedName(std::string_view name) {
    struct Name {
        const char *name;
        Encoding encoding;
    };
    // uchardet's spellings; Windows-1252 is Latin-1 with printable characters where ISO-8859-1
    // has C1 controls, which the page shows as controls.
    static constexpr Name kNames[] = {
        {"UTF-8", Encoding::Utf8},        {"SHIFT_JIS", Encoding::ShiftJis},
        {"EUC-JP", Encoding::EucJp},      {"ISO-2022-JP", Encoding::Iso2022Jp},
        {"ISO-8859-1", Encoding::Latin1}, {"WINDOWS-1252", Encoding::Latin1},
    };
    for (const Name &n : kNames)
        if (SameName(name, n.name)) return n.encoding;
    return std::nullopt;
}

struct EncodingDetector::Handle {
    uchardet_t ud = uchardet_new();
    ~Handle() {
        if (ud) uchardet_delete(ud);
    }
};

EncodingDetector::EncodingDetector() : handle_(std::make_unique<Handle>()) {}
EncodingDetector::~EncodingDetector() = default;

void EncodingDetector::Reset() {
    sample_.clear();
    lookedAt_ = 0;
    guess_ = {};
}

bool EncodingDetector::Settled() const {
    return guess_.strength == DetectStrength::Strong ||
           (sample_.size() >= kSampleLimit && lookedAt_ == sample_.size());
}

bool EncodingDetector::Feed(std::string_view bytes) {
    if (Settled() || bytes.empty()) return false;
    sample_.append(bytes.substr(0, kSampleLimit - sample_.size()));
    if (sample_.size() < kSampleLimit && sample_.size() < 2 * lookedAt_) return false;
    lookedAt_ = sample_.size();
    const Detection next = Look();
    if (next == guess_) return false;
    guess_ = next;
    return true;
}

Detection EncodingDetector::Look() const {
    // Plain ASCII never needs uchardet: it has nothing to say about it.
    const bool ascii = std::none_of(sample_.begin(), sample_.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80 || c == '\x1b';
    });
    if (ascii || handle_->ud == nullptr) return {};
    uchardet_reset(handle_->ud);
    if (uchardet_handle_data(handle_->ud, sample_.data(), sample_.size()) != 0) return {};
    uchardet_data_end(handle_->ud);
    const char *name = uchardet_get_charset(handle_->ud);
    const auto encoding = EncodingForDetectedName(name ? name : "");
    if (!encoding) return {};
    const std::size_t evidence = Evidence(sample_, *encoding);
    if (evidence < kLeastEvidence) return {};
    const std::size_t invalid = InvalidBytes(sample_, *encoding);
    // Bytes the guess cannot read, more than now and then: binary, or a mix no guess fits.
    if (invalid * 16 > evidence) return {};
    const bool strong =
        *encoding != Encoding::Latin1 && invalid == 0 && evidence >= kStrongEvidence;
    return {encoding, strong ? DetectStrength::Strong : DetectStrength::Weak};
}

} // namespace tarvotcpc
