// The shapes of a whole record against each connection's bytes shaped on their own: whatever the
// chunking, the sent bytes between, the steps the reading is allowed and the parts read as no
// protocol.
#include "transcript/record_shapes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

struct Part {
    uint32_t connection;
    std::optional<Protocol> protocol;
    std::vector<std::string> replies; // received, with a sent request before each
};

std::string Repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const std::vector<Part> &Parts() {
    static const std::vector<Part> parts = {
        {1,
         Protocol::Http,
         {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nServer: x\r\n\r\nhello",
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
          "chunked\r\n\r\n4\r\nwiki\r\n5\r\npedia\r\n0\r\n\r\n",
          "HTTP/1.1 204 No Content\r\n\r\n",
          "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + Repeat("until the end\n", 300)}},
        {2, std::nullopt, {"+OK\r\n", "$5\r\nhello\r\n"}},
        {3,
         Protocol::Resp,
         {"+OK\r\n", "$5\r\nhello\r\n", "*2\r\n$1\r\na\r\n*1\r\n:42\r\n",
          "$" + std::to_string(70000) + "\r\n" + std::string(70000, 'v') + "\r\n", "-ERR no\r\n"}},
        {4, Protocol::Smtp, {"220 hi\r\n", "250-a\r\n250-b\r\n250 c\r\n", "221 bye\r\n"}},
    };
    return parts;
}

std::vector<Mark> Overlapping(const std::vector<Mark> &marks, uint64_t from, uint64_t to) {
    std::vector<Mark> out;
    for (const Mark &m : marks)
        if (m.end > from && m.begin < to) out.push_back(m);
    return out;
}

TEST(RecordShapes, EachConnectionShapedAsOnItsOwnWhateverTheSteps) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        Transcript transcript;
        int64_t clock = 1'700'000'000'000'000;
        // What each connection's received bytes give on their own, fed whole at their offsets.
        std::vector<std::unique_ptr<ProtocolShapes>> expected;
        RecordShapes shapes(transcript, [](uint32_t connection) -> std::optional<Protocol> {
            for (const Part &p : Parts())
                if (p.connection == connection) return p.protocol;
            return std::nullopt;
        });
        uint64_t step = 1 + rng() % 5000;
        for (const Part &part : Parts()) {
            transcript.BeginConnection(part.connection);
            expected.push_back(part.protocol ? std::make_unique<ProtocolShapes>(*part.protocol)
                                             : nullptr);
            for (const std::string &reply : part.replies) {
                const std::string request = "REQUEST\r\n";
                ASSERT_EQ(transcript.Append(Direction::Sent, request.data(), request.size(),
                                            clock += 5000),
                          0);
                for (std::size_t at = 0; at < reply.size();) {
                    const std::size_t n = std::min(reply.size() - at, std::size_t(1 + rng() % 900));
                    const uint64_t offset = transcript.Size();
                    // Some pieces merge into the chunk before, some start their own.
                    ASSERT_EQ(transcript.Append(Direction::Received, reply.data() + at, n,
                                                clock += rng() % 2 ? 10 : 5000),
                              0);
                    if (expected.back()) expected.back()->Feed(reply.substr(at, n), offset);
                    at += n;
                    // Reading goes on while bytes still come, in steps of any size.
                    if (rng() % 3 == 0) shapes.Advance(step);
                }
            }
            if (expected.back()) expected.back()->Finish();
        }
        while (!shapes.Advance(step)) {
        }

        ASSERT_EQ(shapes.Parts().size(), Parts().size());
        std::vector<Mark> allMarks;
        std::vector<uint64_t> nextReplies;
        for (std::size_t i = 0; i < Parts().size(); ++i) {
            const ProtocolShapes *got = shapes.Parts()[i].shapes.get();
            ASSERT_EQ(got != nullptr, expected[i] != nullptr);
            if (!got) continue;
            EXPECT_EQ(got->Marks(), expected[i]->Marks()) << "part " << i;
            // The last part is not over: its last reply may still grow.
            if (i + 1 < Parts().size()) {
                EXPECT_EQ(got->Replies(), expected[i]->Replies());
            }
            allMarks.insert(allMarks.end(), got->Marks().begin(), got->Marks().end());
            for (std::size_t r = 1; r < got->Replies().size(); ++r)
                nextReplies.push_back(got->Replies()[r].begin);
        }
        // Any window of the record asks the parts it crosses.
        for (int i = 0; i < 50; ++i) {
            const uint64_t from = rng() % transcript.Size();
            const uint64_t to = from + 1 + rng() % 3000;
            EXPECT_EQ(shapes.MarksIn(from, to), Overlapping(allMarks, from, to));
            std::vector<uint64_t> inside;
            for (const uint64_t at : nextReplies)
                if (at >= from && at < to) inside.push_back(at);
            EXPECT_EQ(shapes.NextRepliesIn(from, to), inside);
        }

        // Emptied: read again from the start, as the new bytes say.
        transcript.Clear();
        transcript.BeginConnection(3);
        const std::string reply = "$3\r\nabc\r\n";
        ASSERT_EQ(transcript.Append(Direction::Received, reply.data(), reply.size(), clock), 0);
        EXPECT_TRUE(shapes.Advance(step));
        ASSERT_EQ(shapes.Parts().size(), 1u);
        EXPECT_EQ(shapes.MarksIn(0, 100).size(), 2u); // the prefix and the body
    }
}

} // namespace
} // namespace tarvotcpc
