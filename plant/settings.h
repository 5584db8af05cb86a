// The operating settings, with their defaults, as kept in memory. The settings file holds
// them in three sections: [main], [MySQL] and [BK003]; the field names are the keys.
#ifndef KALVIX_PLANT_SETTINGS_H_
#define KALVIX_PLANT_SETTINGS_H_

#include <optional>
#include <string>

namespace kalvix {

struct Settings {
  // [main]
  int MaxWriteCount = 5;  // JUMO passes that write a new set-point
  std::string ModBUS_PortName = "COM5";
  int ModBUS_PortSpeed = 57600;
  std::string V120_PortName = "COM6";
  int V120_PortSpeed = 57600;
  std::string VK_PortName = "COM7";
  int VK_PortSpeed = 9600;
  int VK_device_num = 1;
  int bkk23_mask = 2;
  int AverageLen = 60;
  bool AutoStart = false;
  bool ShowEmulTab = false;
  bool AutoHide = false;
  bool SaveLogFlag = true;
  bool old_update_mode = false;
  double max_dg = -1;  // an integer in the file; 0 or less switches the rise test off
  // Whether the V120 poller reads runs of adjacent operands with one request (see
  // devices/v120_poller.h). A site's own line, read and never written; off unless it is set.
  bool V120ReadRuns = false;
  // host:port of the metrics endpoint; empty: no endpoint. Read once, at the start-up.
  std::string MetricsListen = "127.0.0.1:9105";

  // [MySQL]
  bool AutoCleanFlag = true;
  int DatabaseSize = 240;  // days; never below kMinDatabaseSize
  // Rows the server cannot take now are kept on disk and written when it returns; 0 gives
  // the designed behaviour (they are lost). SpoolDays bounds the spool (0 or less: no bound).
  bool SpoolEnabled = true;
  int SpoolDays = 30;
  std::string Login = "root";
  std::string Comp = "127.0.0.1";
  // The database the service works in, read only (a site sets it by hand): empty leaves the
  // connection's own, kalvix. Several lines on one server each have one of their own.
  std::string Database;
  std::string Password;  // plain text here, enciphered in the file
  int Version = 5;
  std::string ServiceName = "mysql";  // read by the process entry only, never written
  int StartTime = 10;                 // seconds; read by the process entry only, never written
  // The pause after the user connection is up and before the signal set is loaded, in ms
  // (0 to 10000), read only: a site that starts at once sets 0. Not set: the designed second.
  std::optional<int> SettleMs;
  // TLS to the server, read only (a site sets them by hand): SslMode is DISABLED, PREFERRED,
  // REQUIRED, VERIFY_CA or VERIFY_IDENTITY, empty for the client library's default (no TLS);
  // the others are paths of PEM files.
  std::string SslMode;
  std::string SslCa;
  std::string SslCert;
  std::string SslKey;
  // A file that holds the password in clear (mode 0600 or 0400), read only. It, or the
  // systemd credential kalvix-db-password, replaces the enciphered Password key.
  std::string PasswordFile;

  // [BK003]
  bool set_timeouts = true;
  int vk_restart_time = -1;  // kept and written back; nothing uses it

  // Not a key: the password in memory was entered on the settings page in this run. Until
  // then a Password text in the file that does not decipher stays there as it stands.
  bool passwordEntered = false;
  // Not a key: the password came from PasswordFile or the credentials folder, so the
  // Password key is neither read nor written.
  bool passwordOutside = false;

  bool operator==(const Settings&) const = default;
};

inline constexpr int kMinDatabaseSize = 60;
inline constexpr int kMaxSettleMs = 10000;
inline constexpr const char* kSectionMain = "main";
inline constexpr const char* kSectionMySQL = "MySQL";
inline constexpr const char* kSectionBK003 = "BK003";

}  // namespace kalvix

#endif  // KALVIX_PLANT_SETTINGS_H_
