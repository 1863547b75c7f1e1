#include "exchange/script_run.hpp"

#include "exchange/script_pattern.hpp"
#include "text/utf8_char.hpp"
#include "transcript/text_decoder.hpp"
#include "transcript/transcript_render.hpp"

#include <lua5.4/lauxlib.h>
#include <lua5.4/lua.h>
#include <lua5.4/lualib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvotcpc {

namespace {

constexpr std::size_t kLastBytes = 64;
// Instructions between two looks at the stop flag.
constexpr int kHookCount = 1000;

ScriptRun *&RunOf(lua_State *L) {
    return *static_cast<ScriptRun **>(lua_getextraspace(L));
}

std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// The line of "name:12: text", as Lua words its errors.
int LineOf(const std::string &message, const std::string &name) {
    if (message.compare(0, name.size(), name) != 0 || message.size() <= name.size() ||
        message[name.size()] != ':')
        return 0;
    return std::atoi(message.c_str() + name.size() + 1);
}

// The Lua side of print, which goes to the record as log does.
constexpr char kPrelude[] = R"(
local log, tostring, select, concat = log, tostring, select, table.concat
print = function(...)
  local parts = {}
  for i = 1, select("#", ...) do parts[i] = tostring((select(i, ...))) end
  log(concat(parts, "\t"))
end
)";

} // namespace

// The functions the script sees. Each body reads its arguments without raising a Lua error, then
// either fills results_ and returns their count, or puts the message in error_ and returns -1;
// Entry raises the error or pushes the results once no C++ object of the body is alive, since a
// Lua error unwinds the stack without running destructors.
struct ScriptLua {
    using Body = int (*)(lua_State *L, ScriptRun &run);

    template <Body body> static int Entry(lua_State *L) {
        ScriptRun &run = *RunOf(L);
        run.results_.clear();
        run.error_.clear();
        run.unreachable_ = false;
        const int count = body(L, run);
        if (count < 0) {
            luaL_where(L, 1);
            lua_pushlstring(L, run.error_.data(), run.error_.size());
            lua_concat(L, 2);
            // A run that ends on this error ended because the peer could not be reached.
            if (run.unreachable_) run.connectError_ = lua_tostring(L, -1);
            return lua_error(L);
        }
        for (const auto &value : run.results_) {
            if (value)
                lua_pushlstring(L, value->data(), value->size());
            else
                lua_pushnil(L);
        }
        return count;
    }

    static int Fail(ScriptRun &run, std::string message) {
        run.error_ = std::move(message);
        return -1;
    }

    // A text argument: a string, or a number in Lua's own form.
    static bool Text(lua_State *L, int index, std::string &out) {
        if (lua_type(L, index) == LUA_TSTRING) {
            std::size_t size = 0;
            const char *text = lua_tolstring(L, index, &size);
            out.assign(text, size);
            return true;
        }
        if (lua_type(L, index) == LUA_TNUMBER) {
            if (lua_isinteger(L, index)) {
                out = std::to_string(lua_tointeger(L, index));
            } else {
                char text[64];
                std::snprintf(text, sizeof text, "%.14g", lua_tonumber(L, index));
                out = text;
            }
            return true;
        }
        return false;
    }

    // A number of seconds: absent (the default), or a number from 0 up, at most the longest wait.
    static bool Seconds(lua_State *L, int index, double fallback, const ScriptRun &run,
                        double &out) {
        if (lua_isnoneornil(L, index)) {
            out = std::min(fallback, run.options_.longestWait);
            return true;
        }
        if (lua_type(L, index) != LUA_TNUMBER) return false;
        const double seconds = lua_tonumber(L, index);
        if (!(seconds >= 0) || std::isinf(seconds)) return false;
        out = std::min(seconds, run.options_.longestWait);
        return true;
    }

    static ScriptRun::Clock::time_point Deadline(double seconds) {
        return ScriptRun::Clock::now() + std::chrono::duration_cast<ScriptRun::Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    }

    static int Stopped(ScriptRun &run) { return Fail(run, "スクリプトを止めました"); }

