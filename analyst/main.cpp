// vorantelix-analyst: the support analyst's side of a session, on the command line.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "analyst/analyst_session.h"
#include "analyst/gateway_probe.h"
#include "analyst/key_names.h"
#include "analyst/latency_probe.h"
#include "analyst/password_prompt.h"
#include "analyst/setting_names.h"
#include "analyst/terminal_text.h"
#include "app/web/config.h"

namespace {

using namespace vtx::analyst;
using json = nlohmann::ordered_json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const kUsageText =
    R"(usage: vorantelix-analyst --gateway HOST:PORT --user NAME [options] COMMAND
commands:
  hosts                     the customers logged in, with their login data
  chat HOST [TEXT]          join HOST's chat room, send TEXT, print the room until --for
                            SECONDS or the end of input; lines typed are sent
  cmd HOST TEXT             send one custom command to HOST
  ls HOST [FOLDER]          list a folder of HOST (its drives when no folder is given)
  send HOST LOCAL [FOLDER]  send a file or a whole folder to HOST (into FOLDER when given,
                            else into HOST's inbox)
  fetch HOST REMOTE LOCAL_FOLDER   fetch a file or folder of HOST into LOCAL_FOLDER; only
                            that entry is written, no existing file replaced (see --overwrite),
                            no more than --max-fetch bytes; the last line says what was written
                            and what was refused (an interrupt or SIGTERM cancels a running
                            send or fetch)
  rm HOST PATH | mv HOST PATH NEW | ren HOST PATH NEW | md HOST FOLDER | run HOST FILE [PARAMS]
                            delete (folders go to the trash), move, rename (a bare NEW name
                            stays in PATH's folder), create a folder, open a file on HOST; each
                            waits for the host: the folder is listed to confirm the result
  view HOST --png FILE [--wait SECONDS]
                            join HOST's desktop, take its first complete image and the updates
                            of SECONDS more (1), write what the analyst sees as a PNG file
  click HOST X Y [left|right|middle] | move HOST X Y | wheel HOST DELTA
                            mouse input on HOST's screen (pixels from its top-left corner)
  type HOST TEXT            type TEXT on HOST
  key HOST KEY              press and release KEY on HOST: a name (Escape, Enter, Tab, F5,
                            Delete, Home, Left, a, 7, ...) or a combination (ctrl+c,
                            ctrl+alt+Delete, shift+F10); or one of the special sequences CAD
                            COPY AT SAT CAT SCAT WIN RWIN HDESK SDESK TAERO
  keydown HOST KEY | keyup HOST KEY
                            press or release one key (a name as above, or a code 10..254)
  clip HOST get | clip HOST set TEXT
                            print HOST's clipboard text, or put TEXT on it
  settings HOST NAME=VALUE...   change HOST's screen settings: color=8bit|16bit|4bit|6bit|
                            9bit|12bit|15bit|18bit|21bit|32bit colorlow=off|6bit..21bit|
                            high6bit..high21bit colorpercent=0..100 frame=max|50fps|40fps|
                            25fps|20fps|10fps|8fps|5fps|4fps|2fps|1fps|sleep10ms..sleep500ms
                            (each choice also by its number in this order)
                            scrblocks=0..11 scrblocks2=0..11
                            scr2delay=-1..3600 scrlimit=0..16 mirror= mouse= monitors=
                            layered=true|false encoder=NAME
  hostparams HOST           print HOST's screen settings (with the names of the choices)
  session                   read commands from standard input, one a line:
                              chat HOST TEXT | piece HOST TEXT | cmd HOST TEXT |
                              wait-line HOST REGEX [SECONDS] | ls HOST [FOLDER] |
                              send HOST LOCAL [FOLDER] | fetch HOST REMOTE LOCAL_FOLDER |
                              rm | mv | ren | md | run (as above, sent without waiting) |
                              cancel HOST PATH (a running send or fetch) |
                              view HOST FILE [SECONDS] | click | move | wheel | type | key |
                              clip | settings | hostparams (as above) | quit
                            and print events as JSON lines
options:
  --password TEXT               the analyst's login password; without it (or "password" in the
                                config file) it is asked for on the terminal, not shown
  --key TEXT                    the gateway's secure key (the program's own when not given)
  --tls                         HTTPS to the gateway, its certificate checked (system's store)
  --tls-ca FILE                 HTTPS, the certificate checked against this CA file
  --json                        JSON lines instead of text (texts exactly as received); plain
                                text shows control characters from the host as ^X or <U+0085>
  --overwrite                   fetch may replace existing local files (else they are refused)
  --max-fetch BYTES             most bytes one command may fetch (4G); K, M, G, T suffixes
  --max-screen BYTES            most memory a host's screen image may take (256M); larger
                                screens, sides over 16384 pixels and cursor records over 64M are
                                refused
  --accept-from-host DIR        take files the host sends unasked into DIR (else refused)
  --for SECONDS                 how long chat and hosts listen
  --wait SECONDS                how long to wait for a host to appear and take us in (10)
  --timeline FILE               append the session's events and the analyst's own actions
                                (typed and clipboard texts by length only) to FILE as JSON lines
  --latency-probe X,Y           log to standard error each new frame number a latency marker at
                                (X,Y) of a viewed screen shows: "latency-probe NANOSECONDS N"
The gateway, user, password and key may also come from the JSON object in the file named by
VORANTELIX_ANALYST_CONFIG ({"gateway": "HOST:PORT", "user": ..., "password": ..., "key": ..., "tls-ca": ...}).
exit codes: 0 done, 2 usage, 3 gateway unreachable (the reason: no such name, nothing listening,
TLS or plain HTTP mismatched, certificate not trusted), 4 wrong user, password or secure key,
5 host not logged in, 6 host refused access (or sent no screen), 7 connection to the gateway
lost, 8 wait-line timed out, 9 a file command was refused or a transfer did not arrive whole (or the host sent
something that was refused), 10 the command failed on this machine (for example a file could not
be written); an interrupt or SIGTERM logs out and ends with 128 + the signal's number
The host never gets to browse, fetch, change or run the analyst's files, nor to show a screen
the analyst did not open; messages a command does not use are dropped and counted on exit.
)";

struct Options {
  SessionOptions session;
  bool json = false;
  double forSeconds = -1;
  double waitSeconds = 10;
  bool waitGiven = false;
  std::string png;
  std::vector<std::string> command;
};

[[noreturn]] void fail(int code, const std::string& text) {
  std::fprintf(stderr, "vorantelix-analyst: %s\n", Visible(text).c_str());
  std::fflush(stdout);
  std::_Exit(code);
}

void setGateway(Options& o, const std::string& g) {
  const auto colon = g.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == g.size())
    fail(kUsage, "the gateway must be given as HOST:PORT, not \"" + g + "\"");
  o.session.addr = g.substr(0, colon);
  o.session.port = g.substr(colon + 1);
}

