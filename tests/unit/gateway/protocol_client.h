// A small client of the remote-call protocol, written from the client's rules alone: the
// HELLO/START handshake, control keys, enciphered and compressed bodies, results in order.
// It checks the gateway independently of the gateway's own code, so it uses only the cipher,
// the value tree and zlib. The transport is a function, so the same client drives the request
// core directly and a real gateway over HTTP.
#pragma once

#include <zlib.h>

#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/crypt.h"
#include "values/values.h"

namespace vtx::gateway::testing {

struct Reply {
  int status = 0;
  std::string body;
  std::string cookieId;  // from "Set-Cookie: ID=..."
};

// target (path and query) and body in, reply out.
using Transport = std::function<Reply(const std::string& target, const std::string& body)>;

inline std::string ZlibPack(const std::string& text) {
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK)
    throw std::runtime_error("compress2");
  out.resize(size);
  return out;
}

inline std::optional<std::string> ZlibUnpack(const std::string& data) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buf[8192];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

class ProtocolClient {
 public:
  struct Settings {
    std::string path = "/$rdgate";
    std::size_t encryptionKey = 16;  // 0 = do not ask for encryption
    std::string secureKey;
    bool compress = false;  // compress bodies of 256 bytes or more
  };

  ProtocolClient(Transport transport, Settings settings, unsigned seed = 7)
      : transport_(std::move(transport)), settings_(std::move(settings)), rng_(seed) {}

  // HELLO then START; 200 when both went through (or the gateway answered unencrypted),
  // else the failing status (-1 for a reply that does not check out).
  int handshake() {
    dropCipher();
    counter_ = 0;
    clientHello_ = randomBytes(settings_.encryptionKey);
    key_ = newControlKey();
    std::string body = clientHello_ + "\r" + key_;
    if (!settings_.secureKey.empty()) {
      TRtcCrypt secure;
      secure.setKey(settings_.secureKey);
      secure.Crypt(body);
    }
    Reply r = transport_(settings_.path + "?ACTION=HELLO&ID=" + id_, body);
    if (r.status != 200) return r.status;
    if (!r.cookieId.empty()) id_ = r.cookieId;
    if (r.body.empty()) return 200;  // the gateway does not encrypt
    if (r.body.size() <= key_.size()) return -1;
    read_.setKey(clientHello_);
    read_.DeCrypt(r.body);
    if (!endsWith(r.body, key_)) return -1;
    serverHello_ = r.body.substr(0, r.body.size() - key_.size());
    write_.setKey(serverHello_);

    clientKey_ = randomBytes(settings_.encryptionKey);
    key_ = newControlKey();
    body = clientKey_ + "\r" + key_;
    write_.Crypt(body);
    r = transport_(settings_.path + "?ACTION=START&ID=" + id_, body);
    if (r.status != 200) return r.status;
    if (r.body.size() <= key_.size()) return -1;
    read_.setKey(clientKey_ + serverHello_);
    read_.DeCrypt(r.body);
    if (!endsWith(r.body, key_)) return -1;
    serverKey_ = r.body.substr(0, r.body.size() - key_.size());
    write_.setKey(serverKey_ + clientHello_);
    encrypted_ = true;
    return 200;
  }

  // Sends the calls as one request and reads the results in order. Returns the status, or -1
  // when a 200 reply fails its control key or cannot be read.
  int call(const std::vector<const TRtcValueObject*>& calls,
           std::vector<std::unique_ptr<TRtcValue>>& results, bool reset = false) {
    std::string text;
    for (const auto* c : calls) c->to_Code(text);
    return send(text, results, reset);
  }
  int call(const TRtcValueObject& one, std::vector<std::unique_ptr<TRtcValue>>& results) {
    return call(std::vector<const TRtcValueObject*>{&one}, results);
  }

  // Sends the given code text as the calls (any bytes, for damaged bodies).
  int send(const std::string& text, std::vector<std::unique_ptr<TRtcValue>>& results,
           bool reset = false) {
    results.clear();
    Outgoing out = prepare(text, reset);
    Reply r = transport_(out.target, out.body);
    return accept(out, r, results);
  }

