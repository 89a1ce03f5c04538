// Real launchers (the loopback test builds, under Xvfb) against servers no one here wrote: Debian's
// nginx and the forward proxy tinyproxy, each run by the test as its own process on loopback
// ports it picks, with a configuration written per run. Each case reads the servers' own logs to
// tell what was asked, and checks what is on disk afterwards.
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/launcher_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/server_process.h"
#include "tests/support/tls_server.h"
#include "tests/support/zip_builder.h"

#if !defined(LAUNCHER_LOOPBACK_PATH) || !defined(LAUNCHER_LOOPBACK_HTTPS_PATH) ||                  \
    !defined(LAUNCHER_LOOPBACK_PINNED_PATH)
#error "the loopback test builds of the launcher must be named"
#endif

namespace {

const std::string PackageName = "windows_pc_halden_202505171539.zip";
const std::string PackagePath = "/client/pc/2100/exe/" + PackageName;
const std::string MirrorPath = "/mirror/" + PackageName;
const char* const Started = "Process created successfully with PID: ";
const std::string AccessLog = "access.log";
const std::string ProxyLog = "tinyproxy.log";

// One line of nginx's access log in the format below: method, target, status, Range, body bytes,
// and the Via header a proxy adds.
std::string Logged(const std::string& target, int status, const std::string& range, size_t bytes,
                   const std::string& via = "-") {
    return "GET " + target + " " + std::to_string(status) + " \"" + range + "\" " +
           std::to_string(bytes) + " \"" + via + "\"";
}

// Debian's nginx as the test's own process: no daemon and no master, every path in its folder,
// serving <folder>/site; `locations` go into the server block. With `tls` it speaks HTTPS with
// that certificate.
std::unique_ptr<ServerProcess> StartNginx(const std::string& folder, const std::string& locations,
                                          const PemCertificate* tls = nullptr) {
    std::filesystem::create_directories(folder + "/temp");
    if (tls != nullptr) {
        WriteFile(folder + "/server.pem", tls->certificate);
        WriteFile(folder + "/server.key", tls->key);
    }
    return std::make_unique<ServerProcess>(
        folder, "nginx",
        std::vector<std::string>{"/usr/sbin/nginx", "-p", "{folder}", "-e", "{folder}/error.log",
                                 "-c", "{conf}"},
        1, [&](const std::string& at, const std::vector<int>& ports) {
            std::string conf = "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                               "pid " +
                               at + "/nginx.pid;\nerror_log " + at +
                               "/error.log info;\n"
                               "events { worker_connections 64; }\nhttp {\n"
                               "  default_type application/octet-stream;\n"
                               "  log_format launcher '$request_method $request_uri $status "
                               "\"$http_range\" $body_bytes_sent \"$http_via\"';\n"
                               "  access_log " +
                               at + "/" + AccessLog + " launcher;\n";
            for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
                conf += std::string("  ") + temp + "_temp_path " + at + "/temp/" + temp + ";\n";
            }
            conf += "  server {\n    listen 127.0.0.1:" + std::to_string(ports[0]) +
                    (tls != nullptr ? " ssl" : "") + ";\n";
            if (tls != nullptr) {
                conf += "    ssl_certificate " + at + "/server.pem;\n    ssl_certificate_key " +
                        at + "/server.key;\n";
            }
            return conf + "    root " + at + "/site;\n" + locations + "  }\n}\n";
        });
}

// nginx's access log once it holds `count` lines (bounded wait): a request is logged as it ends.
std::vector<std::string> AccessLines(const ServerProcess& nginx, size_t count) {
    EXPECT_TRUE(nginx.WaitForLines(AccessLog, count)) << nginx.Read(AccessLog);
    return Lines(nginx.Read(AccessLog));
}

// tinyproxy in the foreground, logging every request it is asked to pass on; `extra` adds lines
// to its configuration.
std::unique_ptr<ServerProcess> StartProxy(const std::string& folder,
                                          const std::string& extra = "") {
    std::filesystem::create_directories(folder);
    return std::make_unique<ServerProcess>(
        folder, "tinyproxy", std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", "{conf}"},
        1, [extra](const std::string& at, const std::vector<int>& ports) {
            return "Port " + std::to_string(ports[0]) + "\nListen 127.0.0.1\nTimeout 30\n" +
                   "LogFile \"" + at + "/" + ProxyLog + "\"\nLogLevel Info\nPidFile \"" + at +
                   "/tinyproxy.pid\"\nMaxClients 16\nViaProxyName \"tinyproxy\"\n" + extra;
        });
}