    // The innermost line of the script's own text that led here (print goes through the
    // prelude, a helper function through the script's other lines).
    static int ScriptLine(lua_State *L, const ScriptRun &run) {
        const std::string source = "=" + run.name_;
        lua_Debug ar;
        for (int level = 1; level < 16 && lua_getstack(L, level, &ar) != 0; ++level) {
            if (lua_getinfo(L, "Sl", &ar) != 0 && ar.source != nullptr && source == ar.source)
                return ar.currentline;
        }
        return 0;
    }

    // Tells the driver which step begins.
    static void Report(lua_State *L, const ScriptRun &run, const char *function,
                       const std::string &what) {
        if (!run.options_.step) return;
        ScriptStep step;
        step.function = function;
        step.line = ScriptLine(L, run);
        step.text = run.name_ + ":" + std::to_string(step.line) + ": " + function + ": " + what;
        run.options_.step(step);
    }

    static std::string UpTo(double seconds) { return " (" + SecondsText(seconds) + "秒まで)"; }

    static int Send(lua_State *L, ScriptRun &run) {
        std::string text;
        if (!Text(L, 1, text)) return Fail(run, "send: 送る文字列を渡してください");
        SendBytes out;
        if (run.placeholders_) {
            PreparedSend prepared = PrepareSend(text, &*run.placeholders_, run.options_.encoding,
                                                run.options_.lineEnding, run.options_.escapes);
            out = std::move(prepared.bytes);
            ++run.placeholders_->counter;
        } else {
            out = EncodeForSend(text, run.options_.encoding, run.options_.lineEnding,
                                run.options_.escapes);
        }
        if (!out.ok) return Fail(run, "send: " + out.error);
        Report(L, run, "send", "「" + Shown(text) + "」");
        return Out(run, "send", std::move(out.bytes));
    }

    static int SendBytesOf(lua_State *L, ScriptRun &run) {
        if (lua_type(L, 1) != LUA_TSTRING)
            return Fail(run, "send_bytes: 送るバイト列を文字列で渡してください");
        std::size_t size = 0;
        const char *bytes = lua_tolstring(L, 1, &size);
        std::string out(bytes, size);
        Report(L, run, "send_bytes", "「" + Shown(out) + "」");
        return Out(run, "send_bytes", std::move(out));
    }

    static int Out(ScriptRun &run, const char *function, std::string bytes) {
        {
            std::lock_guard<std::mutex> lock(run.mutex_);
            if (!run.connected_)
                return Fail(run, std::string(function) + ": 接続していないため送れません");
        }
        const std::string refused = run.channel_.Send(std::move(bytes));
        if (!refused.empty()) return Fail(run, std::string(function) + ": " + refused);
        return 0;
    }

    // What the connection's end means to a wait: why it ended, or that there was none.
    static std::string EndedText(const ScriptRun &run) {
        return run.endReason_.empty() ? std::string("接続していません") : run.endReason_;
    }

    // The received text up to `end` is the wait's result: it leaves the pending text at once,
    // under the same lock as the search, as more may be arriving.
    static void TakeUpTo(ScriptRun &run, std::size_t end) {
        run.results_.emplace_back(run.pending_.substr(0, end));
        run.pending_.erase(0, end);
    }

    static int Expect(lua_State *L, ScriptRun &run) {
        std::string needle;
        double seconds = 0;
        if (!Text(L, 1, needle)) return Fail(run, "expect: 待つ文字列を渡してください");
        if (!Seconds(L, 2, run.options_.expectSeconds, run, seconds))
            return Fail(run, "expect: 待つ秒数は0以上の数で指定してください");
        Report(L, run, "expect", "「" + Shown(needle) + "」を待ちます" + UpTo(seconds));
        bool found = false;
        std::string ended;
        const ScriptRun::Waited waited = run.WaitUntil(
            [&] {
                const std::size_t at = run.pending_.find(needle);
                if (at != std::string::npos) {
                    TakeUpTo(run, at + needle.size());
                    found = true;
                    return true;
                }
                if (!run.connected_) ended = EndedText(run);
                return !run.connected_;
            },
            Deadline(seconds));
        if (waited == ScriptRun::Waited::Stopped) return Stopped(run);
        if (found) return 1;
        std::lock_guard<std::mutex> lock(run.mutex_);
        return Fail(run, run.NotDone("expect: 「" + Shown(needle) + "」", waited, seconds, ended));
    }