  // A request made (and its cipher stream advanced) but not sent yet, so that several can be
  // in flight on one session; accept their replies in the same order.
  struct Outgoing {
    std::string target, body, key;
  };
  Outgoing prepare(const std::string& text, bool reset = false) {
    if (reset && encrypted_) {
      write_.setKey(serverKey_ + clientHello_);
      read_.setKey(clientKey_ + serverHello_);
      counter_ = 0;
    }
    std::string body;
    bool packed = false;
    if (settings_.compress && text.size() >= 256) {
      std::string z = ZlibPack(text);
      if (z.size() < text.size() - 1) {
        body = z + std::string(1, '\0');
        packed = true;
      }
    }
    if (!packed) body = text;
    if (encrypted_) {
      key_ = replayKey_ ? *replayKey_ : newControlKey();
      replayKey_.reset();
      body += packed ? key_ : "\r" + key_;
      write_.Crypt(body);
    }
    std::string query = reset ? "?ACTION=RESET&ID=" : "?ID=";
    query += id_.empty() && autoSessions_ ? "NEW" : id_;
    return Outgoing{settings_.path + query, std::move(body), key_};
  }
  int accept(const Outgoing& out, const Reply& r,
             std::vector<std::unique_ptr<TRtcValue>>& results) {
    results.clear();
    lastStatus_ = r.status;
    if (r.status != 200) return r.status;
    if (!r.cookieId.empty()) id_ = r.cookieId;
    std::string plain = r.body;
    if (encrypted_) {
      if (plain.size() <= out.key.size()) return -1;
      read_.DeCrypt(plain);
      if (!endsWith(plain, out.key)) return -1;
      plain.resize(plain.size() - out.key.size());
    }
    if (!plain.empty() && plain.back() == '\0') {
      plain.pop_back();
      auto unpacked = ZlibUnpack(plain);
      if (!unpacked) return -1;
      plain = std::move(*unpacked);
      lastReplyCompressed_ = true;
    } else {
      lastReplyCompressed_ = false;
    }
    try {
      std::size_t at = 0;
      while (at < plain.size()) results.push_back(TRtcValue::FromCode(plain, at));
    } catch (const std::exception&) {
      return -1;
    }
    return 200;
  }

  // The next request reuses the control key of the previous one.
  void replayControlKey() { replayKey_ = key_; }

  const std::string& sessionId() const { return id_; }
  void setSessionId(std::string id) { id_ = std::move(id); }
  void setAutoSessions(bool on) { autoSessions_ = on; }
  bool encrypted() const { return encrypted_; }
  bool lastReplyCompressed() const { return lastReplyCompressed_; }

  // A control key as the client makes them: check digits, counter, 5..9 random digits.
  std::string newControlKey() {
    counter_ = counter_ >= 99 ? 1 : counter_ + 1;
    const int r = static_cast<int>(rng_() % 5);
    std::string digits;
    int sum = 0;
    for (int i = 0; i < r + 5; ++i) {
      const int d = static_cast<int>(rng_() % 10);
      sum += d;
      digits.push_back(static_cast<char>('0' + d));
    }
    return twoDigits(53 - 9 * r + sum) + twoDigits(counter_) + digits;
  }

 private:
  static std::string twoDigits(int v) {
    return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
  }
  static bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  }
  std::string randomBytes(std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng_() & 0xFF);
    return s;
  }
  void dropCipher() {
    encrypted_ = false;
    read_.setKey({});
    write_.setKey({});
  }

  Transport transport_;
  Settings settings_;
  std::mt19937 rng_;
  std::string id_;
  bool autoSessions_ = true;
  bool encrypted_ = false;
  bool lastReplyCompressed_ = false;
  int lastStatus_ = 0;
  int counter_ = 0;
  std::string clientHello_, serverHello_, clientKey_, serverKey_, key_;
  std::optional<std::string> replayKey_;
  TRtcCrypt read_, write_;
};

// A function call with a few parameters, for tests and benchmarks.
inline std::unique_ptr<TRtcFunctionInfo> MakeCall(const RtcWideString& name, int n,
                                                  const RtcWideString& text) {
  auto f = std::make_unique<TRtcFunctionInfo>(name);
  f->setAsInteger("n", n);
  f->setAsText("text", text);
  f->setAsBoolean("flag", n % 2 == 0);
  return f;
}

}  // namespace vtx::gateway::testing
