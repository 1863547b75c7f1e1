// The product's caption and the two kinds of message box the client shows.
#pragma once

namespace tarvotcpc {

inline constexpr char kProductCaption[] = "TARVO TCP/IP CLIENT";

enum class MessageStyle {
    Warning, // warning icon, no caption: a connection that could not be made
    Notice,  // caption kProductCaption, no icon: the end of a connection
};

} // namespace tarvotcpc
