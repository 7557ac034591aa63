// The proxy decision against libcurl's own reading of the environment.

#include "platform/ProxyEnvironment.h"
#include "FixtureServer.h"
#include "platform/HttpClient.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace platform;

namespace {

const char* const proxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                      "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

// Sets exactly the given proxy variables for its life, then puts back what was there.
class ProxyVariables {
  public:
    explicit ProxyVariables(const std::map<std::string, std::string>& values) {
        for (const char* name : proxyVariables) {
            if (const char* old = std::getenv(name)) saved_[name] = old;
            ::unsetenv(name);
        }
        for (const auto& [name, value] : values)
            ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~ProxyVariables() {
        for (const char* name : proxyVariables) {
            auto old = saved_.find(name);
            old == saved_.end() ? ::unsetenv(name) : ::setenv(name, old->second.c_str(), 1);
        }
    }

  private:
    std::map<std::string, std::string> saved_;
};

} // namespace

TEST(ProxyEnvironment, AgreesWithLibcurl) {
    fixture::FixtureServer origin;
    origin.setFile("/f", "body");
    origin.start();
    testsupport::LoopbackListener deadProxy(false);
    const std::string proxy = "http://127.0.0.1:" + std::to_string(deadProxy.port());
    const std::string port = std::to_string(origin.port());
    struct Row {
        std::map<std::string, std::string> variables;
        std::string host; // of the origin; loopback ones are also asked of libcurl
        bool proxied;
    };
    for (const Row& row : std::vector<Row>{
             {{}, "127.0.0.1", false},
             {{{"http_proxy", proxy}}, "127.0.0.1", true},
             {{{"HTTP_PROXY", proxy}}, "127.0.0.1", false}, // never read, by design
             {{{"ALL_PROXY", proxy}}, "localhost", true},
             {{{"http_proxy", ""}, {"all_proxy", proxy}}, "127.0.0.1", true},
             {{{"http_proxy", proxy}, {"no_proxy", ""}, {"NO_PROXY", "*"}}, "127.0.0.1", false},
             {{{"http_proxy", proxy}, {"no_proxy", "*"}}, "127.0.0.1", false},
             {{{"http_proxy", proxy}, {"NO_PROXY", "example.com, .LOCALHOST."}},
              "localhost",
              false},
             {{{"http_proxy", proxy}, {"no_proxy", "127.0.0.0/8"}}, "127.0.0.1", false},
             {{{"http_proxy", proxy}, {"no_proxy", "127.0.0.2,10.0.0.0/8"}}, "127.0.0.1", true},
             {{{"http_proxy", proxy}, {"no_proxy", "localhost"}}, "127.0.0.1", true},
             {{{"http_proxy", proxy}, {"no_proxy", "calhost"}}, "localhost", true},
             {{{"http_proxy", proxy}, {"no_proxy", "x,,y localhost"}}, "localhost", false},
             {{{"http_proxy", proxy}, {"no_proxy", "example.com"}}, "www.EXAMPLE.com", false},
             {{{"http_proxy", proxy}, {"no_proxy", "example.com"}}, "nonexample.com", true},
             {{{"https_proxy", proxy}}, "https://h.example", true},
             {{{"HTTPS_PROXY", proxy}}, "https://h.example", true},
             {{{"http_proxy", proxy}}, "https://h.example", false},
         }) {
        ProxyVariables scoped(row.variables);
        const bool https = row.host.starts_with("https://");
        const std::string url = https ? row.host + "/f" : "http://" + row.host + ":" + port + "/f";
        SCOPED_TRACE(url + " " + (row.variables.empty() ? "" : row.variables.rbegin()->second));
        EXPECT_EQ(proxyFor(*Url::parse(url)).has_value(), row.proxied);
        if (row.host != "127.0.0.1" && row.host != "localhost") continue;
        bool reached = false;
        try {
            reached = performHttp({.url = url, .headers = {}}, {}).head.status == 200;
        } catch (const TransportError&) {
        }
        EXPECT_EQ(reached, !row.proxied) << "libcurl disagrees";
    }
    EXPECT_FALSE(proxyFor(*Url::parse("file:///srv/a.bin"), [](const char*) { return "x"; }));
}