// The requests a proxy's log shows it passed on ("GET http://...", "CONNECT host:port").
std::vector<std::string> ProxiedRequests(const std::string& log) {
    static const std::regex request(R"(Request \(file descriptor \d+\): (\S+ \S+) HTTP/1\.1)");
    std::vector<std::string> requests;
    for (const std::string& line : Lines(log)) {
        std::smatch match;
        if (std::regex_search(line, match, request)) {
            requests.push_back(match[1]);
        }
    }
    return requests;
}

class RealServers : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(Root);
        WriteFile(caFile_, ca_.certificate);
    }

    // A folder for one server, its site holding the package at its own path and on the mirror.
    std::string ServerFolder(const std::string& name) const {
        const std::string folder = servers_ / name;
        for (const std::string& path : {PackagePath, MirrorPath}) {
            std::filesystem::create_directories(folder + "/site" + path.substr(0, path.rfind('/')));
            WriteFile(folder + "/site" + path, package_);
        }
        return folder;
    }

    // A launcher downloading from 127.0.0.1:port; `first` variables go before the test's own.
    // `program` is another test build than the plain or HTTPS one.
    std::unique_ptr<Launcher> Start(int port, bool https = false,
                                    std::vector<std::string> first = {},
                                    const char* program = nullptr) {
        std::filesystem::remove(scratch_ / "out.txt");
        std::filesystem::remove(scratch_ / "err.txt");
        std::filesystem::remove(BoxLog);
        first.insert(first.end(),
                     {"USERNAME=tester", "LAUNCHER_TEST_HOST=127.0.0.1:" + std::to_string(port),
                      "LAUNCHER_TEST_CA=" + caFile_, "LAUNCHER_BOX_LOG=" + BoxLog,
                      "XDG_RUNTIME_DIR=" + runtime_.Path(), "XDG_STATE_HOME=" + state_.Path()});
        if (program == nullptr) {
            program = https ? LAUNCHER_LOOPBACK_HTTPS_PATH : LAUNCHER_LOOPBACK_PATH;
        }
        return std::make_unique<Launcher>(program, scratch_.Path(), first);
    }

    // A run that installed: exit 0, no box, the archive whole, the install complete, the client
    // started once.
    void ExpectInstalled(Launcher& launcher) {
        EXPECT_EQ(launcher.Wait(), 0) << launcher.Err();
        EXPECT_EQ(ReadFile(BoxLog), "");
        EXPECT_NE(launcher.Out().find(Started), std::string::npos) << launcher.Out();
        EXPECT_TRUE(ReadFile(Archive) == package_) << "the archive is byte-exact";
        EXPECT_TRUE(PathExists(Client));
        EXPECT_FALSE(PathExists(Mark));
    }

    // A run that failed before anything was written or started, with `reason` in its box.
    void ExpectRefused(Launcher& launcher, const std::string& reason) {
        EXPECT_EQ(launcher.Wait(), 1);
        EXPECT_NE(ReadFile(BoxLog).find("游戏客户端安装失败。\\n" + reason), std::string::npos)
            << ReadFile(BoxLog);
        EXPECT_EQ(launcher.Out().find(Started), std::string::npos);
        EXPECT_EQ(ReadFile(Archive), "");
        EXPECT_TRUE(PathExists(Mark));
        EXPECT_FALSE(PathExists(Client));
    }

    // What a cut install leaves: its mark and the first bytes of the archive.
    void LeaveCutInstall(size_t have) const {
        std::filesystem::remove_all(Root + "/game");
        WriteFile(Mark, "");
        WriteFile(Archive, package_.substr(0, have));
    }

    ScratchDir scratch_;
    ScratchDir runtime_;
    ScratchDir state_;
    ScratchDir servers_;
    const std::string package_ = ReadFile(DEMO_PACKAGE_PATH);
    const PemCertificate ca_ = MakeTestCa();
    const std::string caFile_ = servers_ / "ca.pem";
    const std::string BoxLog = servers_ / "boxes.txt";
    const std::string Root = scratch_ / "C:/Users/tester/Documents";
    const std::string Archive = Root + "/" + PackageName;
    const std::string Mark = Root + "/windows_pc_halden.installing";
    const std::string Client = Root + "/game/windows_pc_halden/win32/game.exe";
};

} // namespace

