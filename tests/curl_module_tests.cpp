// The cURL module against a real HTTP server on loopback: loading through the preload entry,
// byte-exact bodies, progress counts, libcurl failures, and errors raised inside callbacks.
#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <lua.hpp>

#include "script/curl_module.h"
#include "script/host_functions.h"
#include "script/shared_state.h"
#include "tests/support/http_server.h"
#include "tests/support/lua_host.h"
#include "tests/support/output_capture.h"

namespace {

using std::chrono::milliseconds;

class CurlModule : public ::testing::Test {
  protected:
    void SetUp() override {
        OpenHostInterpreter();
    }
    void TearDown() override {
        ResetExitRequest();
        DeadConnectionSeconds = 30;
        // Closing collects every handle the chunks left behind; LeakSanitizer checks the rest.
        CloseHostInterpreter();
    }

    // Runs a chunk with URL set to the server's address of `path`; returns the error text,
    // "" on success.
    std::string Exec(const std::string& code, const std::string& path = "/file") {
        SetGlobalString("URL", server.Url(path));
        return RunChunk(code);
    }

    std::string GlobalString(const char* name) {
        lua_getglobal(ScriptState, name);
        size_t length = 0;
        const char* bytes = lua_tolstring(ScriptState, -1, &length);
        std::string value = bytes != nullptr ? std::string(bytes, length) : "(nil)";
        lua_pop(ScriptState, 1);
        return value;
    }

    lua_Number GlobalNumber(const char* name) {
        lua_getglobal(ScriptState, name);
        const lua_Number value = lua_tonumber(ScriptState, -1);
        lua_pop(ScriptState, 1);
        return value;
    }

    HttpServer server;
};

// Binary bytes with many zero bytes, so any C-string handling would show.
std::string BinaryBody(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = i % 97 == 0 ? '\0' : static_cast<char>(state);
    }
    return bytes;
}

// Collects the body into the global `body` and the largest counts seen into `maxtotal`/`maxnow`.
const char* const CollectingPerform = R"(
    local cURL = require("cURL")
    local h = cURL.easy_init()
    h:setopt_url(URL)
    local parts = {}
    maxtotal, maxnow, calls = 0, 0, 0
    h:perform({
        writefunction = function(s) parts[#parts + 1] = s end,
        progressfunction = function(dltotal, dlnow)
            calls = calls + 1
            maxtotal = math.max(maxtotal, dltotal)
            maxnow = math.max(maxnow, dlnow)
            return 0
        end,
    })
    body, blocks = table.concat(parts), #parts
)";

} // namespace

TEST_F(CurlModule, RequireOpensThePreloadedModuleWithoutAnyFile) {
    lua_State* L = ScriptState;
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "preload");
    lua_getfield(L, -1, "cURL");
    EXPECT_EQ(lua_tocfunction(L, -1), luaopen_cURL);
    lua_pop(L, 3);

    EXPECT_EQ(Exec(R"(
        assert(package.loaded.cURL == nil, "loaded before require")
        assert(cURL == nil, "global before require")
        assert(debug.getregistry()["CURL.easy"] == nil, "metatable before require")
        package.path, package.cpath = "", ""
        local m = require("cURL")
        assert(type(m) == "table" and m == cURL and package.loaded.cURL == m)
        assert(require("cURL") == m, "second require gives another table")
        assert(type(m.easy_init) == "function")
        local h = m.easy_init()
        assert(type(h) == "userdata")
        assert(getmetatable(h) == debug.getregistry()["CURL.easy"])
        assert(type(h.setopt_url) == "function" and type(h.perform) == "function")
        assert(m.easy_init() ~= h)
    )"),
              "");
}