double seconds(const std::string& option, const std::string& v) {
  try {
    std::size_t used = 0;
    const double d = std::stod(v, &used);
    if (used == v.size() && d >= 0 && d < 1e6) return d;
  } catch (const std::exception&) {
  }
  fail(kUsage, "invalid number of seconds for " + option + ": " + v);
}

// A byte count with an optional K, M, G or T suffix (powers of 1024).
int64_t byteCount(const std::string& option, const std::string& v) {
  std::size_t used = 0;
  double n = -1;
  try {
    n = std::stod(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  double unit = 1;
  if (used > 0 && used + 1 == v.size()) {
    const std::string units = "KMGT";
    const auto at =
        units.find(static_cast<char>(std::toupper(static_cast<unsigned char>(v[used]))));
    if (at != std::string::npos) {
      unit = static_cast<double>(int64_t{1} << (10 * (at + 1)));
      ++used;
    }
  }
  if (used == 0 || used != v.size() || !(n >= 0) || n * unit > 9e18)
    fail(kUsage, "invalid byte count for " + option + ": " + v + " (for example 500M or 4G)");
  return static_cast<int64_t>(n * unit);
}

Options parse(int argc, char** argv) {
  Options o;
  const vtx::TConfiguracao config = vtx::ConfiguracaoPadrao();
  // The secure key may be the program's own; the password is the analyst's.
  o.session.key = config.chaveDados;
  bool passwordGiven = false;
  if (const char* file = std::getenv("VORANTELIX_ANALYST_CONFIG"); file && *file) {
    std::ifstream in(file);
    if (!in) fail(kUsage, std::string("cannot read the config file ") + file);
    const json j = json::parse(in, nullptr, false);
    if (!j.is_object()) fail(kUsage, std::string("the config file is no JSON object: ") + file);
    auto text = [&](const char* k, std::string& out) {
      if (!j.contains(k)) return;
      if (!j[k].is_string()) fail(kUsage, std::string("config: \"") + k + "\" must be text");
      out = j[k].get<std::string>();
    };
    std::string gateway;
    text("gateway", gateway);
    if (!gateway.empty()) setGateway(o, gateway);
    text("user", o.session.user);
    passwordGiven = j.contains("password");
    text("password", o.session.password);
    text("key", o.session.key);
    text("tls-ca", o.session.tlsCa);
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(kUsage, a + " needs a value");
      return argv[++i];
    };
    if (a == "--help") {
      std::fputs(kUsageText, stdout);
      std::exit(0);
    } else if (a == "--gateway") {
      setGateway(o, value());
    } else if (a == "--user") {
      o.session.user = value();
    } else if (a == "--password") {
      o.session.password = value();
      passwordGiven = true;
    } else if (a == "--key") {
      o.session.key = value();
    } else if (a == "--tls") {
      o.session.tls = true;
    } else if (a == "--tls-ca") {
      o.session.tlsCa = value();
    } else if (a == "--timeline") {
      o.session.timeline = value();
    } else if (a == "--latency-probe") {
      try {
        ParseProbePosition(value(), o.session.probeX, o.session.probeY);
      } catch (const std::invalid_argument& e) {
        fail(kUsage, e.what());
      }
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--for") {
      o.forSeconds = seconds(a, value());
    } else if (a == "--wait") {
      o.waitSeconds = seconds(a, value());
      o.waitGiven = true;
    } else if (a == "--png") {
      o.png = value();
    } else if (a == "--overwrite") {
      o.session.fetch.overwrite = true;
    } else if (a == "--max-screen") {
      o.session.view.maxImageBytes = byteCount(a, value());
    } else if (a == "--max-fetch") {
      o.session.fetch.maxBytes = byteCount(a, value());
    } else if (a == "--accept-from-host") {
      o.session.acceptFromHost = std::filesystem::absolute(value()).string();
    } else if (a.rfind("--", 0) == 0) {
      fail(kUsage, "unknown option " + a + " (see --help)");
    } else {
      o.command.push_back(a);
    }
  }
  if (o.session.addr.empty() || o.session.user.empty())
    fail(kUsage, "--gateway HOST:PORT and --user NAME are required (see --help)");
  if (o.command.empty()) fail(kUsage, "no command given (see --help)");
  if (!passwordGiven && !ReadPassword("password of " + o.session.user + " at " + o.session.addr +
                                          ":" + o.session.port + ": ",
                                      o.session.password))
    fail(kUsage,
         "no password: give --password, put \"password\" in the file named by "
         "VORANTELIX_ANALYST_CONFIG, or run on a terminal to be asked");
  return o;
}

std::chrono::milliseconds ms(double s) {
  return std::chrono::milliseconds(static_cast<long long>(s * 1000));
}

// Output, one line at a time.
std::mutex outLock;
void writeLine(const std::string& line) {
  std::lock_guard g(outLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
// A line for people: whatever the host wrote in it cannot act on the terminal.
void printLine(const std::string& line) {
  writeLine(Visible(line));
}
void printJson(const json& j) {
  writeLine(j.dump(-1, ' ', false, json::error_handler_t::replace));
}
void printError(const std::string& text) {
  std::fprintf(stderr, "vorantelix-analyst: %s\n", Visible(text).c_str());
}

json eventJson(const Event& e) {
  json j;
  j["event"] = e.kind;
  if (!e.room.empty()) j["room"] = e.room;
  if (!e.user.empty()) j["user"] = e.user;
  if (e.kind == "line") j["sender"] = e.room;
  if (e.kind == "line" || e.kind == "error" || e.kind == "file_error") j["text"] = e.text;
  if (e.kind == "listing") j["rows"] = json::parse(e.text, nullptr, false);
  if (e.kind == "sending" || e.kind == "receiving" || e.kind == "sent" || e.kind == "received" ||
      e.kind == "send_cancelled" || e.kind == "receive_cancelled")
    j["size"] = std::stoll(e.text);
  return j;
}

void printEvent(const Event& e, bool asJson) {
  if (asJson) return printJson(eventJson(e));
  // The author is who the gateway says sent the line; a host naming someone else relays.
  if (e.kind == "line" && e.user == e.room)
    printLine("[" + e.room + "] " + e.room + ": " + e.text);
  else if (e.kind == "line")
    printLine("[" + e.room + "] " + e.room + " (relaying \"" + e.user + "\"): " + e.text);
  else if (e.kind == "joined")
    printLine("* joined the room of " + e.room);
  else if (e.kind == "left")
    printLine("* the room of " + e.room + " was closed");
  else if (e.kind == "user_joined")
    printLine("* " + e.user + " joined the room of " + e.room);
  else if (e.kind == "user_left")
    printLine("* " + e.user + " left the room of " + e.room);
}

// The events each command reads; the others are dropped as they come.
std::vector<std::string> consumedBy(const std::string& command) {
  if (command == "chat") return {"joined", "left", "user_joined", "user_left", "line"};
  if (command == "ls" || command == "send" || command == "fetch" || command == "rm" ||
      command == "mv" || command == "ren" || command == "md" || command == "run")
    return {"listing", "file_error", "sending",        "receiving",
            "sent",    "received",   "send_cancelled", "receive_cancelled"};
  return {};
}

std::unique_ptr<AnalystSession> startSession(const Options& o) {
  std::unique_ptr<AnalystSession> s;
  try {
    s = std::make_unique<AnalystSession>(o.session);
  } catch (const std::exception& e) {
    fail(kUsage, e.what());
  }
  if (o.command[0] != "session") s->Consume(consumedBy(o.command[0]));
  std::string error;
  const int code = s->Start(15s, error);
  if (code == kBadLogin)
    fail(code, "the gateway refused user \"" + o.session.user + "\": wrong user or password (" +
                   error + ")");
  if (error.find("Secure Key") != std::string::npos)
    fail(kBadLogin, "the gateway refused the secure key (--key) (" + error + ")");
  if (code != kOk) {
    const std::string why = ProbeGateway(
        o.session.addr, o.session.port, o.session.tls || !o.session.tlsCa.empty(), o.session.tlsCa);
    fail(code, "cannot reach the gateway at " + o.session.addr + ":" + o.session.port + ": " +
                   (why.empty() ? error : why));
  }
  return s;
}

void needHost(AnalystSession& s, const std::string& host, const Options& o) {
  if (!s.WaitForHost(host, ms(std::min(o.waitSeconds, 5.0))))
    fail(kHostNotLoggedIn, "host \"" + host + "\" is not logged in at the gateway");
}

void join(AnalystSession& s, const std::string& host, const Options& o) {
  needHost(s, host, o);
  const int code = s.JoinRoom(host, ms(o.waitSeconds));
  if (code == kAccessRefused) fail(code, "host \"" + host + "\" refused access to its chat room");
  if (code != kOk) {
    std::string why;
    s.Lost(why);
    fail(code, "lost the connection to the gateway (" + why + ")");
  }
}

int finishSession(AnalystSession& s, int code) {
  s.Flush(3s);
  s.Stop();
  if (const int64_t dropped = s.Dropped(); dropped > 0)
    printError("dropped " + std::to_string(dropped) +
               " message(s) from the gateway that the command did not use");
  std::fflush(stdout);
  std::_Exit(code);
}

int runHosts(AnalystSession& s, const Options& o) {
  std::this_thread::sleep_for(ms(o.forSeconds >= 0 ? o.forSeconds : 2));
  const auto hosts = s.Hosts();
  if (o.json) {
    for (const auto& h : hosts)
      printJson({{"user", h.user},
                 {"company", h.company},
                 {"name", h.name},
                 {"machine", h.machine},
                 {"ticket", h.ticket},
                 {"service", h.service}});
  } else {
    char line[512];
    std::snprintf(line, sizeof line, "%-20s %-24s %-20s %-16s %-8s %s", "USER", "COMPANY", "NAME",
                  "MACHINE", "TICKET", "SERVICE");
    printLine(line);
    for (const auto& h : hosts) {
      std::snprintf(line, sizeof line, "%-20s %-24s %-20s %-16s %-8s %s", h.user.c_str(),
                    h.company.c_str(), h.name.c_str(), h.machine.c_str(), h.ticket.c_str(),
                    h.service.c_str());
      printLine(line);
    }
  }
  return finishSession(s, kOk);
}

// Lines of standard input, read by a thread of their own.
class InputLines {
 public:
  InputLines() {
    std::thread([this] {
      for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::lock_guard g(lock_);
        lines_.push_back(std::move(line));
      }
      std::lock_guard g(lock_);
      ended_ = true;
    }).detach();  // it may wait for input until the process ends
  }
  // The next line; false when none is waiting. `ended` tells whether input is over.
  bool next(std::string& line, bool& ended) {
    std::lock_guard g(lock_);
    ended = ended_ && lines_.empty();
    if (lines_.empty()) return false;
    line = std::move(lines_.front());
    lines_.erase(lines_.begin());
    return true;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

int lostExit(AnalystSession& s) {
  std::string why;
  s.Lost(why);
  fail(kConnectionLost, "lost the connection to the gateway (" + why + ")");
}

int runChat(AnalystSession& s, const Options& o) {
  if (o.command.size() < 2) fail(kUsage, "chat needs a HOST");
  const std::string host = o.command[1];
  join(s, host, o);
  if (o.command.size() > 2) {
    try {
      s.SendChat(host, o.command[2] + "\r");
    } catch (const std::exception& e) {
      s.Stop();
      fail(kUsage, e.what());
    }
  }
  InputLines input;
  const auto end = o.forSeconds >= 0 ? Clock::now() + ms(o.forSeconds) : Clock::time_point::max();
  for (;;) {
    Event e;
    while (s.NextEvent(e, 50ms)) {
      if (e.kind == "error") return lostExit(s);
      printEvent(e, o.json);
      if (e.kind == "left" && e.room == host) return finishSession(s, kOk);
    }
    std::string line;
    bool ended = false;
    while (input.next(line, ended)) {
      if (line.empty()) continue;
      try {
        s.SendChat(host, line + "\r");
      } catch (const std::exception& err) {
        printError(std::string("line not sent: ") + err.what());
      }
    }
    if (Clock::now() >= end || (ended && o.forSeconds < 0)) return finishSession(s, kOk);
  }
}

int runCmd(AnalystSession& s, const Options& o) {
  if (o.command.size() < 3) fail(kUsage, "cmd needs a HOST and a TEXT");
  needHost(s, o.command[1], o);
  s.Record("cmd", o.command[1], {{"Text", o.command[2]}});
  s.SendCommand(o.command[1], o.command[2]);
  return finishSession(s, kOk);
}

// ---- Files ----

void openFiles(AnalystSession& s, const std::string& host, const Options& o) {
  needHost(s, host, o);
  const int code = s.OpenFiles(host, ms(o.waitSeconds));
  if (code == kAccessRefused) fail(code, "host \"" + host + "\" refused file transfer");
  if (code != kOk) lostExit(s);
}

std::string sizeText(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return buf;
}

// The adapter's figures of one direction, as a progress line or a JSON object.
json progressJson(const vtx::TRtcPFileTransferUI& ui, bool sending) {
  const int64_t done = sending ? ui.Send_BytesPrepared() : ui.Recv_BytesComplete();
  const int64_t total = sending ? ui.Send_BytesTotal() : ui.Recv_BytesTotal();
  return {{"event", "progress"},
          {"direction", sending ? "send" : "receive"},
          {"file", sending ? ui.Send_FileName() : ui.Recv_FileName()},
          {"bytes", done},
          {"total", total},
          {"percent", total > 0 ? static_cast<int>(done * 100 / total) : 0},
          {"kbit", sending ? ui.Send_KBit() : ui.Recv_KBit()},
          {"eta", sending ? ui.Send_ETA() : ui.Recv_ETA()},
          {"elapsed", sending ? ui.Send_TotalTime() : ui.Recv_TotalTime()}};
}

void showProgress(const vtx::TRtcPFileTransferUI& ui, bool sending, bool asJson, bool& shown) {
  const json p = progressJson(ui, sending);
  if (asJson) return printJson(p);
  if (!::isatty(STDOUT_FILENO)) return;
  char line[256];
  std::snprintf(line, sizeof line, "\r%s / %s (%d%%)  %.1f Mbit/s  ETA %s   ",
                sizeText(p["bytes"].get<double>()).c_str(),
                sizeText(p["total"].get<double>()).c_str(), p["percent"].get<int>(),
                p["kbit"].get<int64_t>() / 1000.0, p["eta"].get<std::string>().c_str());
  std::lock_guard g(outLock);
  std::fputs(line, stdout);
  std::fflush(stdout);
  shown = true;
}

// A file command in the timeline: its words after the host.
void recordFiles(AnalystSession& s, const std::vector<std::string>& words) {
  static const char* const names[] = {"Path", "To"};
  std::vector<std::pair<std::string, std::string>> details;
  for (std::size_t i = 2; i < words.size() && i < 4; ++i)
    details.emplace_back(names[i - 2], words[i]);
  s.Record(words[0], words[1], std::move(details));
}

// The new name of a rename: a bare name stays in the entry's own folder.
std::string renameTarget(const std::string& path, const std::string& name) {
  if (name.find_first_of("/\\") != std::string::npos) return name;
  std::string folder = path;
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  const auto sep = folder.find_last_of("/\\");
  return sep == std::string::npos ? name : folder.substr(0, sep + 1) + name;
}

// A row's field as the type it should have; a host may send anything there.
int64_t numberField(const json& row, const char* key) {
  const auto it = row.find(key);
  if (it == row.end() || !it->is_number()) return 0;
  return it->is_number_float() ? static_cast<int64_t>(it->get<double>()) : it->get<int64_t>();
}
std::string textField(const json& row, const char* key) {
  const auto it = row.find(key);
  if (it == row.end()) return {};
  return it->is_string() ? it->get<std::string>() : it->dump();
}

void listingText(const json& rows, const std::string& folder) {
  if (!rows.is_array()) return;
  if (rows.empty()) printLine("(no entries: " + folder + " is empty or does not exist)");
  for (const auto& r : rows) {
    if (!r.is_object()) continue;
    if (r.contains("drive")) {
      printLine(textField(r, "drive") + "  " +
                sizeText(static_cast<double>(numberField(r, "size"))) + "  free " +
                sizeText(static_cast<double>(numberField(r, "free"))) + "  " +
                textField(r, "label"));
      continue;
    }
    const bool dir = numberField(r, "attr") & 0x10;
    char line[64];
    std::snprintf(line, sizeof line, "%s %12s  ", dir ? "d" : "-",
                  dir ? "" : std::to_string(numberField(r, "size")).c_str());
    printLine(line + textField(r, "age") + "  " + textField(r, "file"));
  }
}

// The signals that cancel a transfer: blocked in every thread (before the session starts them)
// and taken by waitTransfer.
sigset_t cancelSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

bool cancelAsked() {
  const sigset_t set = cancelSignals();
  const timespec now{0, 0};
  return ::sigtimedwait(&set, nullptr, &now) > 0;
}

// Cancels the transfer of `path` with `host` in the direction given.
void cancelTransfer(vtx::TRtcPFileTransfer& ft, const std::string& host, const std::string& path,
                    bool sending) {
  if (sending)
    ft.Cancel_Send(host, path);
  else
    ft.Cancel_Fetch(host, path);
}

// Waits for one transfer of `path` to end (cancelling it on an interrupt); the exit code.
int waitTransfer(AnalystSession& s, const Options& o, bool sending, const std::string& host,
                 const std::string& path, std::vector<std::string>* errors = nullptr) {
  auto end = o.forSeconds >= 0 ? Clock::now() + ms(o.forSeconds) : Clock::time_point::max();
  bool shown = false, failed = false, cancelled = false;
  // Whether an event is about this transfer, not something else the host sent meanwhile.
  std::string entry = path;
  while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
  if (const auto slash = entry.rfind('/'); slash != std::string::npos) entry.erase(0, slash + 1);
  auto ours = [&](const Event& e) {
    return sending || e.user == path || e.user == entry || e.user.rfind(entry + "/", 0) == 0;
  };
  auto last = Clock::now();
  for (;;) {
    if (!cancelled && cancelAsked()) {
      cancelled = failed = true;
      if (shown) printLine("");
      shown = false;
      if (o.json)
        printJson({{"event", "cancel"}, {"host", host}, {"file", path}});
      else
        printError("cancelling " + path);
      cancelTransfer(s.Files(), host, path, sending);
      // The cancel's report, or a short while without one.
      end = std::min(end, Clock::now() + 5s);
    }
    Event e;
    if (s.NextEvent(e, 100ms)) {
      if (e.kind == "error") return lostExit(s);
      if (e.kind == "sending" || e.kind == "receiving") {
        if (Clock::now() - last > 250ms) {
          showProgress(s.FilesUI(), sending, o.json, shown);
          last = Clock::now();
        }
        continue;
      }
      if (shown) printLine("");
      shown = false;
      if (o.json) printJson(eventJson(e));
      if (e.kind == "file_error" && !o.json) printError(e.user + ": " + e.text);
      if (e.kind == "file_error" && errors) errors->push_back(e.user + ": " + e.text);
      if (!ours(e)) continue;
      if (e.kind == "file_error") failed = true;
      if (e.kind == "send_cancelled" || e.kind == "receive_cancelled") failed = true;
      const bool done = e.kind == (sending ? "sent" : "received");
      if (done && !o.json && sending) printLine("done: " + e.user);
      if (done || (failed && e.kind != "file_error")) break;
      if (failed && (!sending || s.Files().SendersCount() == 0)) break;
    }
    if (Clock::now() >= end) {
      if (shown) printLine("");
      if (cancelled) break;
      fail(kTimeout, "the transfer with " + host + " did not end in time");
    }
  }
  // A refusal by the receiver arrives after the last chunk left.
  s.Flush(3s);
  Event e;
  while (s.NextEvent(e, 500ms)) {
    if (o.json) printJson(eventJson(e));
    if (e.kind == "file_error") {
      if (!o.json) printError(e.user + ": " + e.text);
      if (errors) errors->push_back(e.user + ": " + e.text);
      failed |= ours(e);
    }
  }
  return failed ? kFileFailed : kOk;
}

// A file command the host refused: its text, as the command's answer.
int fileCommandRefused(const Event& e, const Options& o) {
  if (o.json)
    printJson(eventJson(e));
  else
    printError(e.text);
  return kFileFailed;
}

// A command that only answers when refused: its text, or nothing within a short while.
int waitRefusal(AnalystSession& s, const Options& o) {
  s.Flush(3s);
  const auto end = Clock::now() + 2s;
  Event e;
  while (Clock::now() < end) {
    if (!s.NextEvent(e, 100ms)) continue;
    if (e.kind == "error") return lostExit(s);
    if (e.kind == "file_error") return fileCommandRefused(e, o);
  }
  if (o.json) printJson({{"event", "done"}});
  return kOk;
}

// The folder and the name of a path on the host ("/" or "\\" separated).
std::pair<std::string, std::string> splitPath(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  const auto sep = path.find_last_of("/\\");
  if (sep == std::string::npos) return {"", path};
  return {path.substr(0, sep == 0 ? 1 : sep), path.substr(sep + 1)};
}

// A file command's answer: the host reports only refusals, so the folder that must show the
// result is listed after it (the host handles both in order). kOk when the listing shows it,
// kFileFailed on a refusal or when it does not; without a listing (browsing not allowed there)
// a short wait for a refusal decides.
int confirmFileCommand(AnalystSession& s, const Options& o, const std::string& c,
                       const std::string& host, const std::string& path) {
  const auto [folder, name] = splitPath(path);
  const bool present = c != "rm";
  if (folder.empty() || name.empty()) return waitRefusal(s, o);
  s.Files().GetFileList(host, folder);
  const auto end = Clock::now() + ms(std::max(o.waitSeconds, 2.0));
  Event e;
  while (Clock::now() < end) {
    if (!s.NextEvent(e, 100ms)) continue;
    if (e.kind == "error") return lostExit(s);
    if (e.kind == "file_error") return fileCommandRefused(e, o);
    if (e.kind != "listing" || e.user != folder) continue;
    const json rows = json::parse(e.text, nullptr, false);
    bool found = false;
    if (rows.is_array())
      for (const auto& r : rows) found |= r.is_object() && textField(r, "file") == name;
    const bool ok = found == present;
    if (o.json) {
      printJson({{"event", ok ? "done" : "not-done"},
                 {"command", c},
                 {"path", path},
                 {"confirmed", true}});
    } else if (ok) {
      printLine("done: " + c + " " + path);
    } else {
      printError("the host reports no error, but " + path +
                 (present ? " is not there" : " is still there"));
    }
    return ok ? kOk : kFileFailed;
  }
  if (!o.json) printLine("sent: " + c + " " + path + " (the host does not list " + folder + ")");
  if (o.json) printJson({{"event", "done"}, {"command", c}, {"path", path}, {"confirmed", false}});
  return kOk;
}

// The last line of a fetch: what was written and what was refused (`refused`: the file errors
// of the command); its exit code.
int fetchSummary(AnalystSession& s, const Options& o, const std::string& folder,
                 const std::vector<std::string>& refused, int code) {
  const FetchGuard::Tally t = s.FetchResult();
  int files = 0;
  int64_t bytes = 0;
  for (const std::string& f : t.files) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(f, ec)) continue;
    ++files;
    bytes += static_cast<int64_t>(std::filesystem::file_size(f, ec));
  }
  const bool whole = code == kOk;
  if (!refused.empty()) code = kFileFailed;
  if (o.json) {
    printJson({{"event", "fetched"},
               {"folder", folder},
               {"files", files},
               {"bytes", bytes},
               {"refused", refused},
               {"whole", whole}});
  } else {
    std::string line = (whole ? "done: " : "incomplete: ") + std::to_string(files) +
                       (files == 1 ? " file, " : " files, ") + std::to_string(bytes) +
                       " bytes written into " + folder;
    if (!refused.empty()) {
      line += "; refused " + std::to_string(refused.size()) + ":";
      for (std::size_t i = 0; i < refused.size() && i < 10; ++i) line += " " + refused[i] + ";";
      if (refused.size() > 10) line += " ...";
    }
    printLine(line);
  }
  return code;
}

int runFiles(AnalystSession& s, const Options& o) {
  const auto& a = o.command;
  const std::string& c = a[0];
  const std::size_t need = c == "ls" || c == "rm" || c == "md" || c == "run" ? 3 : 4;
  if (a.size() < need - (c == "ls" || c == "send" ? 1 : 0))
    fail(kUsage, c + ": missing arguments (see --help)");
  const std::string& host = a[1];
  openFiles(s, host, o);
  recordFiles(s, a);
  vtx::TRtcPFileTransfer& ft = s.Files();
  if (c == "ls") {
    ft.GetFileList(host, a.size() > 2 ? a[2] : std::string());
    Event e;
    const auto end = Clock::now() + ms(o.waitSeconds);
    while (Clock::now() < end) {
      if (!s.NextEvent(e, 100ms)) continue;
      if (e.kind == "error") return lostExit(s);
      if (e.kind != "listing") continue;
      if (o.json)
        printJson(eventJson(e));
      else
        listingText(json::parse(e.text, nullptr, false), a.size() > 2 ? a[2] : "/");
      return finishSession(s, kOk);
    }
    fail(kFileFailed, "no listing from " + host + " (browsing refused?)");
  }
  if (c == "send") {
    ft.Send(host, a[2], a.size() > 3 ? a[3] : std::string());
    return finishSession(s, waitTransfer(s, o, true, host, a[2]));
  }
  if (c == "fetch") {
    s.Fetch(host, a[2], a[3]);
    std::vector<std::string> refused;
    const int code = waitTransfer(s, o, false, host, a[2], &refused);
    return finishSession(s, fetchSummary(s, o, a[3], refused, code));
  }
  if (c == "run") {
    ft.Cmd_Execute(host, a[2], a.size() > 3 ? a[3] : std::string());
    return finishSession(s, waitRefusal(s, o));
  }
  std::string shows = a[2];  // the path that shows the result
  if (c == "rm") {
    ft.Cmd_FileDelete(host, a[2]);
  } else if (c == "md") {
    ft.Cmd_NewFolder(host, a[2]);
  } else if (c == "mv") {
    ft.Cmd_FileMove(host, a[2], a[3]);
    shows = a[3];
  } else {
    shows = renameTarget(a[2], a[3]);
    ft.Cmd_FileRename(host, a[2], shows);
  }
  return finishSession(s, confirmFileCommand(s, o, c, host, shows));
}

// ---- Desktop ----

const char* const kSpecialKeys[] = {"CAD", "COPY", "AT",    "SAT",   "CAT",  "SCAT",
                                    "WIN", "RWIN", "HDESK", "SDESK", "TAERO"};

bool isDesktopCommand(const std::string& c) {
  return c == "view" || c == "click" || c == "move" || c == "wheel" || c == "type" || c == "key" ||
         c == "keydown" || c == "keyup" || c == "clip" || c == "settings" || c == "hostparams";
}

// A bad argument of a desktop command.
struct BadArgument : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int integerArg(const std::string& what, const std::string& v, long low, long high) {
  std::size_t used = 0;
  long n = 0;
  try {
    n = std::stol(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (v.empty() || used != v.size() || n < low || n > high)
    throw BadArgument(what + ": \"" + v + "\" is not a number from " + std::to_string(low) +
                      " to " + std::to_string(high));
  return static_cast<int>(n);
}

bool boolArg(const std::string& what, const std::string& v) {
  if (v == "true" || v == "1" || v == "on") return true;
  if (v == "false" || v == "0" || v == "off") return false;
  throw BadArgument(what + ": \"" + v + "\" is not true or false");
}

void openDesktop(AnalystSession& s, const std::string& host, const Options& o) {
  needHost(s, host, o);
  const int code = s.OpenDesktop(host, ms(std::max(o.waitGiven ? o.waitSeconds : 0.0, 15.0)));
  if (code == kAccessRefused) {
    const DesktopView* v = s.View(host);
    const std::string why = v ? v->LastError() : std::string();
    fail(code, "host \"" + host + "\" refused its desktop or sent no screen" +
                   (why.empty() ? std::string() : " (" + why + ")"));
  }
  if (code != kOk) lostExit(s);
}

// A desktop action in the timeline; typed and clipboard texts by their length only.
void recordDesktop(AnalystSession& s, const std::vector<std::string>& a,
                   const std::u16string& text) {
  const std::string& c = a[0];
  std::vector<std::pair<std::string, std::string>> details;
  if (c == "type" || (c == "clip" && a[2] == "set"))
    details.emplace_back("Characters", std::to_string(text.size()));
  else
    for (std::size_t i = 2; i < a.size(); ++i)
      details.emplace_back("Arg" + std::to_string(i - 1), a[i]);
  s.Record(c, a[1], std::move(details));
}

json cursorJson(const CursorState& c) {
  return {{"known", c.known}, {"visible", c.visible}, {"x", c.x},        {"y", c.y},
          {"shape", c.shape}, {"user", c.user},       {"hot_x", c.hotX}, {"hot_y", c.hotY}};
}

json paramsJson(const vtx::TRtcPDesktopControl::HostParams& p) {
  return {{"color", p.ColorLimit},
          {"colorlow", p.ColorLowLimit},
          {"colorpercent", p.ColorReducePercent},
          {"frame", p.FrameRate},
          {"scrblocks", p.SendScreenInBlocks},
          {"scrblocks2", p.SendScreenRefineBlocks},
          {"scr2delay", p.SendScreenRefineDelay},
          {"scrlimit", p.SendScreenSizeLimit},
          {"mirror", p.UseMirrorDriver},
          {"mouse", p.UseMouseDriver},
          {"monitors", p.CaptureAllMonitors},
          {"layered", p.CaptureLayeredWindows},
          {"encoder", p.EncoderClassName},
          {"width", p.ScreenWidth},
          {"height", p.ScreenHeight}};
}

// Runs one desktop command given as words (the command first); its result as JSON. Bad
// arguments throw BadArgument; the exit codes of a failed join end the process.
json desktopCommand(AnalystSession& s, const Options& o, const std::vector<std::string>& a) {
  const std::string& c = a[0];
  auto need = [&](std::size_t n, const char* usage) {
    if (a.size() < n) throw BadArgument(c + " needs " + usage);
  };
  need(2, "a HOST");
  const std::string& host = a[1];
  vtx::TRtcPDesktopControl& d = s.Desktop();
  json r = {{"event", c}, {"host", host}};
  if (c == "hostparams") {
    needHost(s, host, o);
    vtx::TRtcPDesktopControl::HostParams p;
    s.Record(c, host);
    if (!s.HostParams(host, ms(std::max(o.waitSeconds, 1.0)), p))
      fail(kAccessRefused, "host \"" + host + "\" sent no settings");
    r["params"] = paramsJson(p);
    json names = json::object();
    for (const auto& [k, v] : r["params"].items())
      if (v.is_number())
        if (const std::string n = SettingName(k, v.get<int>()); !n.empty()) names[k] = n;
    r["names"] = names;
    return r;
  }
  if (c == "settings") {
    need(3, "NAME=VALUE pairs");
    // Checked whole before anything is sent.
    std::vector<std::function<void()>> set;
    for (std::size_t i = 2; i < a.size(); ++i) {
      const auto eq = a[i].find('=');
      if (eq == std::string::npos) throw BadArgument("settings: \"" + a[i] + "\" is no NAME=VALUE");
      const std::string name = a[i].substr(0, eq), v = a[i].substr(eq + 1);
      auto integer =
          [&](void (vtx::TRtcPDesktopControl::*op)(int, const std::string&, vtx::TRtcConnection*),
              long low, long high) {
            const int n = integerArg(name, v, low, high);
            set.push_back([&d, op, n, host] { (d.*op)(n, host, nullptr); });
          };
      auto choice =
          [&](void (vtx::TRtcPDesktopControl::*op)(int, const std::string&, vtx::TRtcConnection*)) {
            int n = 0;
            try {
              n = SettingIndex(name, v);
            } catch (const std::invalid_argument& e) {
              throw BadArgument(std::string("settings: ") + e.what());
            }
            set.push_back([&d, op, n, host] { (d.*op)(n, host, nullptr); });
          };
      auto boolean = [&](void (vtx::TRtcPDesktopControl::*op)(bool, const std::string&,
                                                              vtx::TRtcConnection*)) {
        const bool b = boolArg(name, v);
        set.push_back([&d, op, b, host] { (d.*op)(b, host, nullptr); });
      };
      using D = vtx::TRtcPDesktopControl;
      if (name == "color")
        choice(&D::ChgDesktop_ColorLimit);
      else if (name == "colorlow")
        choice(&D::ChgDesktop_ColorLowLimit);
      else if (name == "colorpercent")
        integer(&D::ChgDesktop_ColorReducePercent, 0, 100);
      else if (name == "frame")
        choice(&D::ChgDesktop_FrameRate);
      else if (name == "scrblocks")
        integer(&D::ChgDesktop_SendScreenInBlocks, 0, 11);
      else if (name == "scrblocks2")
        integer(&D::ChgDesktop_SendScreenRefineBlocks, 0, 11);
      else if (name == "scr2delay")
        integer(&D::ChgDesktop_SendScreenRefineDelay, -1, 3600);
      else if (name == "scrlimit")
        integer(&D::ChgDesktop_SendScreenSizeLimit, 0, 16);
      else if (name == "mirror")
        boolean(&D::ChgDesktop_UseMirrorDriver);
      else if (name == "mouse")
        boolean(&D::ChgDesktop_UseMouseDriver);
      else if (name == "monitors")
        boolean(&D::ChgDesktop_CaptureAllMonitors);
      else if (name == "layered")
        boolean(&D::ChgDesktop_CaptureLayeredWindows);
      else if (name == "encoder")
        set.push_back([&d, v, host] { d.ChgDesktop_EncoderClassName(v, host, nullptr); });
      else
        throw BadArgument("settings: unknown setting \"" + name + "\"");
    }
    needHost(s, host, o);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::size_t i = 2; i < a.size(); ++i) pairs.emplace_back("Set", a[i]);
    s.Record(c, host, pairs);
    d.ChgDesktop_Begin();
    for (auto& f : set) f();
    d.ChgDesktop_End(host);
    return r;
  }

  // The others act on the screen: they need the desktop joined.
  if (c == "click" || c == "move") need(4, "a HOST, X and Y");
  if (c == "wheel") need(3, "a HOST and a DELTA");
  if (c == "type") need(3, "a HOST and a TEXT");
  if (c == "key") need(3, "a HOST and a KEY");
  if (c == "keydown" || c == "keyup") need(3, "a HOST and a KEY");
  if (c == "clip") need(3, "a HOST and get or set TEXT");
  int x = 0, y = 0, delta = 0;
  auto button = vtx::TRtcPDesktopControl::mbLeft;
  std::u16string text;
  if (c == "click" || c == "move") {
    x = integerArg("X", a[2], -100000, 100000);
    y = integerArg("Y", a[3], -100000, 100000);
  }
  if (c == "click" && a.size() > 4) {
    if (a[4] == "left" || a[4] == "1")
      button = vtx::TRtcPDesktopControl::mbLeft;
    else if (a[4] == "right" || a[4] == "2")
      button = vtx::TRtcPDesktopControl::mbRight;
    else if (a[4] == "middle" || a[4] == "3")
      button = vtx::TRtcPDesktopControl::mbMiddle;
    else
      throw BadArgument("click: BUTTON is left, right or middle, not \"" + a[4] + "\"");
  }
  if (c == "wheel") delta = integerArg("DELTA", a[2], -1200000, 1200000);
  std::vector<int> keys;
  const bool special = c == "key" && std::find(std::begin(kSpecialKeys), std::end(kSpecialKeys),
                                               a[2]) != std::end(kSpecialKeys);
  if ((c == "key" && !special) || c == "keydown" || c == "keyup") {
    try {
      keys = ParseKeys(a[2]);
    } catch (const std::invalid_argument& e) {
      throw BadArgument(c + ": " + e.what());
    }
    if (c != "key" && keys.size() != 1) throw BadArgument(c + ": one KEY, not a combination");
  }
  if (c == "type") {
    text = vtx::Utf8Decode(a[2]);
    if (text.empty() && !a[2].empty()) throw BadArgument("type: the text is not UTF-8");
  }
  if (c == "clip") {
    if (a[2] == "set") {
      need(4, "set and a TEXT");
      text = vtx::Utf8Decode(a[3]);
      if (text.empty() && !a[3].empty()) throw BadArgument("clip: the text is not UTF-8");
    } else if (a[2] != "get") {
      throw BadArgument("clip: get or set TEXT, not \"" + a[2] + "\"");
    }
  }
  if (c == "view" && o.png.empty() && a.size() < 3) throw BadArgument("view needs --png FILE");

  openDesktop(s, host, o);
  recordDesktop(s, a, text);
  if (c == "view") {
    const std::string file = a.size() > 2 ? a[2] : o.png;
    double wait = o.waitGiven ? o.waitSeconds : 1;
    if (a.size() > 3) wait = seconds("view", a[3]);
    std::this_thread::sleep_for(ms(wait));
    DesktopView* v = s.View(host);
    v->WritePng(file);
    r["png"] = file;
    r["width"] = v->Width();
    r["height"] = v->Height();
    r["bits"] = v->Bits();
    r["pixel_bytes"] = v->PixelBytes();
    r["updates"] = v->Updates();
    r["errors"] = v->Errors();
    r["cursor"] = cursorJson(v->Cursor());
    if (const std::string why = v->LastError(); !why.empty()) r["last_error"] = why;
  } else if (c == "click") {
    d.SendMouseMove(host, x, y, 0);
    d.SendMouseDown(host, x, y, 0, button);
    d.SendMouseUp(host, x, y, 0, button);
  } else if (c == "move") {
    d.SendMouseMove(host, x, y, 0);
  } else if (c == "wheel") {
    d.SendMouseWheel(host, delta, 0);
  } else if (c == "type") {
    d.SendText(host, text);
  } else if (special) {
    d.Send_SpecialKey(host, a[2]);
  } else if (c == "key") {
    // Pressed in order, released in reverse.
    for (int vk : keys) d.SendKeyDown(host, false, vk, 0, 0);
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) d.SendKeyUp(host, false, *it, 0, 0);
  } else if (c == "keydown") {
    d.SendKeyDown(host, false, keys[0], 0, 0);
  } else if (c == "keyup") {
    d.SendKeyUp(host, false, keys[0], 0, 0);
  } else if (a[2] == "set") {
    s.Clipboard().WriteClipboard(ClipboardFromText(text));
    d.ControlStart(host);
  } else {
    // The host answers only when its clipboard changed for us: wait a little for it.
    const int64_t before = s.ClipboardsReceived();
    d.ControlStop(host);
    s.WaitClipboard(before, ms(std::min(o.waitSeconds, 3.0)));
    r["text"] = vtx::Utf8EncodeStandard(ClipboardText(s.Clipboard().ReadClipboard()));
  }
  return r;
}

void printDesktop(const json& r, bool asJson) {
  if (asJson) return printJson(r);
  const std::string c = r["event"];
  if (c == "view")
    printLine(std::to_string(r["width"].get<int>()) + "x" + std::to_string(r["height"].get<int>()) +
              ", " + std::to_string(r["bits"].get<int>()) + " bits, " +
              std::to_string(r["updates"].get<int64_t>()) + " updates -> " +
              r["png"].get<std::string>());
  else if (c == "clip" && r.contains("text"))
    printLine(r["text"].get<std::string>());
  else if (c == "hostparams")
    for (const auto& [k, v] : r["params"].items()) {
      const std::string name = v.is_number() ? SettingName(k, v.get<int>()) : std::string();
      printLine(k + " " + v.dump() + (name.empty() ? "" : " (" + name + ")"));
    }
}

int runDesktop(AnalystSession& s, const Options& o) {
  json r;
  try {
    r = desktopCommand(s, o, o.command);
  } catch (const BadArgument& e) {
    s.Stop();
    fail(kUsage, e.what());
  }
  printDesktop(r, o.json);
  return finishSession(s, kOk);
}

// The words of a session command: the first `n` - 1 split at spaces, the rest as one.
std::vector<std::string> words(const std::string& line, std::size_t n) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (out.size() + 1 < n) {
    at = line.find_first_not_of(' ', at);
    if (at == std::string::npos) return out;
    const std::size_t space = line.find(' ', at);
    out.push_back(line.substr(at, space == std::string::npos ? std::string::npos : space - at));
    if (space == std::string::npos) return out;
    at = space + 1;
  }
  if (at < line.size()) out.push_back(line.substr(at));
  return out;
}

constexpr std::size_t kMaxSeenLines = 1000;

int runSession(AnalystSession& s, const Options& o) {
  InputLines input;
  std::vector<Event> seen;  // lines not yet consumed by wait-line
  std::map<std::pair<std::string, std::string>, bool> running;  // {host, path} -> sending
  auto pump = [&](std::chrono::milliseconds limit) {
    Event e;
    if (!s.NextEvent(e, limit)) return;
    if (e.kind == "error") lostExit(s);
    printJson(eventJson(e));
    if (e.kind != "line") return;
    // Lines no wait-line asked for are kept for a while only.
    if (seen.size() >= kMaxSeenLines) seen.erase(seen.begin());
    seen.push_back(e);
  };
  for (;;) {
    pump(20ms);
    std::string line;
    bool ended = false;
    if (!input.next(line, ended)) {
      if (ended) return finishSession(s, kOk);
      continue;
    }
    const auto w = words(line, 3);
    if (w.empty()) continue;
    const std::string& c = w[0];
    if (c == "quit") return finishSession(s, kOk);
    if ((c == "chat" || c == "piece" || c == "cmd") && w.size() == 3) {
      try {
        if (c == "cmd") {
          needHost(s, w[1], o);
          s.Record("cmd", w[1], {{"Text", w[2]}});
          s.SendCommand(w[1], w[2]);
        } else {
          join(s, w[1], o);
          s.SendChat(w[1], c == "chat" ? w[2] + "\r" : w[2]);
        }
      } catch (const std::exception& e) {
        printJson({{"event", "bad-command"}, {"line", line}, {"error", e.what()}});
        continue;
      }
      printJson({{"event", "sent"}, {"command", c}, {"host", w[1]}});
    } else if (c == "cancel") {
      const auto f = words(line, 3);
      const auto it = f.size() == 3 ? running.find({f[1], f[2]}) : running.end();
      if (it == running.end()) {
        printJson({{"event", "bad-command"}, {"line", line}, {"error", "no such transfer"}});
        continue;
      }
      cancelTransfer(s.Files(), f[1], f[2], it->second);
      running.erase(it);
      printJson({{"event", "sent"}, {"command", c}, {"host", f[1]}});
    } else if (c == "ls" || c == "send" || c == "fetch" || c == "rm" || c == "md" || c == "mv" ||
               c == "ren" || c == "run") {
      const auto f = words(line, 4);
      if (f.size() < 2) {
        printJson({{"event", "bad-command"}, {"line", line}});
        continue;
      }
      openFiles(s, f[1], o);
      recordFiles(s, f);
      auto& ft = s.Files();
      const std::string arg1 = f.size() > 2 ? f[2] : "", arg2 = f.size() > 3 ? f[3] : "";
      if (c == "ls") {
        ft.GetFileList(f[1], arg1);
      } else if (c == "send") {
        ft.Send(f[1], arg1, arg2);
        running[{f[1], arg1}] = true;
      } else if (c == "fetch") {
        s.Fetch(f[1], arg1, arg2);
        running[{f[1], arg1}] = false;
      } else if (c == "rm") {
        ft.Cmd_FileDelete(f[1], arg1);
      } else if (c == "md") {
        ft.Cmd_NewFolder(f[1], arg1);
      } else if (c == "mv") {
        ft.Cmd_FileMove(f[1], arg1, arg2);
      } else if (c == "ren") {
        ft.Cmd_FileRename(f[1], arg1, renameTarget(arg1, arg2));
      } else {
        ft.Cmd_Execute(f[1], arg1, arg2);
      }
      printJson({{"event", "sent"}, {"command", c}, {"host", f[1]}});
    } else if (isDesktopCommand(c)) {
      // type, clip set: the text is the rest of the line; the others are words.
      std::vector<std::string> a;
      if (c == "type")
        a = words(line, 3);
      else if (c == "clip")
        a = words(line, 4);
      else
        a = words(line, 64);
      // view HOST [--png] FILE [[--wait] SECONDS]
      if (c == "view")
        a.erase(std::remove_if(a.begin(), a.end(),
                               [](const std::string& x) { return x == "--png" || x == "--wait"; }),
                a.end());
      try {
        printJson(desktopCommand(s, o, a));
      } catch (const std::exception& e) {
        printJson({{"event", "bad-command"}, {"line", line}, {"error", e.what()}});
      }
    } else if (c == "wait-line" && w.size() >= 3) {
      // REGEX [SECONDS]: a trailing number is the time limit.
      std::string pattern = w[2];
      double limit = 10;
      if (const auto sp = pattern.rfind(' '); sp != std::string::npos) {
        const std::string tail = pattern.substr(sp + 1);
        if (!tail.empty() && tail.find_first_not_of("0123456789.") == std::string::npos) {
          limit = seconds("wait-line", tail);
          pattern.resize(sp);
        }
      }
      std::regex re;
      try {
        re = std::regex(pattern);
      } catch (const std::regex_error& e) {
        printJson({{"event", "bad-command"}, {"line", line}, {"error", e.what()}});
        continue;
      }
      const auto end = Clock::now() + ms(limit);
      bool found = false;
      while (!found) {
        for (auto it = seen.begin(); it != seen.end(); ++it) {
          if (it->room == w[1] && std::regex_search(it->text, re)) {
            printJson(
                {{"event", "matched"}, {"room", it->room}, {"user", it->user}, {"text", it->text}});
            seen.erase(seen.begin(), it + 1);
            found = true;
            break;
          }
        }
        if (found) break;
        if (Clock::now() >= end) {
          printJson({{"event", "timeout"}, {"room", w[1]}, {"regex", pattern}});
          fail(kTimeout, "no line of " + w[1] + " matched \"" + pattern + "\" in time");
        }
        pump(20ms);
      }
    } else {
      printJson({{"event", "bad-command"}, {"line", line}});
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const std::string& c = o.command[0];
  const bool fileCommand = c == "ls" || c == "send" || c == "fetch" || c == "rm" || c == "mv" ||
                           c == "ren" || c == "md" || c == "run";
  if (c != "hosts" && c != "chat" && c != "cmd" && c != "session" && !fileCommand &&
      !isDesktopCommand(c))
    fail(kUsage, "unknown command \"" + c + "\" (see --help)");
  // SIGINT and SIGTERM: a running send or fetch takes them as a cancel (waitTransfer); any
  // other command logs out and ends. Blocked before the session's threads inherit the mask.
  const sigset_t stopSet = cancelSignals();
  ::pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
  std::atomic<AnalystSession*> running{nullptr};
  if (c != "send" && c != "fetch") {
    std::thread([&running, stopSet] {
      int sig = 0;
      if (::sigwait(&stopSet, &sig) != 0) return;
      if (AnalystSession* session = running.load()) session->Stop();
      std::fflush(stdout);
      std::_Exit(128 + sig);
    }).detach();  // it waits for a signal until the process ends
  }
  auto s = startSession(o);
  running = s.get();
  try {
    if (c == "hosts") return runHosts(*s, o);
    if (c == "chat") return runChat(*s, o);
    if (c == "cmd") return runCmd(*s, o);
    if (fileCommand) return runFiles(*s, o);
    if (isDesktopCommand(c)) return runDesktop(*s, o);
    return runSession(*s, o);
  } catch (const std::exception& e) {
    s->Stop();
    fail(kFailed, e.what());
  }
}