    static int ExpectRe(lua_State *L, ScriptRun &run) {
        std::string pattern;
        double seconds = 0;
        if (lua_type(L, 1) != LUA_TSTRING)
            return Fail(run, "expect_re: 正規表現を文字列で渡してください");
        Text(L, 1, pattern);
        if (!Seconds(L, 2, run.options_.expectSeconds, run, seconds))
            return Fail(run, "expect_re: 待つ秒数は0以上の数で指定してください");
        const ScriptPattern compiled(pattern);
        if (!compiled.ok()) return Fail(run, "expect_re: " + compiled.Error());
        Report(L, run, "expect_re", "/" + Shown(pattern) + "/ を待ちます" + UpTo(seconds));
        ScriptPattern::Outcome outcome = ScriptPattern::Outcome::NotFound;
        std::string ended;
        uint64_t tried = UINT64_MAX; // the pending text's version at the last try
        const ScriptRun::Waited waited = run.WaitUntil(
            [&] {
                if (run.pendingVersion_ != tried) {
                    PatternMatch match;
                    outcome = compiled.Find(run.pending_, match);
                    if (outcome == ScriptPattern::Outcome::Found) {
                        TakeUpTo(run, match.end);
                        for (auto &group : match.groups)
                            run.results_.push_back(std::move(group));
                    }
                    if (outcome != ScriptPattern::Outcome::NotFound) return true;
                    tried = run.pendingVersion_;
                }
                if (!run.connected_) ended = EndedText(run);
                return !run.connected_;
            },
            Deadline(seconds));
        if (waited == ScriptRun::Waited::Stopped) return Stopped(run);
        if (outcome == ScriptPattern::Outcome::Found) return static_cast<int>(run.results_.size());
        if (outcome == ScriptPattern::Outcome::TooHard)
            return Fail(run, "expect_re: 照合の手間が上限を超えました。正規表現を見直してください");
        std::lock_guard<std::mutex> lock(run.mutex_);
        return Fail(run,
                    run.NotDone("expect_re: /" + Shown(pattern) + "/", waited, seconds, ended));
    }

    static int Sleep(lua_State *L, ScriptRun &run) {
        double seconds = 0;
        if (lua_isnoneornil(L, 1) || !Seconds(L, 1, 0, run, seconds))
            return Fail(run, "sleep: 秒数を0以上の数で指定してください");
        Report(L, run, "sleep", SecondsText(seconds) + "秒待ちます");
        if (run.WaitUntil([] { return false; }, Deadline(seconds)) == ScriptRun::Waited::Stopped)
            return Stopped(run);
        return 0;
    }

