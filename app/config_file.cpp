#include "app/config_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <string>

#include "journal/event_log.h"
#include "util/profile_file.h"
#include "util/whole_file.h"

namespace kalvix {
namespace {

// max_dg is a real in memory and an integer in the file.
int TruncateToInt(double x) {
  if (std::isnan(x)) return 0;
  constexpr double kMax = std::numeric_limits<int>::max();
  constexpr double kMin = std::numeric_limits<int>::min();
  return static_cast<int>(std::trunc(std::clamp(x, kMin, kMax)));
}

// Whether a stored Password text gives a password; the empty text gives the empty one.
bool Deciphers(const std::string& stored) {
  if (stored.empty()) return true;
  try {
    PasswordCipher::DecipherPassword(stored);
    return true;
  } catch (const ConvertError&) {
    return false;
  }
}

// Where the password comes from when not from the Password key: PasswordFile, else the
// systemd credential when its file is there; empty for the key.
std::string OutsidePasswordPath(const std::string& passwordFile) {
  if (!passwordFile.empty()) return passwordFile;
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (credentials == nullptr || *credentials == '\0') return {};
  std::string path = std::string(credentials) + "/" + kCredentialName;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? path : std::string();
}

// The password held in path: its first line (a final line break is no part of it). A file
// others may read is no place for it, so such a file is refused unread.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& why) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    why = "*** MySQL: файл пароля " + path + " не прочитан: " + std::strerror(errno) + " ***";
    return false;
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    why = "*** MySQL: файл пароля " + path + " доступен группе или другим (права " + mode +
          "), пароль не прочитан, подключение не выполнялось ***";
    return false;
  }
  std::string value;
  if (ReadWholeFile(path, value) == WholeFile::kOpenFailed) {
    why = "*** MySQL: файл пароля " + path + " не прочитан: " + std::strerror(errno) + " ***";
    return false;
  }
  const size_t end = value.find_first_of("\r\n");
  if (end != std::string::npos) value.resize(end);
  password = std::move(value);
  return true;
}

// False, with the reason in why, when the stored password does not decipher or the password
// file is refused; every key is read all the same, so that SaveConfig writes back what the
// file held, not the defaults.
bool ReadKeys(const ProfileFile& ini, Settings& s, std::string& why) {
  const char* m = kSectionMain;
  const char* q = kSectionMySQL;
  const char* b = kSectionBK003;
  s.MaxWriteCount = ini.ReadInteger(m, "MaxWriteCount", s.MaxWriteCount);
  s.ModBUS_PortName = ini.ReadString(m, "ModBUS_PortName", s.ModBUS_PortName);
  s.ModBUS_PortSpeed = ini.ReadInteger(m, "ModBUS_PortSpeed", s.ModBUS_PortSpeed);
  s.VK_PortName = ini.ReadString(m, "VK_PortName", s.VK_PortName);
  s.VK_PortSpeed = ini.ReadInteger(m, "VK_PortSpeed", s.VK_PortSpeed);
  s.VK_device_num = ini.ReadInteger(m, "VK_device_num", s.VK_device_num);
  s.bkk23_mask = ini.ReadInteger(m, "bkk23_mask", s.bkk23_mask);
  s.V120_PortName = ini.ReadString(m, "V120_PortName", s.V120_PortName);
  s.V120_PortSpeed = ini.ReadInteger(m, "V120_PortSpeed", s.V120_PortSpeed);
  s.AverageLen = ini.ReadInteger(m, "AverageLen", s.AverageLen);
  s.AutoStart = ini.ReadBool(m, "AutoStart", s.AutoStart);
  s.ShowEmulTab = ini.ReadBool(m, "ShowEmulTab", s.ShowEmulTab);
  s.AutoHide = ini.ReadBool(m, "AutoHide", s.AutoHide);
  s.SaveLogFlag = ini.ReadBool(m, "SaveLogFlag", s.SaveLogFlag);
  s.AutoCleanFlag = ini.ReadBool(q, "AutoCleanFlag", s.AutoCleanFlag);
  s.DatabaseSize = ini.ReadInteger(q, "DatabaseSize", s.DatabaseSize);
  if (s.DatabaseSize < kMinDatabaseSize) s.DatabaseSize = kMinDatabaseSize;
  s.SpoolEnabled = ini.ReadBool(q, "SpoolEnabled", s.SpoolEnabled);
  s.SpoolDays = ini.ReadInteger(q, "SpoolDays", s.SpoolDays);
  s.Login = ini.ReadString(q, "Login", s.Login);
  s.Comp = ini.ReadString(q, "Comp", s.Comp);
  s.Database = ini.ReadString(q, "Database", s.Database);
  const int settle = ini.ReadInteger(q, "SettleMs", -1);
  if (settle >= 0 && settle <= kMaxSettleMs) s.SettleMs = settle;
  s.SslMode = ini.ReadString(q, "SslMode", s.SslMode);
  s.SslCa = ini.ReadString(q, "SslCa", s.SslCa);
  s.SslCert = ini.ReadString(q, "SslCert", s.SslCert);
  s.SslKey = ini.ReadString(q, "SslKey", s.SslKey);
  s.PasswordFile = ini.ReadString(q, "PasswordFile", s.PasswordFile);
  const std::string outside = OutsidePasswordPath(s.PasswordFile);
  s.passwordOutside = !outside.empty();
  bool passwordRead = true;
  if (s.passwordOutside) {
    passwordRead = ReadPasswordFile(outside, s.Password, why);
    s.passwordEntered = false;
  } else {
    // The stored password replaces the one in memory only once it has been deciphered. A
    // text that is no cipher text (a password typed by hand) leaves it as it was.
    const std::string stored = ini.ReadString(q, "Password", "");
    passwordRead = Deciphers(stored);
    if (passwordRead) {
      s.Password = stored.empty() ? stored : PasswordCipher::DecipherPassword(stored);
      s.passwordEntered = false;
    } else {
      why = kPasswordNotDeciphered;
    }
  }
  s.Version = ini.ReadInteger(q, "Version", s.Version);
  s.set_timeouts = ini.ReadBool(b, "set_timeouts", s.set_timeouts);
  s.old_update_mode = ini.ReadBool(m, "old_update_mode", s.old_update_mode);
  s.vk_restart_time = ini.ReadInteger(b, "vk_restart_time", s.vk_restart_time);
  s.max_dg = ini.ReadInteger(m, "max_dg", TruncateToInt(s.max_dg));
  s.MetricsListen = ini.ReadString(m, "MetricsListen", s.MetricsListen);
  s.V120ReadRuns = ini.ReadBool(m, "V120ReadRuns", s.V120ReadRuns);
  return passwordRead;
}

