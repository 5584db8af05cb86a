#include "persistence/connection_params.h"

#include <gtest/gtest.h>

namespace kalvix {
namespace {

TEST(ConnectionParams, DefaultsPointAtTheLocalKalvixDatabase) {
  const ConnectionParams params;
  EXPECT_EQ(params.Value("HostName"), "127.0.0.1");
  EXPECT_EQ(params.Value("Database"), "kalvix");
  EXPECT_EQ(params.Value("User_Name"), "root");
  EXPECT_EQ(params.Value("Password"), "");
}

TEST(ConnectionParams, SetReplacesTheNamedLineOrAppends) {
  ConnectionParams params;
  params.Set("HostName", "plant-db:3307");
  params.Set("hostname", "plant-db");  // names ignore letter case
  params.Set("LocaleCode", "0000");
  EXPECT_EQ(params.Value("HostName"), "plant-db");
  EXPECT_EQ(params.Value("LocaleCode"), "0000");
  EXPECT_EQ(params.Lines().size(), 5u);
  EXPECT_EQ(params.Lines().front(), "hostname=plant-db");
}

// A user name that contains the word "Password" must not be the line that the password
// replaces, and a password that contains "HostName" must not hide the host line.
TEST(ConnectionParams, ValueContainingAnotherNameIsNotReplaced) {
  ConnectionParams params;
  params.Set("User_Name", "Password_admin");
  params.Set("Password", "HostName=evil");
  params.Set("HostName", "db1");
  EXPECT_EQ(params.Value("User_Name"), "Password_admin");
  EXPECT_EQ(params.Value("Password"), "HostName=evil");
  EXPECT_EQ(params.Value("HostName"), "db1");
}

TEST(ParseHostName, Forms) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    unsigned port;
    const char* socket;
  };
  const Case cases[] = {
      {"127.0.0.1", true, "127.0.0.1", 0, ""},
      {"plant-db", true, "plant-db", 0, ""},
      {"plant-db:3307", true, "plant-db", 3307, ""},
      {"/run/kalvix/mysqld.sock", true, "", 0, "/run/kalvix/mysqld.sock"},
      {"[::1]:3307", true, "::1", 3307, ""},
      {"[::1]", true, "::1", 0, ""},
      {"fe80::1", true, "fe80::1", 0, ""},
      {"", true, "", 0, ""},
      {"plant-db:", false, "", 0, ""},
      {"plant-db:port", false, "", 0, ""},
      {"plant-db:70000", false, "", 0, ""},
      {"plant-db:0", false, "", 0, ""},
      {"[::1", false, "", 0, ""},
      {"[::1]x", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    DbEndpoint endpoint;
    ASSERT_EQ(ParseHostName(c.text, endpoint), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(endpoint.host, c.host) << c.text;
    EXPECT_EQ(endpoint.port, c.port) << c.text;
    EXPECT_EQ(endpoint.socketPath, c.socket) << c.text;
  }
}

TEST(SplitHostList, Entries) {
  struct Case {
    const char* text;
    bool ok;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"db1", true, {"db1"}},
      {"", true, {""}},  // one entry: the library's default host, as before lists
      {"db1,db2:3307,/run/db3.sock", true, {"db1", "db2:3307", "/run/db3.sock"}},
      {" db1 ,\t[::1]:3307 ", true, {"db1", "[::1]:3307"}},
      {"db1,", false, {}},
      {",db1", false, {}},
      {"db1,,db2", false, {}},
      {"db1,db2:port", false, {}},
      {"db1:port", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> entries{"untouched"};
    ASSERT_EQ(SplitHostList(c.text, entries), c.ok) << c.text;
    EXPECT_EQ(entries, c.ok ? c.entries : std::vector<std::string>{"untouched"}) << c.text;
  }
}

}  // namespace
}  // namespace kalvix
