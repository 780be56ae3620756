#include "transport/crypt.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vtx {
namespace {

std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string encrypt(const std::string& key, std::string data) {
  TRtcCrypt c;
  c.setKey(key);
  c.Crypt(data);
  return data;
}

std::string randomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& ch : s) ch = static_cast<char>(rng() & 0xFF);
  return s;
}

// Vectors computed independently from the algorithm's definition; they pin the wire output.
TEST(TRtcCrypt, KnownVectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      {"736563726574", "616263646566", "e5b813655b5f"},
      {"4b", "48656c6c6f2c20776f726c642100ff", "0348c0320388a68cb4179b27da6351"},
      {"0102030405060708090a0b0c0d0e0f10111213",
       "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021222324252627",
       "bebe8384060a1ee40f43769d1fbb06a78aea838e73922aff4acc8b065ed2262690efc87744d7c4ad"},
      // zero keystream byte corrected at initialisation
      {"00", "0000000000000000", "0101010101010101"},
      // zero keystream byte corrected in the middle of the stream
      {"3707", "7a65726f2d636865636b", "44372bdcbeefc0737e89"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(encrypt(fromHex(c.key), fromHex(c.plain)), fromHex(c.cipher));
    TRtcCrypt d;
    d.setKey(fromHex(c.key));
    std::string data = fromHex(c.cipher);
    d.DeCrypt(data);
    EXPECT_EQ(data, fromHex(c.plain));
  }
}

TEST(TRtcCrypt, EmptyKeyLeavesDataUnchanged) {
  TRtcCrypt c;
  std::string data("\x00\x01payload\xff", 10);
  const std::string original = data;
  c.Crypt(data);
  EXPECT_EQ(data, original);
  c.DeCrypt(data);
  EXPECT_EQ(data, original);
  c.setKey("");
  c.Crypt(data);
  EXPECT_EQ(data, original);
}

TEST(TRtcCrypt, RoundTripAndChunkingInvariance) {
  std::mt19937 rng(12345);
  for (size_t keyLen : {1u, 2u, 7u, 16u, 33u, 300u}) {
    const std::string key = randomBytes(rng, keyLen);
    const std::string plain = randomBytes(rng, 2000);
    const std::string whole = encrypt(key, plain);
    ASSERT_NE(whole, plain);

    // Split into random calls, empty ones included, on both sides.
    TRtcCrypt enc, dec;
    enc.setKey(key);
    dec.setKey(key);
    std::string chunked, back;
    for (size_t pos = 0; pos < plain.size();) {
      size_t n = std::min<size_t>(rng() % 50, plain.size() - pos);
      std::string piece = plain.substr(pos, n);
      enc.Crypt(piece);
      chunked += piece;
      std::string cut = whole.substr(pos, n);
      dec.DeCrypt(cut);
      back += cut;
      pos += n;
    }
    EXPECT_EQ(chunked, whole) << "key length " << keyLen;
    EXPECT_EQ(back, plain) << "key length " << keyLen;
  }
  TRtcCrypt c;
  c.setKey("key");
  std::string a = "abc", b = "def";
  c.Crypt(a);
  c.Crypt(b);
  EXPECT_EQ(a + b, encrypt("key", "abcdef"));
}

TEST(TRtcCrypt, KeyAssignmentRestartsTheKeystream) {
  TRtcCrypt c;
  c.setKey("k1");
  std::string first = "same text", second = "same text", third = "same text";
  c.Crypt(first);
  c.Crypt(second);
  EXPECT_NE(first, second);  // the keystream continues
  c.setKey("k1");
  c.Crypt(third);
  EXPECT_EQ(third, first);
  EXPECT_EQ(c.Key(), "k1");
}

TEST(TRtcCrypt, InitRestartsOnlyAfterUse) {
  TRtcCrypt c;
  c.setKey("key");
  c.Init();  // still fresh: no effect
  std::string a = "xyz";
  c.Crypt(a);
  EXPECT_EQ(a, encrypt("key", "xyz"));
  c.Init();  // no longer fresh: back to the start of the keystream
  std::string b = "xyz";
  c.Crypt(b);
  EXPECT_EQ(b, a);
}

TEST(TRtcCrypt, LongKeysTakeTheWrappingPath) {
  // A key long enough for the byte sum to pass 2^31 exercises the signed-fold path.
  const std::string key(9'000'000, '\xff');
  std::string data(64, 'q');
  const std::string plain = data;
  TRtcCrypt enc, dec;
  enc.setKey(key);
  dec.setKey(key);
  enc.Crypt(data);
  dec.DeCrypt(data);
  EXPECT_EQ(data, plain);
}

}  // namespace
}  // namespace vtx
