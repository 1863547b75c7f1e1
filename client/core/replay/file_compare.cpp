#include "replay/file_compare.hpp"

#include <algorithm>

#include "replay/exchange_compare.hpp"
#include "saves/transcript_source.hpp"
#include "settings/options.hpp"
#include "settings/settings.hpp"

namespace tarvotcpc {

namespace {

// "l,n" of a hunk header: an empty side names the line before it, as diff -u does.
std::string Range(std::size_t first, std::size_t count) {
    return std::to_string(count == 0 ? first : first + 1) + "," + std::to_string(count);
}

bool ReadExchange(const std::string &path, Transcript &into, std::string &error) {
    ExchangeFileJob job(path, into);
    while (job.Step()) {
    }
    error = job.Error();
    return job.Succeeded();
}

} // namespace

std::string UnifiedDiff(const std::vector<std::string> &left, const std::vector<std::string> &right,
                        const LineDiff &diff, const std::string &leftName,
                        const std::string &rightName, std::size_t context) {
    const std::vector<DiffRow> &rows = diff.rows;
    const auto differs = [&](std::size_t row) { return rows[row].kind != DiffRow::Kind::Same; };
    std::string out;
    std::size_t row = 0;
    while (row < rows.size()) {
        if (!differs(row)) {
            ++row;
            continue;
        }
        // A hunk: this run of differences and the ones whose context touches it.
        const std::size_t begin = row >= context ? row - context : 0;
        // It goes on while the next difference is near enough for the contexts to meet.
        std::size_t lastDiffering = row;
        for (std::size_t r = row; r < rows.size(); ++r) {
            if (differs(r))
                lastDiffering = r;
            else if (r - lastDiffering > 2 * context)
                break;
        }
        const std::size_t end = std::min(rows.size(), lastDiffering + 1 + context);
        // Where each side stands at the hunk's first row: the lines of the rows before it.
        std::size_t leftFirst = 0;
        std::size_t rightFirst = 0;
        for (std::size_t r = 0; r < begin; ++r) {
            leftFirst += rows[r].left ? 1 : 0;
            rightFirst += rows[r].right ? 1 : 0;
        }
        std::size_t leftCount = 0;
        std::size_t rightCount = 0;
        std::string body;
        std::string removed;
        std::string added;
        const auto flush = [&] {
            body += removed + added;
            removed.clear();
            added.clear();
        };
        for (std::size_t r = begin; r < end; ++r) {
            const DiffRow &at = rows[r];
            if (at.kind == DiffRow::Kind::Same) {
                flush();
                body += " " + left[*at.left] + "\n";
            } else {
                if (at.left) removed += "-" + left[*at.left] + "\n";
                if (at.right) added += "+" + right[*at.right] + "\n";
            }
            leftCount += at.left ? 1 : 0;
            rightCount += at.right ? 1 : 0;
        }
        flush();
        if (out.empty()) out = "--- " + leftName + "\n+++ " + rightName + "\n";
        out += "@@ -" + Range(leftFirst, leftCount) + " +" + Range(rightFirst, rightCount) +
               " @@\n" + body;
        row = end;
    }
    return out;
}

int CompareExchangeFiles(const std::string &left, const std::string &right,
                         const std::string &settingsPath, std::FILE *out, std::FILE *err) {
    OptionValues values;
    if (!settingsPath.empty()) {
        SettingsHashes settings;
        LoadSettings(settings, settingsPath);
        values = ReadOptions(settings);
        FreeSettings(settings);
    }
    Transcript records[2];
    const std::string *paths[2] = {&left, &right};
    for (int i = 0; i < 2; ++i) {
        std::string error;
        if (!ReadExchange(*paths[i], records[i], error)) {
            std::fprintf(err, "tarvotcpc: %s\n", error.c_str());
            return kCompareTrouble;
        }
    }
    const ChunkDecoderFactory decoders = ChunkDecodersFor(ViewEncodingOf(values));
    const ReceivedLines lines[2] = {ReceivedLinesOf(TranscriptSource(records[0]), decoders),
                                    ReceivedLinesOf(TranscriptSource(records[1]), decoders)};
    for (int i = 0; i < 2; ++i)
        if (lines[i].cut)
            std::fprintf(err, "tarvotcpc: 「%s」の受信データは長すぎるため、先頭だけを比べます\n",
                         paths[i]->c_str());
    const LineDiff diff = DiffLines(lines[0].lines, lines[1].lines);
    const std::string text = UnifiedDiff(lines[0].lines, lines[1].lines, diff, left, right);
    if (!text.empty() &&
        (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0)) {
        std::fprintf(err, "tarvotcpc: 比較の結果を書けませんでした\n");
        return kCompareTrouble;
    }
    return diff.differences.empty() ? kCompareSame : kCompareDiffer;
}

} // namespace tarvotcpc
