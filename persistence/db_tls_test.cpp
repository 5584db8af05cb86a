// TLS to the server: a private server of the test's own that offers TLS with certificates the
// test makes with the openssl command, and the shared private server, which offers none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "persistence/db_connection.h"
#include "testing/events.h"
#include "testing/file_text.h"
#include "testing/scratch_folder.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

// A CA, a server certificate for the name kalvix-db.test only (so 127.0.0.1 is the wrong
// host name), a client certificate, a second CA that signed none of them, and a server with
// the first three: started once for the suite, ended by its script at the end.
class TlsServer {
 public:
  TlsServer() {
    if (folder_.Path().empty()) return;
    const std::string dir = folder_.Path().string();
    const std::string tls = dir + "/db/tls";
    std::ofstream(dir + "/ext.cnf") << "subjectAltName=DNS:kalvix-db.test\n";
    const std::string quiet = " >/dev/null 2>&1";
    const std::string make =
        "set -e; mkdir -p '" + tls + "' && cd '" + dir + "' && " +
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kalvix-test-ca "
        "-keyout ca-key.pem -out ca.pem" +
        quiet + " && " +
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kalvix-other-ca "
        "-keyout other-key.pem -out other-ca.pem" +
        quiet + " && " +
        "openssl req -newkey rsa:2048 -nodes -subj /CN=kalvix-db.test -keyout server-key.pem "
        "-out server.csr" +
        quiet + " && " +
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial "
        "-days 2 -extfile ext.cnf -out server.pem" +
        quiet + " && " +
        "openssl req -newkey rsa:2048 -nodes -subj /CN=kalvix-client -keyout client-key.pem "
        "-out client.csr" +
        quiet + " && " +
        "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial "
        "-days 2 -out client.pem" +
        quiet + " && " + "cp ca.pem server.pem server-key.pem '" + tls + "/'";
    if (!Run(make)) return;
    if (!Run("bash '" KALVIX_SOURCE_DIR "/scripts/mariadb.sh' start '" + dir + "/db'" + quiet)) {
      return;
    }
    started_ = true;
    const std::string env = ReadFileText(dir + "/db/env");
    const size_t at = env.find("KALVIX_DB_PORT=");
    if (at != std::string::npos) port_ = std::stoul(env.substr(at + 15));
  }
  ~TlsServer() {
    if (started_) {
      Run("bash '" KALVIX_SOURCE_DIR "/scripts/mariadb.sh' stop '" + folder_.Path().string() +
          "/db' >/dev/null 2>&1");
    }
  }

  unsigned Port() const { return port_; }
  std::string File(const std::string& name) const { return folder_.File(name); }
  std::string Entry() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  ScratchFolder folder_;
  bool started_ = false;
  unsigned port_ = 0;
};

class DbTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TlsServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(server_->Port(), 0u) << "the TLS server did not start";
    DrainEvents();
  }

  // A connection to host with the given TLS settings, as the settings file would give them.
  static ConnectionParams Params(const std::string& host, const std::string& mode,
                                 const std::string& ca, const std::string& cert = "",
                                 const std::string& key = "") {
    ConnectionParams params;
    params.Set("HostName", host);
    params.Set("Database", "");
    params.Set("SslMode", mode);
    params.Set("SslCa", ca.empty() ? "" : server_->File(ca));
    params.Set("SslCert", cert.empty() ? "" : server_->File(cert));
    params.Set("SslKey", key.empty() ? "" : server_->File(key));
    return params;
  }

  static std::string Cipher(DbConnection& connection) {
    DbResult result;
    if (!connection.Query("show session status like 'Ssl_cipher'", result).ok() ||
        result.rows.size() != 1) {
      return "?";
    }
    return DbToText(result.rows[0][1]);
  }

  static TlsServer* server_;
};

TlsServer* DbTlsTest::server_ = nullptr;

// The modes that connect, and whether the session is encrypted.
TEST_F(DbTlsTest, ModesThatConnect) {
  struct Case {
    const char* mode;
    const char* ca;
    bool encrypted;
  };
  const Case cases[] = {
      {"", "", false},  // no SslMode: the library's default, as the service always ran
      {"DISABLED", "ca.pem", false},
      {"PREFERRED", "", true},
      {"REQUIRED", "", true},
      {"required", "ca.pem", true},
      {"VERIFY_CA", "ca.pem", true},
  };
  for (const Case& c : cases) {
    DbConnection connection;
    connection.SetParams(Params(server_->Entry(), c.mode, c.ca));
    const DbStatus status = connection.Connect();
    ASSERT_TRUE(status.ok()) << c.mode << ": " << status.Describe();
    const std::string cipher = Cipher(connection);
    EXPECT_NE(cipher, "?") << c.mode;
    EXPECT_EQ(!cipher.empty(), c.encrypted) << c.mode << ": " << cipher;
  }
}

// A client certificate is presented when the server asks for one.
TEST_F(DbTlsTest, ClientCertificateIsPresented) {
  DbConnection admin;
  admin.SetParams(Params(server_->Entry(), "REQUIRED", ""));
  ASSERT_TRUE(admin.Connect().ok());
  ASSERT_TRUE(admin.Execute("create user if not exists 'kx509'@'%' require x509").ok());
  for (const bool withCertificate : {true, false}) {
    DbConnection connection;
    ConnectionParams params = withCertificate ? Params(server_->Entry(), "VERIFY_CA", "ca.pem",
                                                       "client.pem", "client-key.pem")
                                              : Params(server_->Entry(), "VERIFY_CA", "ca.pem");
    params.Set("User_Name", "kx509");
    connection.SetParams(params);
    const DbStatus status = connection.Connect();
    EXPECT_EQ(status.ok(), withCertificate) << status.Describe();
  }
}

// Refusals: no session, and a reason that says what was wrong.
TEST_F(DbTlsTest, RefusedServersGiveNoConnectionAndTheReason) {
  TestServer plain;
  std::string why;
  ASSERT_TRUE(TestServerFromEnvironment(plain, why)) << why;
  ASSERT_NE(plain.port, 0u) << "KALVIX_TEST_DB_PORT is not set";
  struct Case {
    std::string host;
    const char* mode;
    const char* ca;
    const char* reason;
  };
  const Case cases[] = {
      {server_->Entry(), "VERIFY_IDENTITY", "ca.pem", "127.0.0.1"},  // the name is kalvix-db.test
      {server_->Entry(), "VERIFY_CA", "other-ca.pem", "self-signed certificate in certificate"},
      {server_->Entry(), "REQUIRED", "other-ca.pem", "self-signed certificate in certificate"},
      {server_->Entry(), "VERIFY_CA", "", "SslMode=VERIFY_CA needs SslCa"},
      {server_->Entry(), "VERIFY_IDENTITY", "", "SslMode=VERIFY_IDENTITY needs SslCa"},
      {"127.0.0.1:" + std::to_string(plain.port), "REQUIRED", "", "TLS is required"},
      {server_->Entry(), "ALWAYS", "", "bad SslMode: ALWAYS"},
  };
  for (const Case& c : cases) {
    DbConnection connection;
    connection.SetParams(Params(c.host, c.mode, c.ca));
    const DbStatus status = connection.Connect();
    EXPECT_FALSE(status.ok()) << c.mode << " " << c.ca;
    EXPECT_FALSE(connection.Connected()) << c.mode << " " << c.ca;
    EXPECT_NE(status.Describe().find(c.reason), std::string::npos)
        << c.mode << " " << c.ca << ": " << status.Describe();
  }
}

}  // namespace
}  // namespace kalvix