void WriteKeys(ProfileFile& ini, const Settings& s, PasswordCipher& cipher) {
  const char* m = kSectionMain;
  const char* q = kSectionMySQL;
  const char* b = kSectionBK003;
  ini.WriteString(m, "V120_PortName", s.V120_PortName);
  ini.WriteInteger(m, "V120_PortSpeed", s.V120_PortSpeed);
  ini.WriteString(m, "ModBUS_PortName", s.ModBUS_PortName);
  ini.WriteInteger(m, "ModBUS_PortSpeed", s.ModBUS_PortSpeed);
  ini.WriteString(m, "VK_PortName", s.VK_PortName);
  ini.WriteInteger(m, "VK_PortSpeed", s.VK_PortSpeed);
  ini.WriteInteger(m, "VK_device_num", s.VK_device_num);
  ini.WriteInteger(m, "bkk23_mask", s.bkk23_mask);
  ini.WriteInteger(m, "MaxWriteCount", s.MaxWriteCount);
  ini.WriteInteger(m, "AverageLen", s.AverageLen);
  ini.WriteBool(m, "AutoStart", s.AutoStart);
  ini.WriteBool(m, "ShowEmulTab", s.ShowEmulTab);
  ini.WriteBool(m, "AutoHide", s.AutoHide);
  ini.WriteBool(m, "SaveLogFlag", s.SaveLogFlag);
  ini.WriteBool(q, "AutoCleanFlag", s.AutoCleanFlag);
  ini.WriteInteger(q, "DatabaseSize", s.DatabaseSize);
  ini.WriteBool(q, "SpoolEnabled", s.SpoolEnabled);
  ini.WriteInteger(q, "SpoolDays", s.SpoolDays);
  ini.WriteString(q, "Login", s.Login);
  ini.WriteString(q, "Comp", s.Comp);
  // A stored text that does not decipher is all there is of that password: it stays as it
  // stands until the operator enters one, rather than give way to the empty password.
  // A password kept outside the file never enters it.
  if (!s.passwordOutside && (s.passwordEntered || Deciphers(ini.ReadString(q, "Password", "")))) {
    ini.WriteString(q, "Password", cipher.EncipherPassword(s.Password));
  }
  ini.WriteInteger(q, "Version", s.Version);
  ini.WriteBool(b, "set_timeouts", s.set_timeouts);
  ini.WriteBool(m, "old_update_mode", s.old_update_mode);
  ini.WriteInteger(b, "vk_restart_time", s.vk_restart_time);
  ini.WriteInteger(m, "max_dg", TruncateToInt(s.max_dg));
  ini.WriteString(m, "MetricsListen", s.MetricsListen);
}

}  // namespace

bool LoadConfigFile(const std::filesystem::path& iniFileName, Settings& settings) {
  try {
    ProfileFile ini(iniFileName);
    std::string error;
    if (!ini.Load(&error)) {
      // Read as an empty file, as the profile routines have always done, but say so.
      PostEvent("*** Файл настроек не прочитан: " + error + " ***");
    }
    std::string why;
    if (ReadKeys(ini, settings, why)) return true;
    PostEvent("Ошибка в LoadConfig");
    PostEvent(why);
    return false;
  } catch (const std::exception& e) {
    PostEvent("Ошибка в LoadConfig");
    PostEvent(std::string("*** ") + e.what() + " ***");
  } catch (...) {
    PostEvent("Ошибка в LoadConfig");
  }
  return false;
}

bool SaveConfig(const std::filesystem::path& iniFileName, const Settings& settings,
                PasswordCipher& cipher) {
  std::string error;
  try {
    // Keys go into the file as it stands now, so lines added by hand while the program ran
    // survive. A file that cannot be read is left alone rather than replaced.
    ProfileFile ini(iniFileName);
    if (ini.Load(&error)) {
      WriteKeys(ini, settings, cipher);
      if (ini.Save(&error)) return true;
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  PostEvent("Ошибка в SaveConfig");
  if (!error.empty()) PostEvent("*** Файл настроек не записан: " + error + " ***");
  return false;
}

}  // namespace kalvix
