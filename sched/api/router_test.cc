#include "sched/api/router.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sched/api/test_call.h"

namespace vrk {
namespace {

TEST(ApiSplitPath, SplitsAndDecodes) {
  const std::string s255(255, 's');
  struct Case {
    std::string path;
    int want_rc;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"/api/v1/info", 0, {"info"}},
      {"/api/v1/jobs/nightly/runs/42/log", 0, {"jobs", "nightly", "runs", "42", "log"}},
      {"/api/v1/a/b/c/d/e/f", 0, {"a", "b", "c", "d", "e", "f"}},
      {"/api/v1/a/b/c/d/e/f/g", -1, {}},
      {"/api/v1/jobs/a%20b", 0, {"jobs", "a b"}},
      {"/api/v1/jobs/%41%4a%4A%7e", 0, {"jobs", "AJJ~"}},
      {"/api/v1/jobs/%C3%A9t%c3%a9", 0, {"jobs", "\xC3\xA9t\xC3\xA9"}},
      {"/api/v1/jobs/a%2Fb", -1, {}},
      {"/api/v1/jobs/a%2fb", -1, {}},
      {"/api/v1/jobs/a%00b", -1, {}},
      {"/api/v1/jobs/a%1fb", -1, {}},
      {"/api/v1/jobs/a%7Fb", -1, {}},
      {"/api/v1/jobs/a%", -1, {}},
      {"/api/v1/jobs/a%4", -1, {}},
      {"/api/v1/jobs/a%4g", -1, {}},
      {"/api/v1/jobs/a%%41", -1, {}},
      {"/api/v1/jobs/a\x7f", -1, {}},
      {"/api/v1/", -1, {}},
      {"/api/v1/jobs/", -1, {}},
      {"/api/v1//jobs", -1, {}},
      {"/api/v1/jobs//x", -1, {}},
      {"/api/v1", -1, {}},
      {"/api/v2/info", -1, {}},
      {"", -1, {}},
      {"/api/v1/jobs/" + s255, 0, {"jobs", s255}},
      {"/api/v1/jobs/" + s255 + "s", -1, {}},
      {"/api/v1/jobs/" + std::string(254, 's') + "%41", 0, {"jobs", std::string(254, 's') + "A"}},
      {"/api/v1/jobs/" + s255 + "%41", -1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ApiPath p;
    ASSERT_EQ(api_split_path(c.path, p), c.want_rc);
    ASSERT_EQ(p.count, static_cast<int>(c.want.size()));
    for (int i = 0; i < p.count; ++i) {
      EXPECT_EQ(std::string(p.segments[i]), c.want[i]);
    }
  }
}

class ApiRouteTest : public ApiCallTest {
 protected:
  void SetUp() override {
    ApiCallTest::SetUp();
    configure(
        "[nightly]\ncommand = agent\nprofile = files\nschedule = 0 2 * * *\n"
        "[a b]\ncommand = verify\nenabled = no\n");
  }
};

TEST_F(ApiRouteTest, RefusalsInTheirOrder) {
  struct Case {
    const char* method;
    std::string path;
    const char* query;
    const char* body;
    TokenRole role;
    uint32_t want_status;
    const char* want_code;
    const char* want_message;
  };
  constexpr TokenRole kRead = TokenRole::kRead;
  constexpr TokenRole kAdmin = TokenRole::kAdmin;
  const Case cases[] = {
      {"GET", "/api/v1/", "", "", kRead, 404, "not_found", "malformed path"},
      {"GET", "/api/v1/jobs/", "", "", kRead, 404, "not_found", "malformed path"},
      {"GET", "/api/v1//jobs", "", "", kRead, 404, "not_found", "malformed path"},
      {"GET", "/api/v1/jobs/a%2Fb", "", "", kRead, 404, "not_found", "malformed path"},
      {"GET", "/api/v1/jobs/a%zz", "", "", kRead, 404, "not_found", "malformed path"},
      {"GET", "/api/v1/jobs/" + std::string(256, 'x'), "", "", kRead, 404, "not_found",
       "malformed path"},
      {"GET", "/api/v1/a/b/c/d/e/f/g", "", "", kRead, 404, "not_found", "malformed path"},
      {"GET", "/api/v2/info", "", "", kRead, 404, "not_found", "unknown path"},
      {"GET", "/info", "", "", kRead, 404, "not_found", "unknown path"},
      // The prefix and the segments come first, then a GET body on any path.
      {"GET", "/api/v2/info", "", "x", kRead, 404, "not_found", "unknown path"},
      {"GET", "/api/v1//x", "", "x", kRead, 404, "not_found", "malformed path"},
      {"GET", "/api/v1/nothing", "", "x", kRead, 400, "bad_request", "GET takes no body"},
      {"GET", "/api/v1/info", "x=1", "x", kRead, 400, "bad_request", "GET takes no body"},
      {"GET", "/api/v1/nothing", "", "", kRead, 404, "not_found", "unknown path"},
      {"GET", "/api/v1/Info", "", "", kRead, 404, "not_found", "unknown path"},
      {"GET", "/api/v1/jobs/a/b", "", "", kRead, 404, "not_found", "unknown path"},
      {"GET", "/api/v1/jobs/a/runs/1/tail", "", "", kRead, 404, "not_found", "unknown path"},
      {"GET", "/api/v1/mail", "", "", kRead, 404, "not_found", "unknown path"},
      // info: method, then query.
      {"POST", "/api/v1/info", "x=1", "", kAdmin, 405, "method_not_allowed",
       "method POST not allowed here"},
      {"GET", "/api/v1/info", "x=1", "", kRead, 400, "bad_query",
       "this resource takes no query parameters"},
      {"DELETE", "/api/v1/jobs", "", "", kAdmin, 405, "method_not_allowed",
       "method DELETE not allowed here"},
      // jobs/<name> and settings: query before method.
      {"PATCH", "/api/v1/jobs/nightly", "a=1", "", kAdmin, 400, "bad_query",
       "this resource takes no query parameters"},
      {"POST", "/api/v1/jobs/nightly", "", "", kAdmin, 405, "method_not_allowed",
       "method POST not allowed here"},
      {"PUT", "/api/v1/jobs/nightly", "", "{}", kRead, 403, "forbidden",
       "this needs an admin token"},
      {"DELETE", "/api/v1/jobs/nightly", "", "", kRead, 403, "forbidden",
       "this needs an admin token"},
      {"POST", "/api/v1/settings/mail", "q", "", kAdmin, 400, "bad_query",
       "this resource takes no query parameters"},
      {"DELETE", "/api/v1/settings/sched", "", "", kAdmin, 405, "method_not_allowed",
       "method DELETE not allowed here"},
      {"PUT", "/api/v1/settings/sched", "", "{}", kRead, 403, "forbidden",
       "this needs an admin token"},
      // validate/job: any token, method then query.
      {"GET", "/api/v1/validate/job", "q", "", kRead, 405, "method_not_allowed",
       "method GET not allowed here"},
      {"POST", "/api/v1/validate/job", "q", "{}", kRead, 400, "bad_query",
       "this resource takes no query parameters"},
      // mail/test: method, query, admin.
      {"GET", "/api/v1/mail/test", "q", "", kRead, 405, "method_not_allowed",
       "method GET not allowed here"},
      {"POST", "/api/v1/mail/test", "q", "", kRead, 400, "bad_query",
       "this resource takes no query parameters"},
      {"POST", "/api/v1/mail/test", "", "", kRead, 403, "forbidden", "this needs an admin token"},
      // run and cancel: method, query, admin, body.
      {"GET", "/api/v1/jobs/nightly/run", "q", "", kRead, 405, "method_not_allowed",
       "method GET not allowed here"},
      {"POST", "/api/v1/jobs/nightly/run", "q", "x", kRead, 400, "bad_query",
       "this resource takes no query parameters"},
      {"POST", "/api/v1/jobs/nightly/cancel", "", "x", kRead, 403, "forbidden",
       "this needs an admin token"},
      {"POST", "/api/v1/jobs/nightly/cancel", "", "x", kAdmin, 400, "bad_request",
       "this takes no body"},
      {"POST", "/api/v1/jobs/nightly/run", "", "{}", kAdmin, 400, "bad_request",
       "this takes no body"},
      // runs, mail results, log.
      {"PUT", "/api/v1/jobs/nightly/runs", "q", "", kAdmin, 405, "method_not_allowed",
       "method PUT not allowed here"},
      {"GET", "/api/v1/jobs/nightly/runs", "q", "", kRead, 400, "bad_query",
       "this resource takes no query parameters"},
      {"DELETE", "/api/v1/mail/results/7", "", "", kAdmin, 405, "method_not_allowed",
       "method DELETE not allowed here"},
      {"GET", "/api/v1/mail/results/7", "q", "", kRead, 400, "bad_query",
       "this resource takes no query parameters"},
      {"POST", "/api/v1/jobs/nightly/runs/1/log", "", "", kAdmin, 405, "method_not_allowed",
       "method POST not allowed here"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + "?" + c.query);
    std::string body = answer(c.method, c.path, c.query, c.body, c.role);
    EXPECT_EQ(response.status, c.want_status);
    EXPECT_EQ(body, test_error_body(c.want_code, c.want_message));
  }
}

// Every row of the table, driven from the table itself: methods outside a row get 405 naming
// the method, admin rows refuse read tokens, no-body rows refuse a body, and the query rule
// decides whether a query is refused before or after the method.
TEST_F(ApiRouteTest, EveryTableRowAppliesItsRules) {
  const char* all_methods[] = {"GET", "PUT", "POST", "DELETE"};
  for (const ApiRoute& route : kApiRoutes) {
    std::string path = "/api/v1";
    for (int i = 0; i < route.segment_count; ++i) {
      path += "/";
      path += route.words[i] != nullptr ? route.words[i] : "nightly";
    }
    SCOPED_TRACE(path);
    for (const char* method : all_methods) {
      const ApiMethodRoute* m = nullptr;
      for (const ApiMethodRoute& r : route.methods) {
        if (r.method != nullptr && strcmp(r.method, method) == 0) {
          m = &r;
        }
      }
      SCOPED_TRACE(method);
      if (m == nullptr) {
        answer(method, path, "", "", TokenRole::kAdmin);
        EXPECT_EQ(response.status, 405u);
        answer(method, path, "a=1", "", TokenRole::kAdmin);
        EXPECT_EQ(response.status, route.query == ApiQueryRule::kNoneBeforeMethod ? 400u : 405u);
        continue;
      }
      if (route.query != ApiQueryRule::kHandlerReads) {
        EXPECT_EQ(answer(method, path, "a=1", "", TokenRole::kAdmin),
                  test_error_body("bad_query", "this resource takes no query parameters"));
      }
      answer(method, path, "", "", TokenRole::kRead);
      if (m->admin) {
        EXPECT_EQ(response.status, 403u);
      } else {
        EXPECT_NE(response.status, 403u);
      }
      if (m->no_body) {
        EXPECT_EQ(answer(method, path, "", "x", TokenRole::kAdmin),
                  test_error_body("bad_request", "this takes no body"));
      }
    }
  }
}

TEST_F(ApiRouteTest, ReachesTheReadOnlyHandlers) {
  struct Case {
    const char* path;
    const char* want_prefix;
  };
  const Case cases[] = {
      {"/api/v1/info", "{\"api_version\":1,"},
      {"/api/v1/jobs", "{\"config_etag\":"},
      {"/api/v1/jobs/nightly", "{\"config_etag\":"},
      {"/api/v1/jobs/night%6Cy", "{\"config_etag\":"},
      {"/api/v1/settings/sched", "{\"config_etag\":"},
      {"/api/v1/settings/mail", "{\"config_etag\":"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string body = answer("GET", c.path, "", "", TokenRole::kRead);
    EXPECT_EQ(response.status, 200u) << body;
    EXPECT_EQ(body.rfind(c.want_prefix, 0), 0u) << body;
  }
  std::string body = answer("GET", "/api/v1/jobs/a%20b");
  EXPECT_NE(body.find(",\"job\":{\"name\":\"a b\","), std::string::npos) << body;
  EXPECT_EQ(answer("GET", "/api/v1/jobs/a%20c"),
            test_error_body("not_found", "no job named 'a c'"));
}

}  // namespace
}  // namespace vrk