TEST_F(RealServers, NginxServesAnInstallThatAKillCutsAndTheNextRunResumesWith206) {
    {
        const auto nginx = StartNginx(ServerFolder("plain"), "");
        std::unique_ptr<Launcher> launcher = Start(nginx->Port());
        ExpectInstalled(*launcher);
        EXPECT_EQ(AccessLines(*nginx, 1),
                  std::vector<std::string>{Logged(PackagePath, 200, "-", package_.size())});
    }

    // 16 KiB a second: the package takes several seconds, and the kill comes at its first bytes.
    LeaveCutInstall(0);
    {
        const auto slow = StartNginx(ServerFolder("slow"),
                                     "    location = " + PackagePath + " { limit_rate 16k; }\n");
        std::unique_ptr<Launcher> launcher = Start(slow->Port());
        ASSERT_TRUE(WaitUntil([&] { return !ReadFile(Archive).empty(); }));
        launcher->Kill();
    }
    const size_t kept = ReadFile(Archive).size();
    ASSERT_LT(kept, package_.size());
    EXPECT_TRUE(ReadFile(Archive) == package_.substr(0, kept))
        << "the kept bytes are the package's";
    EXPECT_TRUE(PathExists(Mark));

    const auto nginx = StartNginx(ServerFolder("resumed"), "");
    std::unique_ptr<Launcher> next = Start(nginx->Port());
    ExpectInstalled(*next);
    EXPECT_EQ(AccessLines(*nginx, 1), std::vector<std::string>{Logged(
                                          PackagePath, 206, "bytes=" + std::to_string(kept) + "-",
                                          package_.size() - kept)});
}

