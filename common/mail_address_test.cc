#include "common/mail_address.h"

#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(MailAddressValid, Table) {
  struct Case {
    std::string input;
    bool want;
  };
  const Case cases[] = {
      {"a@b", true},
      {"backup@example.org", true},
      {"\xc3\xa9l\xc3\xa8ve@example.org", true},
      {"", false},
      {"a@b@c", false},
      {"a b@c", false},
      {"a,b@c", false},
      {"a@", false},
      {"@a", false},
      {"ab", false},
      {"<a@b>", false},
      {"a;b@c", false},
      {"a\"b@c", false},
      {"(a)@b", false},
      {"a\x7f@b", false},
      {"a\t@b", false},
      {std::string(253, 'x') + "@y", true},
      {std::string(254, 'x') + "@y", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(mail_address_valid(c.input), c.want);
  }
}

}  // namespace
}  // namespace vrk