    static int Connect(lua_State *L, ScriptRun &run) {
        bool tls = false;
        if (lua_type(L, 3) == LUA_TTABLE) {
            lua_pushliteral(L, "tls");
            lua_rawget(L, 3);
            const int type = lua_type(L, -1);
            tls = lua_toboolean(L, -1);
            lua_pop(L, 1);
            if (type != LUA_TNIL && type != LUA_TBOOLEAN)
                return Fail(run, "connect: tls には true か false を指定してください");
        } else if (!lua_isnoneornil(L, 3)) {
            return Fail(run, "connect: 3つめの引数は {tls=true} のような表にしてください");
        }
        std::string host;
        if (lua_type(L, 1) != LUA_TSTRING || !Text(L, 1, host) || host.empty() ||
            host.find('\0') != std::string::npos)
            return Fail(run, "connect: 接続先のホストを文字列で渡してください");
        // A number, or a text of one (a placeholder of vars).
        int isInteger = 0;
        const lua_Integer number = lua_type(L, 2) == LUA_TNUMBER || lua_type(L, 2) == LUA_TSTRING
                                       ? lua_tointegerx(L, 2, &isInteger)
                                       : 0;
        if (!isInteger || number < 1 || number > 65535)
            return Fail(run, "connect: ポートは1から65535までの整数で指定してください");
        const auto port = static_cast<int32_t>(number);
        uint64_t connectsBefore = 0;
        uint64_t securesBefore = 0;
        uint64_t endsBefore = 0;
        {
            std::lock_guard<std::mutex> lock(run.mutex_);
            if (run.connected_)
                return Fail(run, "connect: 接続中です。先に close() で切断してください");
            connectsBefore = run.connects_;
            securesBefore = run.secures_;
            endsBefore = run.ends_;
            run.pending_.clear();
        }
        Report(L, run, "connect", HostPort(host, port) + (tls ? "にTLSで" : "に") + "接続します");
        const std::string refused = run.channel_.Connect(host, port, tls);
        if (!refused.empty()) return Fail(run, "connect: " + refused);
        const double seconds = std::min(run.options_.connectSeconds, run.options_.longestWait);
        // Reached (and secured) counts even when the end follows in the same breath: the bytes
        // the peer sent before hanging up are still there for expect.
        bool reached = false;
        const ScriptRun::Waited waited = run.WaitUntil(
            [&] {
                reached =
                    run.connects_ != connectsBefore && (!tls || run.secures_ != securesBefore);
                return reached || run.ends_ != endsBefore;
            },
            Deadline(seconds));
        if (waited == ScriptRun::Waited::Stopped) return Stopped(run);
        if (reached) return 0;
        std::lock_guard<std::mutex> lock(run.mutex_);
        const std::string target = HostPort(host, port);
        run.unreachable_ = true;
        if (run.ends_ != endsBefore)
            return Fail(run, "connect: " + target + "に接続できませんでした: " + run.endReason_);
        if (waited == ScriptRun::Waited::TimedOut)
            return Fail(run, "connect: " + target + "に" + SecondsText(seconds) +
                                 "秒で接続できませんでした");
        return 0;
    }

    static std::string HostPort(const std::string &host, int32_t port) {
        const bool v6 = host.find(':') != std::string::npos;
        return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    }

    static int StartTls(lua_State *L, ScriptRun &run) {
        uint64_t securesBefore = 0;
        uint64_t endsBefore = 0;
        {
            std::lock_guard<std::mutex> lock(run.mutex_);
            if (!run.connected_) return Fail(run, "starttls: 接続していません");
            securesBefore = run.secures_;
            endsBefore = run.ends_;
        }
        Report(L, run, "starttls", "TLSに切り替えます");
        const std::string refused = run.channel_.StartTls();
        if (!refused.empty()) return Fail(run, "starttls: " + refused);
        const double seconds = std::min(run.options_.connectSeconds, run.options_.longestWait);
        const ScriptRun::Waited waited =
            run.WaitUntil([&] { return run.secures_ != securesBefore || run.ends_ != endsBefore; },
                          Deadline(seconds));
        if (waited == ScriptRun::Waited::Stopped) return Stopped(run);
        std::lock_guard<std::mutex> lock(run.mutex_);
        if (run.ends_ != endsBefore)
            return Fail(run, "starttls: TLSに切り替えられませんでした: " + run.endReason_);
        if (waited == ScriptRun::Waited::TimedOut)
            return Fail(run, "starttls: " + SecondsText(seconds) +
                                 "秒でTLSハンドシェイクが終わりませんでした");
        return 0;
    }

    static int Close(lua_State *L, ScriptRun &run) {
        {
            std::lock_guard<std::mutex> lock(run.mutex_);
            if (!run.connected_) return 0;
        }
        Report(L, run, "close", "切断します");
        run.channel_.Close();
        const double seconds = std::min(run.options_.connectSeconds, run.options_.longestWait);
        const ScriptRun::Waited waited =
            run.WaitUntil([&] { return !run.connected_; }, Deadline(seconds));
        if (waited == ScriptRun::Waited::Stopped) return Stopped(run);
        if (waited == ScriptRun::Waited::TimedOut)
            return Fail(run, "close: " + SecondsText(seconds) + "秒で切断が終わりませんでした");
        return 0;
    }

