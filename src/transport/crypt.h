// Keyed byte-stream cipher for remote-call bodies. A 32-bit running value, refreshed from every
// plaintext byte and from the key bytes in turn, yields one keystream byte per data byte.
// Both directions walk the state with the plaintext, so the output does not depend on how the
// bytes are split into calls. Not thread-safe; use one instance per direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "values/object.h"

namespace vtx {

class TRtcCrypt : public TRtcObject {
 public:
  TRtcCrypt();
  ~TRtcCrypt() override;

  const std::string& Key() const { return FCryptKey; }
  // Stores the key and restarts the keystream.
  void setKey(const std::string& key);

  // Initialises the state from the key; does nothing while the state is still fresh.
  void Init();

  // Encipher / decipher in place, continuing the keystream. With an empty key the data stay as
  // they are.
  void Crypt(std::string& data) { Crypt(data.data(), data.size()); }
  void DeCrypt(std::string& data) { DeCrypt(data.data(), data.size()); }
  void Crypt(char* data, std::size_t size);
  void DeCrypt(char* data, std::size_t size);

 private:
  template <bool Decrypt, bool Wide>
  void walk(unsigned char* data, std::size_t size);
  template <bool Decrypt>
  void run(char* data, std::size_t size);

  std::string FCryptKey;
  std::string FCryptCode;
  std::int32_t CErr = 0;
  std::int32_t CPos = 0;
  std::int32_t CLen = 0;
  std::uint8_t CCode = 0;
  std::int32_t CValue = 0;
  bool CInit = false;
};

}  // namespace vtx