// An extraction that fails after a whole download (a folder where the client's program goes,
// as a half-removed old install leaves) keeps the archive; once the way is clear the next run
// installs from it without downloading again: pinned, with no request at all; unpinned, with one
// range request past its end that nginx answers 416 for a package of that very size.
TEST_F(RealServers, ArchiveOfAFailedExtractionIsInstalledNextRunWithoutDownloadingAgain) {
    const std::string contentRange = "bytes=" + std::to_string(package_.size()) + "-";
    for (const bool pinned : {false, true}) {
        SCOPED_TRACE(pinned ? "pinned" : "unpinned");
        LeaveCutInstall(0);
        std::filesystem::remove(Archive);
        std::filesystem::create_directories(Client + "/in-the-way");
        const auto nginx = StartNginx(ServerFolder(pinned ? "pinned" : "unpinned"), "");
        const char* program = pinned ? LAUNCHER_LOOPBACK_PINNED_PATH : LAUNCHER_LOOPBACK_PATH;
        std::unique_ptr<Launcher> failed = Start(nginx->Port(), false, {}, program);
        EXPECT_EQ(failed->Wait(), 1);
        // The box carries the system's reason, naming the entry that could not be written.
        EXPECT_NE(
            ReadFile(BoxLog).find(
                "C:/Users/tester/Documents/game/windows_pc_halden/win32/game.exe: Is a directory"),
            std::string::npos)
            << ReadFile(BoxLog);
        EXPECT_TRUE(ReadFile(Archive) == package_);
        EXPECT_TRUE(PathExists(Mark));
        EXPECT_EQ(AccessLines(*nginx, 1),
                  std::vector<std::string>{Logged(PackagePath, 200, "-", package_.size())});

        std::filesystem::remove_all(Client);
        std::unique_ptr<Launcher> next = Start(nginx->Port(), false, {}, program);
        ExpectInstalled(*next);
        if (pinned) {
            EXPECT_EQ(Lines(nginx->Read(AccessLog)).size(), 1u) << "no request at all";
        } else {
            const std::vector<std::string> lines = AccessLines(*nginx, 2);
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_TRUE(std::regex_match(lines[1], std::regex("GET " + PackagePath + " 416 \"" +
                                                              contentRange + R"(" \d+ "-")")))
                << lines[1];
        }
    }
}

// The 302 carries a body and the connection is kept alive: the launcher reads past it.
TEST_F(RealServers, PackageUrlAnswering302IsFollowedToTheMirrorAlsoWhenResuming) {
    const auto nginx =
        StartNginx(ServerFolder("redirecting"),
                   "    location = " + PackagePath + " { return 302 " + MirrorPath + "; }\n");
    std::unique_ptr<Launcher> first = Start(nginx->Port());
    ExpectInstalled(*first);
    const std::vector<std::string> whole = AccessLines(*nginx, 2);
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_TRUE(
        std::regex_match(whole[0], std::regex("GET " + PackagePath + R"( 302 "-" \d+ "-")")))
        << whole[0];
    EXPECT_EQ(whole[1], Logged(MirrorPath, 200, "-", package_.size()));

    // The range goes along to the mirror, which answers it.
    const size_t have = package_.size() / 3 + 7;
    LeaveCutInstall(have);
    std::unique_ptr<Launcher> resumed = Start(nginx->Port());
    ExpectInstalled(*resumed);
    const std::vector<std::string> lines = AccessLines(*nginx, 4);
    const std::string range = "bytes=" + std::to_string(have) + "-";
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(std::regex_match(
        lines[2], std::regex("GET " + PackagePath + " 302 \"" + range + R"(" \d+ "-")")))
        << lines[2];
    EXPECT_EQ(lines[3], Logged(MirrorPath, 206, range, package_.size() - have));
}

TEST_F(RealServers, HttpsWithTheTestCaInstallsPlainHttpMayMoveUpButHttpsNeverMovesDown) {
    const PemCertificate certificate = MakeServerCertificate(ca_, ServerCertificate::Trusted);
    {
        const auto https = StartNginx(ServerFolder("https"), "", &certificate);
        std::unique_ptr<Launcher> launcher = Start(https->Port(), true);
        ExpectInstalled(*launcher);
        EXPECT_EQ(AccessLines(*https, 1),
                  std::vector<std::string>{Logged(PackagePath, 200, "-", package_.size())});

        // http:// moved to https://, as a site that went encrypted answers its old address.
        LeaveCutInstall(0);
        const auto moved = StartNginx(ServerFolder("moved"),
                                      "    location / { return 301 https://127.0.0.1:" +
                                          std::to_string(https->Port()) + "$request_uri; }\n");
        std::unique_ptr<Launcher> upgraded = Start(moved->Port());
        ExpectInstalled(*upgraded);
        EXPECT_EQ(AccessLines(*https, 2).back(), Logged(PackagePath, 200, "-", package_.size()));
    }

    // An encrypted download sent to a plain address is refused before the address is asked.
    LeaveCutInstall(0);
    const auto plain = StartNginx(ServerFolder("plain"), "");
    const auto downgrading =
        StartNginx(ServerFolder("downgrading"),
                   "    location = " + PackagePath + " { return 302 http://127.0.0.1:" +
                       std::to_string(plain->Port()) + MirrorPath + "; }\n",
                   &certificate);
    std::unique_ptr<Launcher> refused = Start(downgrading->Port(), true);
    ExpectRefused(*refused, "Protocol \"http\" not supported or disabled in libcurl");
    ASSERT_TRUE(downgrading->WaitForLines(AccessLog, 1));
    EXPECT_EQ(plain->Read(AccessLog), "") << "the plain address was never asked";
}

// libcurl reads http_proxy (lower case only, as curl), HTTPS_PROXY and NO_PROXY by itself.
TEST_F(RealServers, EnvironmentProxyCarriesHttpAndTunnelsHttpsWithTheCertificateCheckedEndToEnd) {
    const auto proxy = StartProxy(servers_ / "proxy");
    const std::string through = "http://127.0.0.1:" + std::to_string(proxy->Port());
    {
        const auto nginx = StartNginx(ServerFolder("plain"), "");
        std::unique_ptr<Launcher> launcher = Start(nginx->Port(), false, {"http_proxy=" + through});
        ExpectInstalled(*launcher);
        const std::string url = "http://127.0.0.1:" + std::to_string(nginx->Port()) + PackagePath;
        EXPECT_EQ(ProxiedRequests(proxy->Read(ProxyLog)), std::vector<std::string>{"GET " + url});
        const std::vector<std::string> lines = AccessLines(*nginx, 1);
        ASSERT_EQ(lines.size(), 1u);
        const std::string viaProxy =
            Logged(PackagePath, 200, "-", package_.size(), "1.1 tinyproxy");
        EXPECT_EQ(lines[0].rfind(viaProxy.substr(0, viaProxy.size() - 1), 0), 0u) << lines[0];
    }
    {
        // Through a tunnel the proxy sees only where to, the server only the launcher.
        LeaveCutInstall(0);
        const PemCertificate certificate = MakeServerCertificate(ca_, ServerCertificate::Trusted);
        const auto https = StartNginx(ServerFolder("https"), "", &certificate);
        std::unique_ptr<Launcher> launcher = Start(https->Port(), true, {"HTTPS_PROXY=" + through});
        ExpectInstalled(*launcher);
        EXPECT_EQ(ProxiedRequests(proxy->Read(ProxyLog)).back(),
                  "CONNECT 127.0.0.1:" + std::to_string(https->Port()));
        EXPECT_EQ(AccessLines(*https, 1),
                  std::vector<std::string>{Logged(PackagePath, 200, "-", package_.size())});
    }
    {
        // The tunnel does not weaken the check: a certificate for another name is still refused.
        LeaveCutInstall(0);
        const PemCertificate wrong = MakeServerCertificate(ca_, ServerCertificate::WrongName);
        const auto https = StartNginx(ServerFolder("wrong-name"), "", &wrong);
        std::unique_ptr<Launcher> launcher = Start(https->Port(), true, {"HTTPS_PROXY=" + through});
        ExpectRefused(*launcher, "SSL: no alternative certificate subject name matches target "
                                 "host name '127.0.0.1'");
        EXPECT_EQ(ProxiedRequests(proxy->Read(ProxyLog)).back(),
                  "CONNECT 127.0.0.1:" + std::to_string(https->Port()));
        EXPECT_EQ(https->Read(AccessLog), "") << "no request went over the refused connection";
    }
    {
        // A proxy that refuses the tunnel (403: tunnels to port 443 only) answers for the server:
        // no retry mends it, so the player is told at once, with libcurl's words.
        LeaveCutInstall(0);
        const auto strict = StartProxy(servers_ / "strict-proxy", "ConnectPort 443\n");
        const PemCertificate certificate = MakeServerCertificate(ca_, ServerCertificate::Trusted);
        const auto https = StartNginx(ServerFolder("behind-strict"), "", &certificate);
        std::unique_ptr<Launcher> launcher =
            Start(https->Port(), true,
                  {"HTTPS_PROXY=http://127.0.0.1:" + std::to_string(strict->Port())});
        ExpectRefused(*launcher, "CONNECT tunnel failed, response 403");
        EXPECT_EQ(ProxiedRequests(strict->Read(ProxyLog)),
                  std::vector<std::string>{"CONNECT 127.0.0.1:" + std::to_string(https->Port())})
            << "asked once, not five times";
        EXPECT_EQ(https->Read(AccessLog), "");
    }
    {
        // Hosts listed in NO_PROXY are fetched directly, even with a proxy that is gone.
        LeaveCutInstall(0);
        const size_t proxied = ProxiedRequests(proxy->Read(ProxyLog)).size();
        const auto nginx = StartNginx(ServerFolder("direct"), "");
        std::unique_ptr<Launcher> launcher =
            Start(nginx->Port(), false, {"http_proxy=http://127.0.0.1:1", "NO_PROXY=127.0.0.1"});
        ExpectInstalled(*launcher);
        EXPECT_EQ(ProxiedRequests(proxy->Read(ProxyLog)).size(), proxied);
    }
}
