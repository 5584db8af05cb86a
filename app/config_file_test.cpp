#include "app/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "app/settings_page_values.h"
#include "journal/event_log.h"
#include "util/profile_file.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> DrainEvents() {
  std::vector<std::string> texts;
  TEventFIFO_Rec rec;
  while (EventQueue().Pop(rec)) texts.push_back(rec.text);
  return texts;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kalvix_cfg_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ini_ = dir_ / "kalvixsrv.ini";
    DrainEvents();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteText(const std::string& text) { std::ofstream(ini_, std::ios::binary) << text; }
  std::string ReadText() {
    std::ifstream in(ini_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  fs::path ini_;
  PasswordCipher cipher_;
};

Settings Changed() {
  Settings s;
  s.MaxWriteCount = 3;
  s.ModBUS_PortName = "/dev/ttyUSB0";
  s.ModBUS_PortSpeed = 115200;
  s.V120_PortName = "COM9";
  s.V120_PortSpeed = 38400;
  s.VK_PortName = "ttyS2";
  s.VK_PortSpeed = 4800;
  s.VK_device_num = 7;
  s.bkk23_mask = 6;
  s.AverageLen = 30;
  s.AutoStart = true;
  s.ShowEmulTab = true;
  s.AutoHide = true;
  s.SaveLogFlag = false;
  s.old_update_mode = true;
  s.max_dg = 250;
  s.MetricsListen = "";  // an empty value must read back as empty, not as the default
  s.AutoCleanFlag = false;
  s.DatabaseSize = 365;
  s.Login = "operator";
  s.Comp = "/run/mysqld/mysqld.sock";
  s.Password = "пароль \xff'\"";
  s.Version = 4;
  s.set_timeouts = false;
  s.vk_restart_time = 12;
  return s;
}

TEST_F(ConfigFileTest, SavedSettingsReadBackTheSame) {
  const Settings saved = Changed();
  ASSERT_TRUE(SaveConfig(ini_, saved, cipher_));
  Settings loaded;
  ASSERT_TRUE(LoadConfigFile(ini_, loaded));
  EXPECT_EQ(loaded, saved);
  EXPECT_EQ(ReadText().find(saved.Password), std::string::npos) << "password stored in clear";
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(ConfigFileTest, FileWithoutSectionsGivesDefaultsAndSaveWritesEveryKey) {
  WriteText("just some text\nno sections here\n");
  Settings loaded;
  ASSERT_TRUE(LoadConfigFile(ini_, loaded));
  EXPECT_EQ(loaded, Settings{});
  ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_));
  ProfileFile ini(ini_);
  ASSERT_TRUE(ini.Load());
  const char* mainKeys[] = {
      "V120_PortName", "V120_PortSpeed", "ModBUS_PortName", "ModBUS_PortSpeed", "VK_PortName",
      "VK_PortSpeed",  "VK_device_num",  "bkk23_mask",      "MaxWriteCount",    "AverageLen",
      "AutoStart",     "ShowEmulTab",    "AutoHide",        "SaveLogFlag",      "old_update_mode",
      "max_dg",        "MetricsListen"};
  for (const char* key : mainKeys) EXPECT_TRUE(ini.ReadValue("main", key)) << key;
  for (const char* key :
       {"AutoCleanFlag", "DatabaseSize", "Login", "Comp", "Password", "Version"}) {
    EXPECT_TRUE(ini.ReadValue("MySQL", key)) << key;
  }
  EXPECT_TRUE(ini.ReadValue("BK003", "set_timeouts"));
  EXPECT_TRUE(ini.ReadValue("BK003", "vk_restart_time"));
  EXPECT_FALSE(ini.ReadValue("MySQL", "ServiceName")) << "read by the entry only, never written";
  EXPECT_FALSE(ini.ReadValue("MySQL", "StartTime"));
  EXPECT_EQ(ini.ReadValue("main", "max_dg"), "-1");
  EXPECT_EQ(ini.ReadValue("main", "MetricsListen"), "127.0.0.1:9105");
  EXPECT_EQ(ini.ReadString("MySQL", "Password", "").size(), 50u) << "empty password, enciphered";
  EXPECT_EQ(ReadText().substr(0, 32), "just some text\nno sections here\n");
}