TEST_F(CurlModule, SetoptUrlChecksItsArgument) {
    EXPECT_EQ(Exec("h = require('cURL').easy_init()"), "");
    EXPECT_EQ(Exec("h:setopt_url({})"),
              "t:1: bad argument #1 to 'setopt_url' (string expected, got table)");
    EXPECT_EQ(Exec("h:setopt_url()"),
              "t:1: bad argument #1 to 'setopt_url' (string expected, got no value)");
    EXPECT_EQ(Exec("h.setopt_url({}, URL)"),
              "t:1: bad argument #1 to 'setopt_url' (CURL.easy expected, got table)");
    EXPECT_EQ(Exec("assert(select('#', h:setopt_url(8080)) == 0)"), "");
    // libcurl refuses URLs over 8 MB without writing its error buffer: its code's text is used,
    // never a text left from an earlier transfer.
    RefusingPort refusing;
    EXPECT_NE(Exec("h:setopt_url('http://127.0.0.1:" + std::to_string(refusing.Port()) +
                   "/') h:perform({})"),
              "");
    EXPECT_EQ(Exec("h:setopt_url(string.rep('a', 9000000))"),
              "t:1: A libcurl function was given a bad argument");
}

TEST_F(CurlModule, MultiMegabyteBinaryBodyArrivesByteExact) {
    const std::string expected = BinaryBody(5 * 1024 * 1024 + 123);
    server.Route("/file", HttpResponse::Body(expected));
    ASSERT_EQ(Exec(CollectingPerform), "");
    EXPECT_TRUE(GlobalString("body") == expected) << "body differs";
    EXPECT_GT(GlobalNumber("blocks"), 1);
    EXPECT_EQ(GlobalNumber("maxtotal"), expected.size());
    EXPECT_EQ(GlobalNumber("maxnow"), expected.size());
    EXPECT_EQ(server.RequestedPaths(), std::vector<std::string>{"/file"});
}

TEST_F(CurlModule, DownloadTotalStaysZeroWithoutContentLength) {
    const std::string expected = BinaryBody(300 * 1024);
    server.Route("/file", HttpResponse::WithoutLength(expected));
    ASSERT_EQ(Exec(CollectingPerform), "");
    EXPECT_TRUE(GlobalString("body") == expected);
    EXPECT_GT(GlobalNumber("calls"), 0);
    EXPECT_EQ(GlobalNumber("maxtotal"), 0);
    EXPECT_EQ(GlobalNumber("maxnow"), expected.size());
}

TEST_F(CurlModule, ErrorStatusBodyIsDeliveredAndPerformSucceeds) {
    server.Route("/file", HttpResponse::Body("no such package", 404));
    EXPECT_EQ(Exec(R"(
        local h = require("cURL").easy_init()
        h:setopt_url(URL)
        local got = ""
        assert(select("#", h:perform({writefunction = function(s) got = got .. s end})) == 0)
        assert(got == "no such package", got)
        -- A path the server does not know gets its own 404 page, also delivered.
        h:setopt_url(URL .. "/missing")
        got = ""
        h:perform({writefunction = function(s) got = got .. s end})
        assert(got == "not found\n", got)
    )"),
              "");
}

TEST_F(CurlModule, LibcurlFailuresRaiseTheErrorBufferTextAtTheCallingLine) {
    RefusingPort refusing;
    const std::string port = std::to_string(refusing.Port());
    const std::string refused = Exec("local h = require('cURL').easy_init()\n"
                                     "h:setopt_url('http://127.0.0.1:" +
                                     port +
                                     "/x')\n"
                                     "h:perform({})");
    EXPECT_EQ(refused.rfind("t:3: Failed to connect to 127.0.0.1 port " + port, 0), 0u) << refused;

    // Announced 1000 bytes, sent 100: the part arrives, then perform fails.
    server.Route("/file", HttpResponse::CloseMidBody(std::string(100, 'x'), 1000));
    EXPECT_EQ(Exec(R"(
        local h = require("cURL").easy_init()
        h:setopt_url(URL)
        got = ""
        h:perform({writefunction = function(s) got = got .. s end}))"),
              "t:5: transfer closed with 900 bytes remaining to read");
    EXPECT_EQ(GlobalString("got"), std::string(100, 'x'));
}

