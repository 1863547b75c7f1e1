// Every function a script sees, called with any values at all (texts of any bytes, numbers that
// are no numbers, tables, functions, nothing): each call returns or raises a Lua error that the
// script catches, and the run ends normally. Nothing crashes, hangs or leaks.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "exchange/script_run.hpp"

namespace {

// A peer that echoes what is sent and answers every request at once.
class EchoChannel : public tarvotcpc::ExchangeChannel {
  public:
    void Bind(tarvotcpc::ExchangeSink &sink, std::function<void()>) override { sink_ = &sink; }
    std::string Send(std::string bytes) override {
        sink_->Received(bytes, 0);
        return {};
    }
    std::string Connect(const std::string &host, int32_t, bool tls) override {
        if (host == "refused") {
            sink_->Ended("接続に失敗しました");
            return {};
        }
        sink_->Connected(host);
        if (tls) sink_->Secured("TLSv1.3");
        return {};
    }
    std::string StartTls() override {
        sink_->Secured("TLSv1.3");
        return {};
    }
    void Close() override { sink_->Ended("切断しました"); }
    void Note(const std::string &) override {}

  private:
    tarvotcpc::ExchangeSink *sink_ = nullptr;
};

// A Lua literal for any bytes.
std::string Quoted(const std::string &bytes) {
    std::string out = "\"";
    for (const char c : bytes)
        out += "\\" + std::to_string(static_cast<unsigned char>(c));
    return out + "\"";
}

std::string Value(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
    case 0:
        return "nil";
    case 1:
        return in.ConsumeBool() ? "true" : "false";
    case 2:
        return std::to_string(in.ConsumeIntegral<int64_t>());
    case 3:
        return "(0/0)";
    case 4:
        return in.ConsumeBool() ? "(1/0)" : "(-1/0)";
    case 5:
        return "math.mininteger";
    case 6:
        return std::to_string(in.ConsumeFloatingPointInRange<double>(-1e6, 1e6));
    case 7:
        return "{tls = " + std::string(in.ConsumeBool() ? "true" : "1") + "}";
    case 8:
        return "setmetatable({}, {__index = function() error('no') end})";
    case 9:
        return "print";
    case 10:
        return in.ConsumeBool() ? "\"refused\"" : "\"127.0.0.1\"";
    default:
        return Quoted(in.ConsumeRandomLengthString(64));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const char *const functions[] = {"send",      "send_bytes", "expect",
                                            "expect_re", "sleep",      "starttls",
                                            "close",     "connect",    "log"};
    tarvotcpc::ScriptOptions options;
    options.encoding = static_cast<tarvotcpc::SendEncoding>(in.ConsumeIntegralInRange<int>(0, 4));
    options.escapes = in.ConsumeBool();
    options.connected = in.ConsumeBool();
    options.longestWait = 0.002;
    options.memoryLimit = std::size_t{32} << 20;
    options.vars = {{"port", "6379"}};
    std::string source;
    for (int call = 0; call < 8 && in.remaining_bytes() > 0; ++call) {
        source += "pcall(";
        source += functions[in.ConsumeIntegralInRange<std::size_t>(0, 8)];
        const int count = in.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < count; ++i)
            source += ", " + Value(in);
        source += ")\n";
    }
    EchoChannel channel;
    tarvotcpc::ScriptRun run(source, "fuzz.lua", channel, options);
    run.RunHere();
    const tarvotcpc::ScriptOutcome outcome = run.Outcome();
    FUZZ_CHECK(outcome.state == tarvotcpc::ScriptOutcome::State::Succeeded);
    return 0;
}
