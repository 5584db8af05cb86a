#include "app/password_cipher.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <vector>

namespace kalvix {
namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";
constexpr size_t kAlphabetSize = 16;
constexpr size_t kKeyCount = 16;
// Lead byte and 16 keys: 34 digits; the last key may be a single digit.
constexpr size_t kMinHeaderDigits = 33;

void AppendHex(std::string& out, uint8_t byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

// A group of one or two hexadecimal digits (values 0..15 each); the low eight bits count.
uint8_t GroupValue(const std::vector<uint8_t>& digits, size_t pos) {
  unsigned value = 0;
  for (size_t i = pos; i < std::min(pos + 2, digits.size()); ++i) value = value * 16 + digits[i];
  return static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

PasswordCipher::PasswordCipher()
    : generator_(static_cast<uint64_t>(
          std::chrono::high_resolution_clock::now().time_since_epoch().count())) {}

PasswordCipher::PasswordCipher(uint64_t seed) : generator_(seed) {}

uint8_t PasswordCipher::RandomByte() {
  const double x = std::trunc(normal_(generator_));
  return static_cast<uint8_t>(std::clamp(x, 0.0, 255.0));
}

std::string PasswordCipher::EncipherPassword(std::string_view password) {
  std::string digits;
  digits.reserve(34 + 4 * password.size());
  AppendHex(digits, RandomByte());  // lead byte
  std::array<uint8_t, kKeyCount> keys{};
  for (uint8_t& key : keys) {
    key = RandomByte();
    AppendHex(digits, key);
  }
  for (const char c : password) {
    const uint8_t selector = RandomByte();
    const uint8_t shifted = static_cast<uint8_t>(static_cast<uint8_t>(c) - keys[selector % 16]);
    AppendHex(digits, selector);
    AppendHex(digits, shifted);
  }

  std::string alphabet;
  while (alphabet.size() < kAlphabetSize) {
    const uint8_t b = RandomByte();
    if (b >= '0' && b <= 'Z' && alphabet.find(static_cast<char>(b)) == std::string::npos) {
      alphabet += static_cast<char>(b);
    }
  }

  std::string text;
  text.reserve(digits.size() + kAlphabetSize);
  for (const char d : digits) text += alphabet[kHexDigits.find(d)];
  text += alphabet;
  return text;
}

std::string PasswordCipher::DecipherPassword(std::string_view cipherText) {
  const size_t bodyLength = cipherText.size() > kAlphabetSize ? cipherText.size() - kAlphabetSize : 0;
  const std::string_view alphabet = cipherText.substr(bodyLength);
  std::vector<uint8_t> digits;
  digits.reserve(bodyLength);
  for (const char c : cipherText.substr(0, bodyLength)) {
    const size_t pos = alphabet.find(c);
    if (pos != std::string_view::npos) digits.push_back(static_cast<uint8_t>(pos));
  }
  if (digits.size() < kMinHeaderDigits) {
    throw ConvertError("cipher text too short: " + std::to_string(digits.size()) +
                       " digits where at least 33 are needed");
  }

  std::array<uint8_t, kKeyCount> keys{};
  for (size_t i = 0; i < kKeyCount; ++i) keys[i] = GroupValue(digits, 2 + 2 * i);

  std::string password;
  for (size_t pos = 34; digits.size() > pos + 3; pos += 4) {
    const uint8_t selector = GroupValue(digits, pos);
    const uint8_t shifted = GroupValue(digits, pos + 2);
    password += static_cast<char>(static_cast<uint8_t>(keys[selector % 16] + shifted));
  }
  return password;
}

}  // namespace kalvix
