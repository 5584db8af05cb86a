#include "app/password_cipher.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kalvix {
namespace {

std::string AllHighBytes() {
  std::string s;
  for (int b = 128; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

TEST(PasswordCipher, RoundTripKeepsEveryByte) {
  PasswordCipher cipher;
  const std::string passwords[] = {"", "secret", "Пароль-1", AllHighBytes(),
                                   std::string("\0\x01\xff", 3), std::string(300, 'x')};
  for (const std::string& p : passwords) {
    const std::string text = cipher.EncipherPassword(p);
    EXPECT_EQ(PasswordCipher::DecipherPassword(text), p) << text;
  }
}

// A text worked out by hand from the layout, so that a mistake made alike in both directions
// (nibble order, key offset, the shift's sign, the alphabet's use) cannot hide behind the
// round trip. The password is "Ok" and byte E9 ("й" in the single-byte code page).
//   lead byte 80; keys K[k] = 16k + 1: 01 11 21 ... F1
//   'O' 4F, selector 93 -> row 3,  K = 31: x = 4F - 31         = 1E
//   'k' 6B, selector 2C -> row 12, K = C1: x = 6B - C1 + 100   = AA
//   E9,     selector 7F -> row 15, K = F1: x = E9 - F1 + 100   = F8
//   digits: 80 01112131415161718191A1B1C1D1E1F1 931E 2CAA 7FF8 (46)
//   alphabet, digit 0..F: Q W 3 E 5 R T 7 Y U 9 I O P A S, appended; 46 + 16 = 50 + 4 * 3
TEST(PasswordCipher, KnownTextDeciphers) {
  // YQ | QWWW3WEW5WRWTW7WYWUW9WIWOWPWAWSW | UEWA 3O99 7SSY | QW3E5RT7YU9IOPAS
  const std::string text = "YQQWWW3WEW5WRWTW7WYWUW9WIWOWPWAWSWUEWA3O997SSYQW3E5RT7YU9IOPAS";
  ASSERT_EQ(text.size(), 62u);
  EXPECT_EQ(PasswordCipher::DecipherPassword(text), "Ok\xE9");
}

TEST(PasswordCipher, LayoutLengthAndAlphabet) {
  PasswordCipher cipher(42);
  for (size_t n : {0u, 1u, 10u, 64u}) {
    const std::string text = cipher.EncipherPassword(std::string(n, 'a'));
    EXPECT_EQ(text.size(), 50 + 4 * n);
    for (char c : text) {
      EXPECT_GE(c, '0');
      EXPECT_LE(c, 'Z');
    }
    const std::string alphabet = text.substr(text.size() - 16);
    EXPECT_EQ(std::set<char>(alphabet.begin(), alphabet.end()).size(), 16u) << alphabet;
    // Every body character is one of the alphabet's.
    for (char c : text.substr(0, text.size() - 16)) {
      EXPECT_NE(alphabet.find(c), std::string::npos);
    }
  }
}

TEST(PasswordCipher, SamePasswordTwiceGivesDifferentTexts) {
  PasswordCipher cipher;
  const std::string a = cipher.EncipherPassword("plant");
  const std::string b = cipher.EncipherPassword("plant");
  EXPECT_NE(a, b);
  EXPECT_EQ(PasswordCipher::DecipherPassword(a), "plant");
  EXPECT_EQ(PasswordCipher::DecipherPassword(b), "plant");
}

TEST(PasswordCipher, CharactersOutsideTheAlphabetAreDropped) {
  PasswordCipher cipher;
  std::string text = cipher.EncipherPassword("abc");
  const std::string alphabet = text.substr(text.size() - 16);
  char stranger = 0;
  for (char c = '0'; c <= 'Z'; ++c) {
    if (alphabet.find(c) == std::string::npos) {
      stranger = c;
      break;
    }
  }
  ASSERT_NE(stranger, 0);
  text.insert(5, 3, stranger);
  text.insert(0, 1, '!');
  EXPECT_EQ(PasswordCipher::DecipherPassword(text), "abc");
}

TEST(PasswordCipher, ShortTextsRaiseConvertError) {
  // A hand-typed plain password shorter than 49 characters cannot hold 33 digits.
  for (const char* text : {"", "x", "secret", "0123456789ABCDEF", "a plain password typed by hand"}) {
    EXPECT_THROW(PasswordCipher::DecipherPassword(text), ConvertError) << text;
  }
}

TEST(PasswordCipher, TrailingIncompleteGroupIsIgnored) {
  PasswordCipher cipher;
  std::string text = cipher.EncipherPassword("ab");
  const std::string alphabet = text.substr(text.size() - 16);
  std::string body = text.substr(0, text.size() - 16);
  body.erase(body.size() - 1);  // the last pair loses a digit
  EXPECT_EQ(PasswordCipher::DecipherPassword(body + alphabet), "a");
  // With 33 digits the last key is one digit and nothing follows.
  EXPECT_EQ(PasswordCipher::DecipherPassword(body.substr(0, 33) + alphabet), "");
}

}  // namespace
}  // namespace kalvix