TEST_F(CurlModule, ProgressFunctionResultDecidesWhetherTheTransferGoesOn) {
    server.Route("/file", HttpResponse::Body("payload"));
    // Stalls long enough that only an abort ends the transfer early; the bound keeps a broken
    // abort from hanging the test.
    server.Route("/stall", HttpResponse::Stall("late", 0, milliseconds(20000)));
    ASSERT_EQ(Exec(R"(
        local cURL = require("cURL")
        function Verdict(result)
            local h = cURL.easy_init()
            h:setopt_url(URL)
            local ok, err = pcall(h.perform, h, {progressfunction = function() return result end,
                                                 writefunction = function() end})
            return ok, err
        end
    )"),
              "");
    for (const char* goesOn : {"0", "0.5", "-0.9", "nil", "true", "'yes'", "{}"}) {
        EXPECT_EQ(Exec(std::string("assert(Verdict(") + goesOn + "))"), "") << goesOn;
    }
    for (const char* aborts : {"1", "-1", "2^40", "0/0", "'1'"}) {
        EXPECT_EQ(Exec(std::string("local ok, err = Verdict(") + aborts +
                           ") assert(not ok) error(err, 0)",
                       "/stall"),
                  // Called through pcall, a C function, so Lua gives no position.
                  "Callback aborted")
            << aborts;
    }
}

TEST_F(CurlModule, ProgressCountsArriveExactlyAlsoFor2GiBAndMore) {
    for (const uint64_t announced :
         {uint64_t{2147483647}, uint64_t{2147483648}, uint64_t{3221225472}, uint64_t{4294967301},
          uint64_t{5000000000000}}) {
        server.Route("/file", HttpResponse::CloseMidBody("abc", announced));
        // Stops as soon as the announced size shows, so nothing near that size is sent.
        const std::string error = Exec(R"(
            local h = require("cURL").easy_init()
            h:setopt_url(URL)
            total = 0
            h:perform({writefunction = function() end,
                       progressfunction = function(dltotal, dlnow, ultotal, ulnow)
                           assert(ultotal == 0 and ulnow == 0)
                           total = dltotal
                           return dltotal ~= 0 and 1 or 0
                       end}))");
        EXPECT_NE(error, "") << announced;
        EXPECT_EQ(GlobalNumber("total"), static_cast<lua_Number>(announced)) << announced;
    }
}

