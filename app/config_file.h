// Reading and writing the settings file (kalvixsrv.ini).
//
// LoadConfigFile is the first half of start-up's LoadConfig: it reads every key into the
// settings. The second half (connection parameters, connecting, loading the signal set)
// runs only when this half returns true. Both functions run on the window thread.
#ifndef KALVIX_APP_CONFIG_FILE_H_
#define KALVIX_APP_CONFIG_FILE_H_

#include <filesystem>

#include "app/password_cipher.h"
#include "plant/settings.h"

namespace kalvix {

// Reads the keys in their fixed order, each with the setting's current value as default
// (the password with the empty text); raises DatabaseSize to 60; deciphers the password;
// reads max_dg as an integer and holds it as a real.
// A Password text that does not decipher (a plain password typed into the file by hand)
// leaves the password in memory as it was; the other keys are read all the same, and the
// result is false after "Ошибка в LoadConfig" and kPasswordNotDeciphered are posted, so
// that no connection is tried. On another failure it posts "Ошибка в LoadConfig" and
// returns false; the keys read before the failure keep their new values, the later ones
// their old values. A missing file leaves every setting as it was but the password, which
// has no default but the empty text; an unreadable file is reported and read as empty.
//
// [MySQL] PasswordFile, or else $CREDENTIALS_DIRECTORY/kalvix-db-password (a systemd
// credential) when that file exists, gives the password instead of the Password key, which is
// then not read (settings.passwordOutside). Such a file that the group or others may read, or
// that cannot be read, is refused: its reason is posted after "Ошибка в LoadConfig" and the
// result is false, so that no connection is tried.
bool LoadConfigFile(const std::filesystem::path& iniFileName, Settings& settings);

inline constexpr const char* kCredentialName = "kalvix-db-password";

inline constexpr const char* kPasswordNotDeciphered =
    "*** MySQL: пароль в файле настроек не расшифрован, подключение не выполнялось; "
    "в файле пароль оставлен как есть ***";

// Writes every key but ServiceName, StartTime, Database, the TLS keys and PasswordFile, the
// password enciphered (also the empty one) and max_dg truncated toward zero; the file's other
// lines stay. A Password text in the file that does not decipher is left as it stands unless a
// password was entered on the settings page (settings.passwordEntered). A password from outside
// the file (settings.passwordOutside) is never written. On a failure it posts "Ошибка в
// SaveConfig" with the reason; the file on disk is then the old one, whole. Returns whether the
// file was written.
bool SaveConfig(const std::filesystem::path& iniFileName, const Settings& settings,
                PasswordCipher& cipher);

}  // namespace kalvix

#endif  // KALVIX_APP_CONFIG_FILE_H_
