// The password cipher over arbitrary text: deciphering anything either gives a password or
// raises ConvertError (nothing else, no crash), and every password survives enciphering.
//
// Input: the first 8 bytes seed the cipher (when there are 8), the whole input is both the
// cipher text to decipher and the password to encipher.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/password_cipher.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    const std::string plain = kalvix::PasswordCipher::DecipherPassword(input);
    Require(plain.size() <= size / 4);  // four digits per byte at least
  } catch (const kalvix::ConvertError&) {
  }

  uint64_t seed = 1;
  if (size >= sizeof seed) std::memcpy(&seed, data, sizeof seed);
  kalvix::PasswordCipher cipher(seed);
  const std::string text = cipher.EncipherPassword(input);
  Require(text.size() == 50 + 4 * size);
  Require(kalvix::PasswordCipher::DecipherPassword(text) == input);
  return 0;
}