    // connected(): a boolean, which no Entry pushes; nothing here raises.
    static int IsConnected(lua_State *L) {
        ScriptRun &run = *RunOf(L);
        bool connected = false;
        {
            std::lock_guard<std::mutex> lock(run.mutex_);
            connected = run.connected_;
        }
        lua_pushboolean(L, connected ? 1 : 0);
        return 1;
    }

    static int Log(lua_State *L, ScriptRun &run) {
        std::string text;
        if (!Text(L, 1, text)) return Fail(run, "log: 記録する文字列を渡してください");
        Report(L, run, "log", Shown(text));
        run.channel_.Note(text);
        return 0;
    }

    // A text as a message shows it: control bytes escaped, long texts cut.
    static std::string Shown(std::string_view text) {
        constexpr std::size_t kLongest = 200;
        std::string out = EscapedBytes(text.substr(0, kLongest), false);
        if (text.size() > kLongest) out += "...";
        return out;
    }

    // Printable ASCII and UTF-8 as they are, CR, LF and tab as \r \n \t, other bytes as \xNN;
    // with allHex every byte from 0x80 up is \xNN too and a backslash is doubled, so that the
    // text names the bytes without doubt.
    static std::string EscapedBytes(std::string_view bytes, bool allHex) {
        std::string out;
        std::size_t i = 0;
        while (i < bytes.size()) {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            const std::size_t length = allHex || byte < 0x80 ? 0 : Utf8CharLength(bytes, i);
            if (length > 1) {
                out.append(bytes.substr(i, length));
                i += length;
                continue;
            }
            if (byte == '\r') {
                out += "\\r";
            } else if (byte == '\n') {
                out += "\\n";
            } else if (byte == '\t') {
                out += "\\t";
            } else if (byte == '\\' && allHex) {
                out += "\\\\";
            } else if (byte >= 0x20 && byte < 0x7F) {
                out += static_cast<char>(byte);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                out += hex;
            }
            ++i;
        }
        return out;
    }

    static void Hook(lua_State *L, lua_Debug *) {
        ScriptRun &run = *RunOf(L);
        if (!run.stop_.load(std::memory_order_relaxed)) return;
        // From now on every instruction raises again, so a pcall that caught the stop cannot go
        // on: the next instruction outside it ends the script.
        lua_sethook(L, Hook, LUA_MASKCOUNT, 1);
        luaL_error(L, "スクリプトを止めました");
    }

    static void *Alloc(void *ud, void *block, std::size_t oldSize, std::size_t newSize) {
        ScriptRun &run = *static_cast<ScriptRun *>(ud);
        const std::size_t old = block != nullptr ? oldSize : 0;
        if (newSize == 0) {
            std::free(block);
            run.memoryUsed_ -= old;
            return nullptr;
        }
        if (newSize > old && run.memoryUsed_ - old + newSize > run.options_.memoryLimit)
            return nullptr;
        void *grown = std::realloc(block, newSize);
        if (grown != nullptr) run.memoryUsed_ = run.memoryUsed_ - old + newSize;
        return grown;
    }

