// Which protocol each connection's replies are read as, from the option as stored and the port.
#include "session/page_protocol.hpp"

#include <gtest/gtest.h>

namespace tarvotcpc {
namespace {

ProtocolChoice Stored(const char *value) {
    OptionValues values;
    EXPECT_TRUE(values.SetText(Option::ViewProtocol, value)) << value;
    return ViewProtocolOf(values);
}

TEST(PageProtocol, ThePortDecidesOnlyForConnectionsThisSideMade) {
    PageProtocol page;
    page.BeginConnection(1, 6379);
    page.BeginConnection(2, std::nullopt); // a peer accepted on a listening port
    page.BeginConnection(3, 8080);
    page.BeginConnection(4, 443);
    EXPECT_EQ(page.Of(1), std::nullopt) << "off by default";

    EXPECT_TRUE(page.Choose(Stored("auto")));
    EXPECT_FALSE(page.Choose(Stored("AUTO")));
    EXPECT_EQ(page.Of(1), Protocol::Resp);
    EXPECT_EQ(page.Of(2), std::nullopt);
    EXPECT_EQ(page.Of(3), Protocol::Http);
    EXPECT_EQ(page.Of(4), std::nullopt);
    EXPECT_EQ(page.Of(9), std::nullopt) << "a connection it never saw";

    // A protocol chosen reads every connection so, listening ones too.
    const std::pair<const char *, Protocol> fixed[] = {{"http", Protocol::Http},
                                                       {"resp", Protocol::Resp},
                                                       {"smtp", Protocol::Smtp},
                                                       {"ftp", Protocol::Ftp},
                                                       {"imap", Protocol::Imap}};
    for (const auto &[value, protocol] : fixed) {
        EXPECT_TRUE(page.Choose(Stored(value)));
        EXPECT_EQ(page.Of(2), protocol);
        EXPECT_EQ(page.Of(4), protocol);
    }
    EXPECT_TRUE(page.Choose(Stored("none")));
    EXPECT_EQ(page.Of(3), std::nullopt);

    page.Choose(Stored("auto"));
    page.Forget();
    EXPECT_EQ(page.Of(1), std::nullopt) << "the record was emptied";
}

} // namespace
} // namespace tarvotcpc
