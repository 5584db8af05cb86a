// The cipher of the database password in the settings file.
//
// Each password byte is shifted by one of 16 random row keys; a random selector byte names
// the row. Lead byte, keys and (selector, shifted byte) pairs are written as hexadecimal
// digits, and the 16 digits are then replaced by a random alphabet of 16 different
// characters from "0" to "Z", which is appended. Everything random travels inside the text,
// so deciphering needs the text alone. For an n-byte password the text is 50 + 4n long.
//
// This keeps the password from a casual glance at the file; it is no protection against
// anyone who can read the file, which is why the file is written with mode 0600.
#ifndef KALVIX_APP_PASSWORD_CIPHER_H_
#define KALVIX_APP_PASSWORD_CIPHER_H_

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kalvix {

// Raised by DecipherPassword for a text too short to hold the lead byte and the keys.
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PasswordCipher {
 public:
  // Seeded once from the clock.
  PasswordCipher();
  explicit PasswordCipher(uint64_t seed);

  // Any text, the empty one included. Two calls give different texts.
  std::string EncipherPassword(std::string_view password);

  // The plain password. Characters outside the text's alphabet are dropped and an
  // incomplete group of 1 to 3 digits at the end is ignored. Throws ConvertError when fewer
  // than 33 digits remain for the lead byte and the keys.
  static std::string DecipherPassword(std::string_view cipherText);

 private:
  // A byte from a normal distribution, mean 128 and deviation 43, truncated toward zero
  // and clamped to 0..255.
  uint8_t RandomByte();

  std::mt19937_64 generator_;
  std::normal_distribution<double> normal_{128.0, 43.0};
};

}  // namespace kalvix

#endif  // KALVIX_APP_PASSWORD_CIPHER_H_