    // The libraries a script may use, and nothing else; called in protected mode.
    static int OpenSandbox(lua_State *L) {
        ScriptRun &run = *RunOf(L);
        luaL_requiref(L, LUA_GNAME, luaopen_base, 1);
        luaL_requiref(L, LUA_STRLIBNAME, luaopen_string, 1);
        luaL_requiref(L, LUA_TABLIBNAME, luaopen_table, 1);
        luaL_requiref(L, LUA_MATHLIBNAME, luaopen_math, 1);
        luaL_requiref(L, LUA_UTF8LIBNAME, luaopen_utf8, 1);
        luaL_requiref(L, LUA_OSLIBNAME, luaopen_os, 0); // not global: three of its functions are
        lua_settop(L, 0);

        // Loading code from files or from binary chunks, and turning functions into bytecode.
        for (const char *name : {"dofile", "loadfile", "load", "require", "collectgarbage"}) {
            lua_pushnil(L);
            lua_setglobal(L, name);
        }
        lua_getglobal(L, LUA_STRLIBNAME);
        lua_pushnil(L);
        lua_setfield(L, -2, "dump");
        lua_pop(L, 1);

        lua_getfield(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
        lua_getfield(L, -1, LUA_OSLIBNAME);
        lua_newtable(L);
        for (const char *name : {"time", "clock", "date", "difftime"}) {
            lua_getfield(L, -2, name);
            lua_setfield(L, -2, name);
        }
        lua_setglobal(L, LUA_OSLIBNAME);
        lua_pop(L, 1);
        // The full os table stays out of reach of the script.
        lua_pushnil(L);
        lua_setfield(L, -2, LUA_OSLIBNAME);
        lua_pop(L, 1);

        const luaL_Reg functions[] = {{"send", Entry<Send>},     {"send_bytes", Entry<SendBytesOf>},
                                      {"expect", Entry<Expect>}, {"expect_re", Entry<ExpectRe>},
                                      {"sleep", Entry<Sleep>},   {"starttls", Entry<StartTls>},
                                      {"close", Entry<Close>},   {"connect", Entry<Connect>},
                                      {"log", Entry<Log>},       {"connected", IsConnected},
                                      {nullptr, nullptr}};
        lua_pushglobaltable(L);
        luaL_setfuncs(L, functions, 0);
        lua_pop(L, 1);

        lua_newtable(L);
        for (const auto &[key, value] : run.options_.vars) {
            lua_pushlstring(L, value.data(), value.size());
            lua_setfield(L, -2, key.c_str());
        }
        lua_setglobal(L, "vars");

        if (luaL_loadbufferx(L, kPrelude, sizeof kPrelude - 1, "=prelude", "t") != LUA_OK)
            return lua_error(L);
        lua_call(L, 0, 0);
        return 0;
    }
};

ScriptRun::ScriptRun(std::string source, std::string name, ExchangeChannel &channel,
                     ScriptOptions options)
    : source_(std::move(source)), name_(std::move(name)), channel_(channel),
      options_(std::move(options)), connected_(options_.connected),
      placeholders_(options_.placeholders) {
    if (options_.encoding != SendEncoding::Utf8)
        decoder_ = std::make_unique<Decoder>(options_.encoding);
    wakeTarget_->run = this;
    channel_.Bind(*this, [target = wakeTarget_] {
        std::lock_guard<std::mutex> lock(target->mutex);
        if (target->run != nullptr) target->run->Wake();
    });
}

ScriptRun::~ScriptRun() {
    Stop();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(wakeTarget_->mutex);
    wakeTarget_->run = nullptr;
}

void ScriptRun::Start() {
    thread_ = std::thread([this] { RunHere(); });
}

void ScriptRun::Stop() {
    stop_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void ScriptRun::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}

bool ScriptRun::Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

bool ScriptRun::WaitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return finishedChanged_.wait_for(lock, timeout, [this] { return finished_; });
}

ScriptOutcome ScriptRun::Outcome() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcome_;
}

void ScriptRun::Finish(ScriptOutcome outcome) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outcome_ = std::move(outcome);
        finished_ = true;
        finishedChanged_.notify_all();
    }
    if (options_.finished) options_.finished();
}

