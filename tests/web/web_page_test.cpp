// quorvel-web's page in headless Chromium, driven over its debugging pipe (the
// DevTools protocol on file descriptors 3 and 4), at a phone's width: the
// calls of the file, a call written by another process appearing live, a pager
// text with markup shown as those characters, search and the protocol filter
// (also from the address), and the indicator going to "reconnecting" and back
// when the server stops and starts again. Screenshots stay in the build folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>

#include <nlohmann/json.hpp>

#include "store_test_support.h"

namespace quorvel {
namespace {

using json = nlohmann::json;
using testing::kDecode;
using testing::kGen;
using testing::RunCommand;
using testing::ScratchDir;
using testing::WaitFor;
using testing::WebServer;

// Headless Chromium with a fresh profile, one page, commands answered in turn.
class Browser {
public:
    explicit Browser(const ScratchDir& dir) {
        int toChrome[2], fromChrome[2];
        if (pipe(toChrome) != 0 || pipe(fromChrome) != 0) return;
        const std::string profile = dir.Path("profile");
        std::filesystem::create_directories(profile);
        const std::string log = dir.Path("chromium.log");
        pid_ = fork();
        if (pid_ == 0) {
            // The pipe's ends away from 3 and 4 first, then onto them.
            const int in = fcntl(toChrome[0], F_DUPFD, 10), out = fcntl(fromChrome[1], F_DUPFD, 10);
            dup2(in, 3);
            dup2(out, 4);
            for (int fd = 5; fd < 64; ++fd) close(fd);
            const int null = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(null, 1);
            dup2(null, 2);
            const std::string userData = "--user-data-dir=" + profile;
            execlp("chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--remote-debugging-pipe", userData.c_str(), "about:blank", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChrome[0]);
        close(fromChrome[1]);
        write_ = toChrome[1];
        read_ = fromChrome[0];
        const json target = Command("Target.createTarget", {{"url", "about:blank"}}, false);
        const json attached =
            Command("Target.attachToTarget", {{"targetId", target.value("targetId", "")}, {"flatten", true}}, false);
        session_ = attached.value("sessionId", "");
    }
    ~Browser() {
        if (pid_ <= 0) return;
        Command("Browser.close", json::object(), false);
        if (!WaitFor([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 10.0)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(write_);
        close(read_);
    }
    bool Ok() const { return !session_.empty(); }

    // A command to the page (or, with `page` false, to the browser); its result.
    json Command(const std::string& method, const json& params, bool page = true) {
        json message = {{"id", ++lastId_}, {"method", method}, {"params", params}};
        if (page) message["sessionId"] = session_;
        const std::string text = message.dump() + std::string(1, '\0');
        if (::write(write_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return json();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            for (std::size_t zero; (zero = buffer_.find('\0')) != std::string::npos;) {
                json answer = json::parse(buffer_.substr(0, zero), nullptr, false);
                buffer_.erase(0, zero + 1);
                if (answer.is_object() && answer.value("id", -1) == lastId_) {
                    EXPECT_FALSE(answer.contains("error")) << method << ": " << answer.dump();
                    return answer.value("result", json::object());
                }
            }
            pollfd p{read_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) continue;
            char chunk[65536];
            const ssize_t n = ::read(read_, chunk, sizeof chunk);
            if (n <= 0) break;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
        ADD_FAILURE() << "no answer to " << method;
        return json();
    }
    // The value of a script's expression in the page.
    json Eval(const std::string& expression) {
        const json r = Command("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
        return r.contains("result") ? r["result"].value("value", json()) : json();
    }
    void Open(const std::string& url) { Command("Page.navigate", {{"url", url}}); }
    void Screenshot(const std::string& path) {
        const json shot = Command("Page.captureScreenshot", {{"format", "png"}});
        std::ofstream(path + ".b64") << shot.value("data", "");
        EXPECT_EQ(RunCommand("base64 -d '" + path + ".b64' > '" + path + "' && rm '" + path + ".b64'").status, 0);
    }

private:
    pid_t pid_ = -1;
    int write_ = -1, read_ = -1;
    int lastId_ = 0;
    std::string buffer_;
    std::string session_;
};

// What the table shows: each row's cells joined by '|'.
const char* const kRows =
    "[...document.querySelectorAll('#rows tr')].map(r => [...r.cells].slice(1).map(c => c.textContent).join('|'))";

class WebPage : public ::testing::Test {
protected:
    WebPage() : dir_("web-page") {
        testing::WriteRecordings(dir_);
        dir_.Write("names.csv", "protocol,address,subaddress,name\npocsag,1234567,,Wache Nord\n");
        const auto r = RunCommand(kGen + " pocsag -o " + dir_.Path("markup.wav") +
                                  " --call '1234570,2,alpha,<img src=x onerror=alert(1)>'");
        EXPECT_EQ(r.status, 0) << r.err;
        Decode("traffic.wav");
    }
    void Decode(const std::string& input) {
        const auto r = RunCommand(kDecode + " --db " + Db() + " --aliases " + dir_.Path("names.csv") + " " +
                                  dir_.Path(input));
        EXPECT_EQ(r.status, 0) << r.err;
    }
    std::string Db() const { return dir_.Path("calls.db"); }
    // Waits until the table shows `rows` (a limit for a hung test).
    bool Shows(Browser& b, const std::vector<std::string>& rows) {
        return WaitFor([&] { return b.Eval(kRows) == json(rows); }, 15.0);
    }
    ScratchDir dir_;
};

const std::string kFeuer = "pocsag|1234567|Wache Nord|3|Feuer Nord, Halle 3";
const std::string kFremd = "pocsag|2000000||2|Fremde Adresse 1";
const std::string kMarkup = "pocsag|1234570||2|<img src=x onerror=alert(1)>";

TEST_F(WebPage, CallsAppearLiveMarkupStaysTextAndSearchFilters) {
    auto server = std::make_unique<WebServer>(Db(), dir_.Path("web.err"));
    ASSERT_GT(server->Port(), 0);
    const std::string site = "http://127.0.0.1:" + std::to_string(server->Port()) + "/";
    Browser b(dir_);
    ASSERT_TRUE(b.Ok()) << testing::ReadFile(dir_.Path("chromium.log"));
    b.Command("Emulation.setDeviceMetricsOverride",
              {{"width", 390}, {"height", 844}, {"deviceScaleFactor", 2}, {"mobile", true}});
    b.Open(site);
    const std::vector<std::string> traffic = {
        kFeuer, kFremd, kFeuer, "zvei|54321|||", "zvei|12345|||", "zvei|12345|||", "fms|63123456||3|",
        "fms|63123456||2|", "fms|63123456||2|", kFremd, "pocsag|1234999||1|Probealarm Nord", kFeuer,
        "pocsag|1234567|Wache Nord|3|"};
    ASSERT_TRUE(Shows(b, traffic)) << b.Eval(kRows).dump();
    // Fewer calls than a page: no button for older ones.
    EXPECT_EQ(b.Eval("getComputedStyle(document.getElementById('more')).display"), "none");
    ASSERT_TRUE(WaitFor([&] { return b.Eval("document.getElementById('status').textContent") == "live"; }));

    // Written by another process while the page is open: on top, as text.
    Decode("markup.wav");
    std::vector<std::string> live = traffic;
    live.insert(live.begin(), kMarkup);
    ASSERT_TRUE(Shows(b, live)) << b.Eval(kRows).dump();
    EXPECT_EQ(b.Eval("document.querySelectorAll('img').length"), 0);
    EXPECT_EQ(b.Eval("document.querySelector('#rows tr').className"), "new");
    const std::string dom = b.Eval("document.documentElement.outerHTML").get<std::string>();
    EXPECT_NE(dom.find("<td class=\"text\">&lt;img src=x onerror=alert(1)&gt;</td>"), std::string::npos) << dom;
    b.Screenshot(std::string(QUORVEL_ARTIFACT_DIR) + "/web_page_phone.png");

    // Search (typed) and the protocol filter; a live call is shown only when it
    // matches them.
    b.Eval("const q = document.getElementById('q'); q.value = 'wache'; q.dispatchEvent(new Event('input')); 0");
    EXPECT_TRUE(Shows(b, {kFeuer, kFeuer, kFeuer, "pocsag|1234567|Wache Nord|3|"})) << b.Eval(kRows).dump();
    b.Eval("q.value = ''; const p = document.getElementById('protocol'); p.value = 'fms';"
           "p.dispatchEvent(new Event('change')); 0");
    EXPECT_TRUE(Shows(b, {"fms|63123456||3|", "fms|63123456||2|", "fms|63123456||2|"})) << b.Eval(kRows).dump();
    Decode("fmstext.wav");
    Decode("markup.wav");
    EXPECT_TRUE(Shows(b, {"fms|63123456|||Lage: Brand <b>", "fms|63123456||5|", "fms|63123456||3|",
                          "fms|63123456||2|", "fms|63123456||2|"}))
        << b.Eval(kRows).dump();
    EXPECT_EQ(b.Eval("location.search"), "?protocol=fms");

    // From the address, as a bookmark would open it.
    b.Open(site + "?q=Brand");
    EXPECT_TRUE(Shows(b, {"fms|63123456|||Lage: Brand <b>"})) << b.Eval(kRows).dump();
    EXPECT_EQ(b.Eval("document.getElementById('q').value"), "Brand");

    // The server stops: "reconnecting"; it starts again on its port: "live",
    // with the call written meanwhile.
    b.Open(site);
    ASSERT_TRUE(WaitFor([&] { return b.Eval("document.getElementById('status').textContent") == "live"; }));
    const int port = server->Port();
    server->Process().Signal(SIGTERM);
    EXPECT_EQ(server->Process().Wait(), 0);
    EXPECT_TRUE(WaitFor([&] { return b.Eval("document.getElementById('status').textContent") == "reconnecting"; }));
    b.Screenshot(std::string(QUORVEL_ARTIFACT_DIR) + "/web_page_reconnecting.png");
    const auto r = RunCommand(kDecode + " --db " + Db() + " --table ccir " + dir_.Path("ccir.wav"));
    EXPECT_EQ(r.status, 0) << r.err;
    testing::Background again(testing::kWeb + " --db " + Db() + " --listen 127.0.0.1:" + std::to_string(port),
                              dir_.Path("web2.err"));
    EXPECT_TRUE(WaitFor([&] { return b.Eval("document.getElementById('status').textContent") == "live"; }))
        << again.Err();
    EXPECT_TRUE(WaitFor([&] { return b.Eval(kRows)[0] == "ccir|13579|||"; })) << b.Eval(kRows).dump();
    b.Command("Emulation.setDeviceMetricsOverride",
              {{"width", 1200}, {"height", 800}, {"deviceScaleFactor", 1}, {"mobile", false}});
    b.Screenshot(std::string(QUORVEL_ARTIFACT_DIR) + "/web_page_wide.png");
    EXPECT_EQ(testing::ReadFile(std::string(QUORVEL_ARTIFACT_DIR) + "/web_page_phone.png").substr(0, 8),
              "\x89PNG\r\n\x1A\n");
}

}  // namespace
}  // namespace quorvel