TEST_F(CurlModule, CallbackErrorComesOutOfPerformAndTheHandleStaysUsable) {
    const std::string expected = BinaryBody(2 * 1024 * 1024);
    server.Route("/file", HttpResponse::Body(expected));
    EXPECT_EQ(Exec(R"(
        h = require("cURL").easy_init()
        h:setopt_url(URL)
        writes = 0
        h:perform({writefunction = function(s)
            writes = writes + 1
            error("disk full")
        end}))"),
              "t:7: disk full");
    EXPECT_EQ(GlobalNumber("writes"), 1) << "a callback ran after its transfer failed";

    EXPECT_EQ(Exec(R"(
        local parts = {}
        h:perform({writefunction = function(s) parts[#parts + 1] = s end})
        body = table.concat(parts))"),
              "");
    EXPECT_TRUE(GlobalString("body") == expected);

    // An error in the progress function while nothing arrives ends the stall at once.
    server.Route("/stall", HttpResponse::Stall("late", 0, milliseconds(20000)));
    EXPECT_EQ(Exec("h:setopt_url(URL) h:perform({progressfunction = function() "
                   "error('stop here') end})",
                   "/stall"),
              "t:1: stop here");
    // So does one in the header function.
    EXPECT_EQ(Exec("h:setopt_url(URL) h:perform({headerfunction = function(line) "
                   "error(line, 0) end})"),
              "HTTP/1.1 200 OK\r\n");
}

TEST_F(CurlModule, ErrorValuesThatAreNotStringsComeOutUnchanged) {
    server.Route("/file", HttpResponse::Body("data"));
    EXPECT_EQ(Exec(R"(
        local h = require("cURL").easy_init()
        h:setopt_url(URL)
        -- Level 0: at level 1 Lua itself would turn a number into a positioned string.
        local function fails(value, field)
            local ok, err = pcall(h.perform, h, {[field] = function() error(value, 0) end})
            assert(not ok, "perform succeeded")
            return err
        end
        local token = {}
        assert(rawequal(fails(token, "writefunction"), token), "table replaced")
        assert(rawequal(fails(token, "progressfunction"), token), "table replaced")
        assert(rawequal(fails(token, "headerfunction"), token), "table replaced")
        local n = fails(42, "writefunction")
        assert(type(n) == "number" and n == 42, tostring(n))
        assert(fails(false, "writefunction") == false)
        assert(fails(nil, "writefunction") == nil)
        assert(fails(print, "writefunction") == print)
    )"),
              "");
}

TEST_F(CurlModule, CallbacksCannotReuseTheirOwnRunningHandle) {
    server.Route("/file", HttpResponse::Body("data"));
    EXPECT_EQ(Exec(R"(
        h = require("cURL").easy_init()
        h:setopt_url(URL)
        h:perform({writefunction = function() h:perform({}) end}))"),
              "t:4: easy handle is busy in perform");
    EXPECT_EQ(Exec("h:perform({writefunction = function() h:setopt_url('http://x/') end})"),
              "t:1: easy handle is busy in perform");
    // A second handle may run a transfer of its own inside the first one's callback.
    EXPECT_EQ(Exec(R"(
        local inner = ""
        h:perform({writefunction = function()
            local other = require("cURL").easy_init()
            other:setopt_url(URL)
            other:perform({writefunction = function(s) inner = inner .. s end})
        end})
        assert(inner == "data", inner))"),
              "");
}

TEST_F(CurlModule, CallbacksAndProgressAreRemovedAfterEveryPerform) {
    server.Route("/file", HttpResponse::Body("first body"));
    server.Route("/again", HttpResponse::Body("second body"));
    ASSERT_EQ(Exec(R"(
        h = require("cURL").easy_init()
        h:setopt_url(URL)
        h:perform({writefunction = function() end, progressfunction = function() return 0 end,
                   headerfunction = function() end})
        h:setopt_url(URL:gsub("/file$", "/again"))
        pcall(h.perform, h, {writefunction = function() error("once") end,
                             progressfunction = function() return 0 end})
    )"),
              "");
    // Without callbacks libcurl writes the body to standard output; progress left on would
    // print libcurl's own meter on standard error.
    OutputCapture capture;
    const std::string error =
        Exec("h:perform({}) h:perform({writefunction = 'not a function', progressfunction = 1})");
    capture.Stop();
    EXPECT_EQ(error, "");
    EXPECT_EQ(capture.Out(), "second bodysecond body");
    EXPECT_EQ(capture.Err(), "");
}

TEST_F(CurlModule, ResumeFromAsksForTheRestForOnePerformOnly) {
    const std::string expected = BinaryBody(300 * 1024 + 7);
    server.Route("/file", HttpResponse::Body(expected));
    HttpResponse whole = HttpResponse::Body(expected);
    whole.honoursRanges = false;
    server.Route("/whole", whole);
    ASSERT_EQ(Exec(R"(
        h = require("cURL").easy_init()
        h:setopt_url(URL)
        local function get()
            local parts = {}
            h:perform({writefunction = function(s) parts[#parts + 1] = s end})
            return table.concat(parts)
        end
        h:setopt_resume_from(100001)
        rest, again = get(), get()
        h:setopt_resume_from(5)
        assert(not pcall(h.perform, h, {writefunction = function() error("x") end}))
        afterFailure = get()
    )"),
              "");
    EXPECT_TRUE(GlobalString("rest") == expected.substr(100001));
    EXPECT_TRUE(GlobalString("again") == expected) << "the resume point outlived its perform";
    EXPECT_TRUE(GlobalString("afterFailure") == expected);
    EXPECT_EQ(server.RequestedRanges(),
              (std::vector<std::string>{"bytes=100001-", "", "bytes=5-", ""}));

    // libcurl refuses a whole body sent instead of the rest; the script depends on this text.
    EXPECT_EQ(Exec("h:setopt_url(URL) h:setopt_resume_from(10) h:perform({writefunction = "
                   "function() error('written') end})",
                   "/whole"),
              "t:1: HTTP server doesn't seem to support byte ranges. Cannot resume.");
    for (const char* bad : {"-1", "0.5", "0/0", "2^60"}) {
        EXPECT_EQ(Exec(std::string("h:setopt_resume_from(") + bad + ")"),
                  "t:1: bad argument #1 to 'setopt_resume_from' (a whole number of bytes, 0 or "
                  "more, expected)")
            << bad;
    }
    EXPECT_EQ(Exec("h:setopt_resume_from('x')"),
              "t:1: bad argument #1 to 'setopt_resume_from' (number expected, got string)");
    EXPECT_EQ(Exec("h:perform({writefunction = function() h:setopt_resume_from(1) end})"),
              "t:1: easy handle is busy in perform");
    EXPECT_EQ(Exec("getmetatable(h).__gc(h) h:setopt_resume_from(1)"),
              "t:1: easy handle already cleaned up");
}

TEST_F(CurlModule, PerformChecksItsArguments) {
    EXPECT_EQ(Exec("h = require('cURL').easy_init() h:perform()"),
              "t:1: bad argument #1 to 'perform' (table expected, got no value)");
    EXPECT_EQ(Exec("h.perform(io.stdout, {})"),
              "t:1: bad argument #1 to 'perform' (CURL.easy expected, got userdata)");
}

TEST_F(CurlModule, YieldInsideACallbackIsAnErrorOfPerform) {
    server.Route("/file", HttpResponse::Body("data"));
    EXPECT_EQ(Exec(R"(
        local co = coroutine.create(function()
            local h = require("cURL").easy_init()
            h:setopt_url(URL)
            h:perform({writefunction = function() coroutine.yield() end})
        end)
        local ok, err = coroutine.resume(co)
        assert(not ok)
        error(err, 0))"),
              "attempt to yield across metamethod/C-call boundary");
}

TEST_F(CurlModule, HandlesAreCleanedUpOnceWhateverTheirState) {
    server.Route("/file", HttpResponse::Body("data"));
    // Handles left in globals, in locals, after success and after failure are all released by
    // lua_close in TearDown; an explicit __gc call must not lead to a second cleanup.
    EXPECT_EQ(Exec(R"(
        local cURL = require("cURL")
        kept = {cURL.easy_init(), cURL.easy_init()}
        kept[1]:setopt_url(URL)
        kept[1]:perform({writefunction = function() end})
        kept[2]:setopt_url(URL)
        pcall(kept[2].perform, kept[2], {writefunction = function() error("x") end})
        for i = 1, 50 do cURL.easy_init():setopt_url(URL) end
        collectgarbage()
        local h = cURL.easy_init()
        getmetatable(h).__gc(h)
        getmetatable(h).__gc(h)
        local ok, err = pcall(h.perform, h, {})
        assert(not ok and err:find("easy handle already cleaned up", 1, true), err)
    )"),
              "");
}

namespace {

std::atomic<bool> BodyArrived{false};

int NoteBodyArrived(lua_State*) {
    BodyArrived.store(true);
    return 0;
}

} // namespace

TEST_F(CurlModule, ServerGoingAwayMidTransferFailsPerform) {
    server.Route("/file", HttpResponse::Stall(std::string(1000, 'y'), 10, HttpResponse::UntilStop));
    BodyArrived.store(false);
    lua_register(ScriptState, "NoteBodyArrived", NoteBodyArrived);
    // Stops the server once the first bytes have arrived; the stall holds the transfer until then.
    std::thread stopper([this] {
        for (int i = 0; i < 2000 && !BodyArrived.load(); ++i) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        server.Stop();
    });
    const std::string error = Exec(R"(
        local h = require("cURL").easy_init()
        h:setopt_url(URL)
        got = ""
        h:perform({writefunction = function(s) got = got .. s NoteBodyArrived() end}))");
    stopper.join();
    EXPECT_EQ(error, "t:5: transfer closed with 990 bytes remaining to read");
    EXPECT_EQ(GlobalString("got"), std::string(10, 'y'));
}

TEST_F(CurlModule, ClosingTheLauncherCancelsPerformOnAStalledConnection) {
    // Held until the server stops: only the cancel ends these transfers in time (a broken one
    // would end after the 30 s dead-connection limit, with another text).
    server.Route("/stall", HttpResponse::Stall(std::string(100, 'z'), 10, HttpResponse::UntilStop));
    server.Route("/file", HttpResponse::Body("after"));
    ASSERT_EQ(Exec(R"(
        h = require("cURL").easy_init()
        function Download(withProgress)
            h:setopt_url(URL)
            got = ""
            h:perform({writefunction = function(s) got = got .. s end,
                       progressfunction = withProgress and function()
                           assert(AppRunning(), "progressfunction called while closing")
                           return 0
                       end})
        end)"),
              "");
    lua_register(ScriptState, "AppRunning", [](lua_State* L) {
        lua_pushboolean(L, !LauncherClosing());
        return 1;
    });
    const auto closeAtStall = [this](int stalls) {
        return std::thread([this, stalls] {
            server.WaitForStall("/stall", milliseconds(20000), stalls);
            AppRunning.store(false); // as the window's destroy handler does
        });
    };
    const std::string cancelled = "t:6: download cancelled: the launcher is closing";

    std::thread closer = closeAtStall(1);
    EXPECT_EQ(Exec("Download(false)", "/stall"), cancelled);
    closer.join();
    // Already closing: refused before any request is made.
    const size_t requests = server.RequestedPaths().size();
    EXPECT_EQ(Exec("Download(true)"), cancelled);
    EXPECT_EQ(server.RequestedPaths().size(), requests);

    ResetExitRequest();
    closer = closeAtStall(2);
    EXPECT_EQ(Exec("Download(true)", "/stall"), cancelled);
    closer.join();
    EXPECT_EQ(server.BodyBytesSent("/stall"), 20u);

    ResetExitRequest();
    EXPECT_EQ(Exec("Download(true)"), "");
    EXPECT_EQ(GlobalString("got"), "after");
}

TEST_F(CurlModule, ConnectionDeliveringNothingFailsAfterTheDeadConnectionTime) {
    DeadConnectionSeconds = 1;
    server.Route("/stall", HttpResponse::Stall("never sent", 0, HttpResponse::UntilStop));
    server.Route("/file", HttpResponse::Slow("0123456789", 1, milliseconds(10)));
    const std::string error = Exec(R"(
        h = require("cURL").easy_init()
        h:setopt_url(URL)
        h:perform({writefunction = function() end}))",
                                   "/stall");
    EXPECT_EQ(error.rfind("t:4: Operation too slow. Less than 1 bytes/sec", 0), 0u) << error;
    // A slow body that keeps coming arrives whole on the same handle.
    EXPECT_EQ(Exec("h:setopt_url(URL) got = '' "
                   "h:perform({writefunction = function(s) got = got .. s end})"),
              "");
    EXPECT_EQ(GlobalString("got"), "0123456789");
}

namespace {

// Five redirects, one of each kind, from /1 to /file; /0 adds a sixth.
void RouteRedirectChain(HttpServer& server) {
    server.Route("/0", HttpResponse::Redirect(302, "/1"));
    server.Route("/1", HttpResponse::Redirect(301, "/2"));
    server.Route("/2", HttpResponse::Redirect(302, "/3"));
    server.Route("/3", HttpResponse::Redirect(303, "/4"));
    server.Route("/4", HttpResponse::Redirect(307, "/5"));
    server.Route("/5", HttpResponse::Redirect(308, "/file"));
}

// Fetch(h) runs one transfer; the body, the header lines joined and the largest progress counts
// land in globals.
const char* const FetchFunction = R"(
    function Fetch(h)
        local parts, lines = {}, {}
        maxtotal, maxnow, body, headers = 0, 0, "", ""
        local ok, err = pcall(h.perform, h, {
            writefunction = function(s) parts[#parts + 1] = s end,
            headerfunction = function(line) lines[#lines + 1] = line end,
            progressfunction = function(dltotal, dlnow)
                maxtotal, maxnow = math.max(maxtotal, dltotal), math.max(maxnow, dlnow)
                return 0
            end,
        })
        body, headers = table.concat(parts), table.concat(lines)
        if not ok then error(err, 0) end
    end
)";

} // namespace

TEST_F(CurlModule, RedirectsAreFollowedOnlyWhenAskedAndAtMostFive) {
    const std::string expected = BinaryBody(200 * 1024);
    server.Route("/file", HttpResponse::Body(expected));
    RouteRedirectChain(server);
    ASSERT_EQ(Exec(FetchFunction), "");

    // Off by default: the redirect is the response, its page the body.
    ASSERT_EQ(Exec("h = require('cURL').easy_init() h:setopt_url(URL) Fetch(h)", "/1"), "");
    EXPECT_EQ(GlobalString("body"), "<html>moved to /2</html>\n");
    EXPECT_EQ(GlobalString("headers").rfind("HTTP/1.1 301 Moved Permanently\r\n", 0), 0u);

    // On: the script sees the response that carries the body, and only that one.
    ASSERT_EQ(Exec("assert(select('#', h:setopt_followlocation(true)) == 0) Fetch(h)"), "");
    EXPECT_TRUE(GlobalString("body") == expected);
    const std::string headers = GlobalString("headers");
    EXPECT_EQ(headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << headers;
    EXPECT_EQ(headers.find("Location"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("HTTP/1.1", 1), std::string::npos) << headers;
    EXPECT_EQ(GlobalNumber("maxtotal"), expected.size());
    EXPECT_EQ(GlobalNumber("maxnow"), expected.size());
    EXPECT_EQ(server.RequestedPaths(),
              (std::vector<std::string>{"/1", "/1", "/2", "/3", "/4", "/5", "/file"}));

    // A sixth is refused with libcurl's words, before its target is asked for.
    EXPECT_EQ(Exec("h:setopt_url(URL) Fetch(h)", "/0"), "Maximum (5) redirects followed");
    EXPECT_EQ(server.RequestedPaths().back(), "/5");
    EXPECT_EQ(GlobalString("body"), "") << "a redirect's page is never the body";

    // A redirect status without a Location is no redirect: that response is the body's.
    server.Route("/nowhere", HttpResponse::Body("nowhere to go", 302));
    EXPECT_EQ(Exec("h:setopt_url(URL) Fetch(h)", "/nowhere"), "");
    EXPECT_EQ(GlobalString("body"), "nowhere to go");
    EXPECT_EQ(GlobalString("headers").rfind("HTTP/1.1 302 Found\r\n", 0), 0u);
    EXPECT_NE(GlobalString("headers").find("Content-Length: 13\r\n\r\n"), std::string::npos);

    // The setting lasts until changed; numbers count as booleans.
    EXPECT_EQ(Exec("h:setopt_url(URL) h:setopt_followlocation(0) Fetch(h)", "/5"), "");
    EXPECT_EQ(GlobalString("body"), "<html>moved to /file</html>\n");
    EXPECT_EQ(Exec("h:setopt_followlocation(1) Fetch(h)"), "");
    EXPECT_TRUE(GlobalString("body") == expected);
    EXPECT_EQ(Exec("h:setopt_followlocation('yes')"),
              "t:1: bad argument #1 to 'setopt_followlocation' (boolean expected, got string)");
    EXPECT_EQ(Exec("h:setopt_followlocation()"),
              "t:1: bad argument #1 to 'setopt_followlocation' (boolean expected, got no value)");
    EXPECT_EQ(Exec("h:perform({writefunction = function() h:setopt_followlocation(false) end})"),
              "t:1: easy handle is busy in perform");
}

TEST_F(CurlModule, ResumeKeepsItsRangeThroughRedirectsWhichStayOnHttpOrHttps) {
    const std::string expected = BinaryBody(300 * 1024 + 11);
    server.Route("/file", HttpResponse::Body(expected));
    RouteRedirectChain(server);
    ASSERT_EQ(Exec(FetchFunction), "");
    ASSERT_EQ(Exec("h = require('cURL').easy_init() h:setopt_url(URL) "
                   "h:setopt_followlocation(true) h:setopt_resume_from(1000) Fetch(h)",
                   "/1"),
              "");
    EXPECT_TRUE(GlobalString("body") == expected.substr(1000));
    EXPECT_EQ(GlobalString("headers").rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u);
    EXPECT_EQ(GlobalNumber("maxtotal"), expected.size() - 1000);
    EXPECT_EQ(server.RequestedRanges(), std::vector<std::string>(6, "bytes=1000-"));

    // Plain http may move to https, never to another protocol, whatever libcurl's own default.
    server.Route("/ftp-scheme", HttpResponse::Redirect(302, "ftp://127.0.0.1:1/package.zip"));
    server.Route("/file-scheme", HttpResponse::Redirect(302, "file:///etc/hostname"));
    for (const char* scheme : {"ftp", "file"}) {
        const std::string error =
            Exec("h:setopt_url(URL) Fetch(h)", std::string("/") + scheme + "-scheme");
#ifdef _WIN32
        // The Windows build has no other protocol at all, and libcurl words that otherwise.
        EXPECT_NE(error, "") << scheme;
#else
        EXPECT_EQ(error,
                  std::string("Protocol \"") + scheme + "\" not supported or disabled in libcurl");
#endif
        EXPECT_EQ(GlobalString("body"), "") << scheme;
    }
}

#ifdef _WIN32
// A proxy that asks (407) is answered with the logged-on user's credentials through SSPI, which
// the libcurl that scripts/build-windows.sh builds must be able to do. Wine has no Windows logon
// to show the answer itself (tests/win32_proxy_tests.py).
TEST(CurlBuild, CanAnswerAProxyWithTheUsersCredentialsThroughSspi) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    EXPECT_NE(info->features & CURL_VERSION_SSPI, 0);
    EXPECT_NE(info->features & CURL_VERSION_NTLM, 0);
    EXPECT_NE(info->features & CURL_VERSION_SPNEGO, 0);
}
#endif

// What a script that retries reads after perform: libcurl's own code for each kind of failure
// (the text stays libcurl's), 0 again after a success; and HTTP's dates as numbers.
TEST_F(CurlModule, LastResultTellsWhatKindOfFailureItWasAndGetdateReadsHttpDates) {
    const RefusingPort refusing;
    server.Route("/cut", HttpResponse::CloseMidBody(std::string(100, 'x'), 1000));
    server.Route("/reset", HttpResponse::Reset());
    server.Route("/file", HttpResponse::Body("whole"));
    server.Route("/part", HttpResponse::Body(std::string(1000, 'p'), 206));
    ASSERT_EQ(Exec(R"(
        h = require("cURL").easy_init()
        function Code(url, callbacks, from)
            h:setopt_url(url)
            h:setopt_resume_from(from or 0)
            local ok, err = pcall(h.perform, h, callbacks or {writefunction = function() end})
            return h:last_result(), err
        end)"),
              "");
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
    const auto code = [&](const std::string& call) {
        EXPECT_EQ(Exec("Result, Reason = " + call), "") << call;
        return GlobalNumber("Result");
    };
    EXPECT_EQ(code("Code(URL)"), 0) << "before any perform";
    EXPECT_EQ(code("Code('http://127.0.0.1:" + std::to_string(refusing.Port()) + "/x')"), 7);
    EXPECT_EQ(GlobalString("Reason").find("Failed to connect"), 0u) << GlobalString("Reason");
    EXPECT_EQ(code("Code('" + base + "/cut')"), 18);
    EXPECT_EQ(GlobalString("Reason"), "transfer closed with 900 bytes remaining to read");
    // A reset before any answer: Linux reports a failed receive (56); under Wine it reads as a
    // connection closed without an answer (52), which Wine cannot show otherwise.
    const lua_Number reset = code("Code('" + base + "/reset')");
#ifdef _WIN32
    EXPECT_TRUE(reset == 56 || reset == 52) << reset;
#else
    EXPECT_EQ(reset, 56);
#endif
    EXPECT_EQ(code("Code('" + base + "/file')"), 0) << "a success clears it";
    // A 206 that does not say it starts where the resume asked.
    EXPECT_EQ(code("Code('" + base + "/part', nil, 10)"), 33);
    // The script's own callbacks: a refused write and a progress abort.
    EXPECT_EQ(code("Code('" + base + "/file', {writefunction = function() error('full') end})"),
              23);
    EXPECT_EQ(code("Code('" + base + "/file', {progressfunction = function() return 1 end})"), 42);
    RequestExit(0);
    EXPECT_EQ(code("Code('" + base + "/file')"), 42) << "refused while closing";
    ResetExitRequest();

    EXPECT_EQ(Exec("Result = cURL.getdate('Sun, 06 Nov 1994 08:49:37 GMT')"), "");
    EXPECT_EQ(GlobalNumber("Result"), 784111777);
    EXPECT_EQ(Exec("Result = cURL.getdate('Sunday, 06-Nov-94 08:49:37 GMT')"), "");
    EXPECT_EQ(GlobalNumber("Result"), 784111777);
    EXPECT_EQ(Exec("assert(cURL.getdate('soon') == nil) assert(cURL.getdate('') == nil)"), "");
    EXPECT_NE(Exec("cURL.getdate()"), "");
}