void ScriptRun::RunHere() {
    memoryUsed_ = 0;
    lua_State *L = lua_newstate(ScriptLua::Alloc, this);
    if (L == nullptr) {
        Finish({ScriptOutcome::State::Failed, "スクリプトを動かすメモリが足りません", 0});
        return;
    }
    RunOf(L) = this;
    ScriptOutcome outcome;
    lua_pushcfunction(L, ScriptLua::OpenSandbox);
    int rc = lua_pcall(L, 0, 0, 0);
    if (rc == LUA_OK)
        rc = luaL_loadbufferx(L, source_.data(), source_.size(), ("=" + name_).c_str(), "t");
    if (rc == LUA_OK) {
        lua_sethook(L, ScriptLua::Hook, LUA_MASKCOUNT, kHookCount);
        rc = lua_pcall(L, 0, 0, 0);
    }
    if (stop_.load()) {
        outcome.state = ScriptOutcome::State::Stopped;
        outcome.message = "スクリプトを止めました";
    } else if (rc == LUA_OK) {
        outcome.state = ScriptOutcome::State::Succeeded;
    } else {
        outcome.state = ScriptOutcome::State::Failed;
        if (rc == LUA_ERRMEM) {
            outcome.message = name_ + ": スクリプトのメモリが上限 (" +
                              std::to_string(options_.memoryLimit >> 20) + " MiB) を超えました";
        } else if (lua_type(L, -1) == LUA_TSTRING) {
            outcome.message = lua_tostring(L, -1);
        } else {
            outcome.message = name_ + ": スクリプトが文字列でない値でエラーを起こしました";
        }
        outcome.line = LineOf(outcome.message, name_);
        outcome.connectFailed = !connectError_.empty() && outcome.message == connectError_;
    }
    lua_close(L);
    Finish(std::move(outcome));
}

ScriptRun::Waited ScriptRun::WaitUntil(const std::function<bool()> &ready,
                                       Clock::time_point deadline) {
    for (;;) {
        channel_.Poll();
        std::unique_lock<std::mutex> lock(mutex_);
        if (stop_.load()) return Waited::Stopped;
        if (ready()) return Waited::Done;
        if (Clock::now() >= deadline) return Waited::TimedOut;
        changed_.wait_until(lock, deadline, [this] { return woken_ || stop_.load(); });
        woken_ = false;
    }
}

void ScriptRun::Received(std::string_view bytes, int64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (decoder_) {
        std::vector<Unit> units;
        decoder_->Feed(bytes, decoded_, units);
        decoded_ += bytes.size();
        for (const Unit &unit : units) {
            if (unit.kind == UnitKind::Char)
                AppendUtf8(pending_, unit.codepoint);
            else if (unit.kind == UnitKind::Invalid)
                pending_ += static_cast<char>(unit.codepoint);
        }
    } else {
        pending_.append(bytes);
    }
    if (pending_.size() > options_.receiveWindow)
        pending_.erase(0, pending_.size() - options_.receiveWindow);
    ++pendingVersion_;
    lastBytes_.append(bytes.substr(bytes.size() > kLastBytes ? bytes.size() - kLastBytes : 0));
    if (lastBytes_.size() > kLastBytes) lastBytes_.erase(0, lastBytes_.size() - kLastBytes);
    woken_ = true;
    changed_.notify_all();
}

void ScriptRun::Connected(const std::string &) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    ++connects_;
    lastBytes_.clear();
    woken_ = true;
    changed_.notify_all();
}

void ScriptRun::Secured(const std::string &) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++secures_;
    woken_ = true;
    changed_.notify_all();
}

void ScriptRun::Ended(const std::string &reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    ++ends_;
    endReason_ = reason;
    woken_ = true;
    changed_.notify_all();
}

std::string ScriptRun::LastBytesText() const {
    if (lastBytes_.empty()) return "まだ何も受信していません";
    return "最後に受信したバイト: \"" + ScriptLua::EscapedBytes(lastBytes_, true) + "\"";
}

std::string ScriptRun::NotDone(const std::string &what, Waited waited, double seconds,
                               const std::string &ended) const {
    std::string text = what;
    if (waited == Waited::TimedOut)
        text += "を" + SecondsText(seconds) + "秒待ちましたが届きませんでした";
    else
        text += "を待つ間に接続が終わりました (" + ended + ")";
    return text + "。" + LastBytesText();
}

} // namespace tarvotcpc