// The TLS keys are the site's own lines: read, never written, so a file without them stays
// without them and a file with them keeps them as written.
TEST_F(ConfigFileTest, TlsKeysAreReadAndNeverWritten) {
  const std::string tls =
      "[MySQL]\nSslMode=VERIFY_IDENTITY\nSslCa=/etc/kalvix/ca.pem\n"
      "SslCert=/etc/kalvix/client.pem\nSslKey=/etc/kalvix/client-key.pem\n";
  WriteText(tls);
  Settings loaded;
  ASSERT_TRUE(LoadConfigFile(ini_, loaded));
  EXPECT_EQ(loaded.SslMode, "VERIFY_IDENTITY");
  EXPECT_EQ(loaded.SslCa, "/etc/kalvix/ca.pem");
  EXPECT_EQ(loaded.SslCert, "/etc/kalvix/client.pem");
  EXPECT_EQ(loaded.SslKey, "/etc/kalvix/client-key.pem");
  loaded.SslMode = "DISABLED";  // only the file sets them
  ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_));
  EXPECT_EQ(ReadText().substr(0, tls.size()), tls);

  WriteText("");
  ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_));
  EXPECT_EQ(ReadText().find("Ssl"), std::string::npos);
}

// V120ReadRuns, like the TLS keys, is the site's own line: read, never written.
TEST_F(ConfigFileTest, ReadRunsKeyIsReadAndNeverWritten) {
  WriteText("[main]\nV120ReadRuns=1\n");
  Settings loaded;
  ASSERT_TRUE(LoadConfigFile(ini_, loaded));
  EXPECT_TRUE(loaded.V120ReadRuns);
  WriteText("");
  ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_));
  EXPECT_EQ(ReadText().find("V120ReadRuns"), std::string::npos);
}

// A password kept in a file of its own, named by PasswordFile or given as the systemd
// credential: read from there, and the Password key neither read nor written; a file the
// group or others may read is refused and no connection follows.
TEST_F(ConfigFileTest, PasswordFromItsOwnFile) {
  const std::string file = (dir_ / "db-password").string();
  const std::string stored = cipher_.EncipherPassword("from the settings file");
  struct Case {
    const char* name;
    bool credential;  // the file is the credential, not PasswordFile
    mode_t mode;
    bool read;
  };
  const Case cases[] = {
      {"PasswordFile 0600", false, 0600, true},  {"PasswordFile 0400", false, 0400, true},
      {"PasswordFile 0644", false, 0644, false}, {"PasswordFile 0640", false, 0640, false},
      {"credential 0400", true, 0400, true},     {"credential 0644", true, 0644, false},
  };
  for (const Case& c : cases) {
    const fs::path credentials = dir_ / "credentials";
    fs::create_directories(credentials);
    const std::string path = c.credential ? (credentials / kCredentialName).string() : file;
    fs::remove(path);
    std::ofstream(path, std::ios::binary) << "s3cret, with 'quotes'\n";
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0) << c.name;
    const std::string text = "[MySQL]\nPassword=" + stored + "\nLogin=kalvix\n" +
                             (c.credential ? "" : "PasswordFile=" + file + "\n");
    WriteText(text);
    if (c.credential) ::setenv("CREDENTIALS_DIRECTORY", credentials.c_str(), 1);
    Settings loaded;
    loaded.Password = "before";
    const bool ok = LoadConfigFile(ini_, loaded);
    ::unsetenv("CREDENTIALS_DIRECTORY");
    fs::remove(path);
    EXPECT_EQ(ok, c.read) << c.name;
    EXPECT_EQ(loaded.Login, "kalvix") << c.name << ": the other keys are read";
    const std::vector<std::string> events = DrainEvents();
    if (c.read) {
      EXPECT_EQ(loaded.Password, "s3cret, with 'quotes'") << c.name;
      EXPECT_TRUE(events.empty()) << c.name;
    } else {
      EXPECT_NE(loaded.Password, "s3cret, with 'quotes'") << c.name;
      ASSERT_EQ(events.size(), 2u) << c.name;
      EXPECT_EQ(events[0], "Ошибка в LoadConfig");
      EXPECT_NE(events[1].find(path), std::string::npos) << events[1];
      EXPECT_NE(events[1].find("доступен группе или другим"), std::string::npos) << events[1];
    }
    loaded.Password = "typed on the page";
    loaded.passwordEntered = true;
    ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_)) << c.name;
    // The Password line stays as it stood, whatever the password in memory.
    EXPECT_EQ(ReadText().substr(0, text.size()), text) << c.name;
    EXPECT_EQ(ReadText().find("s3cret"), std::string::npos) << c.name;
  }
}

// The database is the site's own line, like the TLS keys: read as written, and never written
// back, whatever the settings hold. Without it (or empty) the setting stays empty, which leaves
// the connection's own database, kalvix.
TEST_F(ConfigFileTest, DatabaseKeyIsReadAndNeverWritten) {
  struct Case {
    const char* file;
    const char* read;
  };
  const Case cases[] = {
      {"[MySQL]\nComp=db1\n", ""},
      {"[MySQL]\nDatabase=kalvix_line7\n", "kalvix_line7"},
      {"[mysql]\n database = kalvix_line2 \n", "kalvix_line2"},
      {"[MySQL]\nDatabase=\n", ""},
      {"[main]\nDatabase=kalvix_line3\n", ""},  // not the [MySQL] section's key
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    WriteText(c.file);
    Settings loaded;
    ASSERT_TRUE(LoadConfigFile(ini_, loaded));
    EXPECT_EQ(loaded.Database, c.read);
    loaded.Database = "kalvix_other";  // only the file sets it
    ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_));
    Settings again;
    ASSERT_TRUE(LoadConfigFile(ini_, again));
    EXPECT_EQ(again.Database, c.read);
  }
}

// SettleMs is read, never written: a site that wants the designed second back deletes it.
TEST_F(ConfigFileTest, SettleKeyIsReadAndNeverWritten) {
  WriteText("[MySQL]\nSettleMs=0\n");
  Settings loaded;
  ASSERT_TRUE(LoadConfigFile(ini_, loaded));
  EXPECT_EQ(loaded.SettleMs, 0);
  WriteText("");
  ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_));
  EXPECT_EQ(ReadText().find("SettleMs"), std::string::npos);
}

TEST_F(ConfigFileTest, LimitsAndEncodingsOnReading) {
  WriteText(
      "[MySQL]\nDatabaseSize=10\nVersion=x5\n"
      "[main]\nmax_dg=-1\nAverageLen=abc\nAutoStart=2\nSaveLogFlag=0\n");
  Settings loaded;
  ASSERT_TRUE(LoadConfigFile(ini_, loaded));
  EXPECT_EQ(loaded.DatabaseSize, 60);
  EXPECT_EQ(loaded.Version, 5);
  EXPECT_EQ(loaded.max_dg, -1.0);
  EXPECT_EQ(loaded.AverageLen, 60);
  EXPECT_TRUE(loaded.AutoStart);
  EXPECT_FALSE(loaded.SaveLogFlag);
  ASSERT_TRUE(SaveConfig(ini_, loaded, cipher_));
  ProfileFile ini(ini_);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadValue("MySQL", "DatabaseSize"), "60");
  EXPECT_EQ(ini.ReadValue("main", "max_dg"), "-1");
  EXPECT_EQ(ini.ReadValue("main", "AutoStart"), "1");
}

TEST_F(ConfigFileTest, MaxDgIsTruncatedTowardZeroOnBothSides) {
  Settings s;
  s.max_dg = -2.9;
  ASSERT_TRUE(SaveConfig(ini_, s, cipher_));
  ProfileFile ini(ini_);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadValue("main", "max_dg"), "-2");

  // A missing key keeps the current value, truncated.
  std::ofstream(ini_, std::ios::trunc) << "[main]\n";
  Settings t;
  t.max_dg = 7.8;
  ASSERT_TRUE(LoadConfigFile(ini_, t));
  EXPECT_EQ(t.max_dg, 7.0);
}

// A password typed into the file by hand is too short to be cipher text. The reading says
// why and goes on, so that the later keys are not lost at the end of the run, and no
// connection is tried. The text stays in the file as it stands until the operator enters a
// password on the settings page.
TEST_F(ConfigFileTest, PlainPasswordIsKeptAndTheOtherKeysRead) {
  const std::string passwordLine = "Password= typed by hand \n";
  WriteText("[main]\nAverageLen=20\nold_update_mode=1\nmax_dg=5\n[MySQL]\nComp=dbhost\n" +
            passwordLine + "Version=4\n[BK003]\nset_timeouts=0\nvk_restart_time=3\n");
  Settings s;
  s.Password = "before";
  EXPECT_FALSE(LoadConfigFile(ini_, s));
  EXPECT_EQ(DrainEvents(),
            (std::vector<std::string>{"Ошибка в LoadConfig", kPasswordNotDeciphered}));
  EXPECT_EQ(s.Password, "before");
  Settings expected;
  expected.AverageLen = 20;
  expected.old_update_mode = true;
  expected.max_dg = 5;
  expected.Comp = "dbhost";
  expected.Password = "before";
  expected.Version = 4;
  expected.set_timeouts = false;
  expected.vk_restart_time = 3;
  EXPECT_EQ(s, expected);

  // At the end of the run nothing is lost, the password least of all.
  s.Password.clear();
  ASSERT_TRUE(SaveConfig(ini_, s, cipher_));
  EXPECT_NE(ReadText().find("\n" + passwordLine), std::string::npos) << ReadText();
  Settings again;
  again.Password = "before";
  EXPECT_FALSE(LoadConfigFile(ini_, again));
  EXPECT_EQ(again, expected);
  DrainEvents();

  // A password entered on the page takes its place.
  SettingsPageValues page;
  page.Password = "entered";
  ASSERT_TRUE(ApplySettingsPage(page, s));
  ASSERT_TRUE(SaveConfig(ini_, s, cipher_));
  EXPECT_EQ(ReadText().find(passwordLine), std::string::npos);
  Settings loaded;
  EXPECT_TRUE(LoadConfigFile(ini_, loaded));
  EXPECT_EQ(loaded.Password, "entered");
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(ConfigFileTest, SaveKeepsCommentsAndForeignKeys) {
  WriteText("; site notes\n[main]\nPlantName=Line 2\nAverageLen=30\n[Extra]\nfoo=bar\n");
  Settings s;
  ASSERT_TRUE(LoadConfigFile(ini_, s));
  s.AutoStart = false;  // as after a start with the database down
  ASSERT_TRUE(SaveConfig(ini_, s, cipher_));
  const std::string text = ReadText();
  EXPECT_NE(text.find("; site notes\n"), std::string::npos);
  EXPECT_NE(text.find("PlantName=Line 2\n"), std::string::npos);
  EXPECT_NE(text.find("[Extra]\nfoo=bar\n"), std::string::npos);
  EXPECT_NE(text.find("AutoStart=0\n"), std::string::npos);
  EXPECT_NE(text.find("AverageLen=30\n"), std::string::npos);
}

TEST_F(ConfigFileTest, SaveFailureIsReportedAndLeavesNoFile) {
  const fs::path missing = dir_ / "no" / "such" / "kalvixsrv.ini";
  EXPECT_FALSE(SaveConfig(missing, Settings{}, cipher_));
  const auto events = DrainEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0], "Ошибка в SaveConfig");
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(ConfigFileTest, MissingFileLeavesSettingsAsTheyAre) {
  Settings s = Changed();
  ASSERT_TRUE(LoadConfigFile(dir_ / "absent.ini", s));
  s.Password = Changed().Password;
  EXPECT_EQ(s, Changed());
}

}  // namespace
}  // namespace kalvix
